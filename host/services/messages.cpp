#include "messages.h"

TMessages::TMessages(QObject* parent) : QObject(parent) {}

void TMessages::SetMessages(const QStringList& entries) {
    m_entries = entries;
}

namespace {
bool entryHasKey(const QString& entry, const QString& key) {
    const qsizetype bar = entry.indexOf(QLatin1Char('|'));
    return bar >= 0 && QStringView(entry).left(bar) == key;
}
} // namespace

QString TMessages::Msg(const QString& key) const {
    for (const QString& e : m_entries)
        if (entryHasKey(e, key))
            return e.mid(e.indexOf(QLatin1Char('|')) + 1);
    return QStringLiteral("Mensagem não cadastrada para o código \"%1\".").arg(key);
}

bool TMessages::Contains(const QString& key) const {
    for (const QString& e : m_entries)
        if (entryHasKey(e, key))
            return true;
    return false;
}
