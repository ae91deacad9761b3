#include "cancellation/authorityconfig.h"

#include "states.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace zavserver {

namespace {

const QString kGeneral = QStringLiteral("geral");

// A whole number within [low, high] under key of the current group.
bool number(QSettings& s, const QString& key, int low, int high, int* value, QString* error) {
    if (!s.contains(key))
        return true;
    bool ok = false;
    const int n = s.value(key).toString().trimmed().toInt(&ok);
    if (!ok || n < low || n > high) {
        *error = QStringLiteral("[%1] %2 inválido: \"%3\" (de %4 a %5).")
                     .arg(s.group(), key, s.value(key).toString())
                     .arg(low)
                     .arg(high);
        return false;
    }
    *value = n;
    return true;
}

bool url(QSettings& s, const QString& key, QUrl* value, QString* error) {
    const QString text = s.value(key).toString().trimmed();
    const QUrl u(text, QUrl::StrictMode);
    if (text.isEmpty() || !u.isValid() || u.scheme() != u"https" || u.host().isEmpty()) {
        *error = text.isEmpty()
                     ? QStringLiteral("[%1] falta %2 (o endereço https do serviço).").arg(s.group(), key)
                     : QStringLiteral("[%1] %2 inválido: \"%3\" (esperado um endereço https://).")
                           .arg(s.group(), key, text);
        return false;
    }
    *value = u;
    return true;
}

bool validSection(const QString& name) {
    const QStringList parts = name.split(u'.');
    if (parts.size() != 2)
        return false;
    const bool state = parts[0] == u"*" || zavfiscal::stateByAbbreviation(parts[0]);
    const bool environment = parts[1] == u"*" || parts[1] == u"1" || parts[1] == u"2";
    return state && environment;
}

} // namespace

std::optional<AuthorityConfig> AuthorityConfig::load(const QString& fileName, QString* error) {
    const QFileInfo info(fileName);
    if (!info.isFile() || !info.isReadable()) {
        *error =
            QStringLiteral("Tabela de autoridades fiscais %1 não encontrada ou sem permissão de leitura.")
                .arg(fileName);
        return std::nullopt;
    }
    QSettings s(fileName, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) {
        *error = QStringLiteral("Tabela de autoridades fiscais %1 com formato inválido.").arg(fileName);
        return std::nullopt;
    }
    const QDir base = info.absoluteDir();
    AuthorityConfig config;
    for (const QString& group : s.childGroups()) {
        s.beginGroup(group);
        if (group == kGeneral) {
            const QString ca = s.value(QStringLiteral("ca")).toString().trimmed();
            if (!ca.isEmpty()) {
                config.m_caFile = QDir::cleanPath(base.absoluteFilePath(ca));
                if (!QFileInfo(config.m_caFile).isReadable()) {
                    *error = QStringLiteral("[geral] ca: arquivo %1 não encontrado.").arg(config.m_caFile);
                    return std::nullopt;
                }
            }
            if (!number(s, QStringLiteral("conexaoMs"), 100, 600000, &config.m_connectMs, error) ||
                !number(s, QStringLiteral("respostaMs"), 100, 600000, &config.m_answerMs, error))
                return std::nullopt;
        } else {
            const QString key = group.toUpper();
            if (!validSection(key)) {
                *error =
                    QStringLiteral("Seção [%1] inválida: esperado estado.ambiente, como [SP.2] ou [*.2].")
                        .arg(group);
                return std::nullopt;
            }
            AuthorityEndpoints e;
            if (!url(s, QStringLiteral("evento"), &e.eventUrl, error) ||
                !url(s, QStringLiteral("consulta"), &e.statusUrl, error) ||
                !number(s, QStringLiteral("prazoHoras"), 1, 24 * 36500, &e.ordinaryHours, error) ||
                !number(s, QStringLiteral("prazoExtemporaneoDias"), 0, 3650, &e.lateDays, error))
                return std::nullopt;
            config.m_endpoints.insert(key, e);
        }
        s.endGroup();
    }
    if (config.m_endpoints.isEmpty()) {
        *error = QStringLiteral("Tabela de autoridades fiscais %1 sem nenhuma seção estado.ambiente.")
                     .arg(fileName);
        return std::nullopt;
    }
    return config;
}

const AuthorityEndpoints* AuthorityConfig::find(const QString& state, const QString& environment) const {
    for (const QString& key :
         {state.toUpper() + u'.' + environment, QStringLiteral("*.") + environment, QStringLiteral("*.*")}) {
        const auto it = m_endpoints.constFind(key);
        if (it != m_endpoints.constEnd())
            return &it.value();
    }
    return nullptr;
}

} // namespace zavserver
