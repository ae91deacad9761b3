#pragma once
// A keyed message catalogue: an ordered list of "key|text" entries. The key is
// everything before the first "|", the text everything after it.
#include "zavhost_export.h"
#include <QObject>
#include <QStringList>

class ZAVHOST_EXPORT TMessages : public QObject {
    Q_OBJECT
public:
    explicit TMessages(QObject* parent = nullptr);

    void SetMessages(const QStringList& entries);

    // The text of a key, keys compared exactly. A key the catalogue lacks (a
    // code sent by a server, say) gives a text that names it, never nothing.
    QString Msg(const QString& key) const;
    bool Contains(const QString& key) const;

private:
    QStringList m_entries;
};
