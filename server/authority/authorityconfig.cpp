#include "authority/authorityconfig.h"

#include "states.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace zavserver {

namespace {

const QString kGeneral = QStringLiteral("geral");
const QString kContingency = QStringLiteral("contingencia");

// The authorities that serve states other than their own, and the
// contingency ones.
const QStringList kVirtual{QStringLiteral("SVRS"), QStringLiteral("SVAN")};
const QStringList kContingencyAuthorities{QStringLiteral("SVC-AN"), QStringLiteral("SVC-RS")};

bool isState(const QString& name) {
    return zavfiscal::stateByAbbreviation(name) != nullptr;
}

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

bool url(QSettings& s, const QString& key, bool required, QUrl* value, QString* error) {
    const QString text = s.value(key).toString().trimmed();
    if (text.isEmpty() && !required)
        return true;
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

// "SP.2", "*.1", "SVRS.2", "*.*": an authority's or a state's services.
bool serviceSection(const QString& name) {
    const QStringList parts = name.split(u'.');
    if (parts.size() != 2)
        return false;
    const QString& who = parts[0];
    const bool known =
        who == u"*" || isState(who) || kVirtual.contains(who) || kContingencyAuthorities.contains(who);
    const bool environment = parts[1] == u"*" || parts[1] == u"1" || parts[1] == u"2";
    return known && environment;
}

// A list as QSettings gives it: "SP, MG" is already split at the commas.
QStringList listOf(const QVariant& value) {
    QStringList items;
    const QStringList parts = value.typeId() == QMetaType::QStringList
                                  ? value.toStringList()
                                  : value.toString().split(u',', Qt::SkipEmptyParts);
    for (const QString& part : parts)
        for (const QString& item : part.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            items.append(item.trimmed().toUpper());
    return items;
}

// The late term: prazoExtemporaneoHoras, or prazoExtemporaneoDias in days;
// both counted from the authorisation.
bool lateTerm(QSettings& s, int* hours, QString* error) {
    const QString inHours = QStringLiteral("prazoExtemporaneoHoras");
    const QString inDays = QStringLiteral("prazoExtemporaneoDias");
    if (s.contains(inHours) && s.contains(inDays)) {
        *error =
            QStringLiteral("[%1] %2 e %3 dizem o mesmo prazo: use um só.").arg(s.group(), inHours, inDays);
        return false;
    }
    int days = -1;
    if (!number(s, inHours, 0, 24 * 3650, hours, error) || !number(s, inDays, 0, 3650, &days, error))
        return false;
    if (days >= 0)
        *hours = days * 24;
    return true;
}

} // namespace

bool AuthorityConfig::read(const QString& fileName, bool shipped, Table& into, QString* error) {
    QSettings s(fileName, QSettings::IniFormat);
    if (s.status() != QSettings::NoError) {
        *error = QStringLiteral("Tabela de autoridades fiscais %1 com formato inválido.").arg(fileName);
        return false;
    }
    const QDir base = QFileInfo(fileName).absoluteDir();
    for (const QString& group : s.childGroups()) {
        s.beginGroup(group);
        const QString key = group.toUpper();
        bool valid = false;
        if (group == kGeneral)
            valid = readGeneral(s, base, shipped, error);
        else if (group == kContingency)
            valid = readContingency(s, into, error);
        else if (isState(key))
            valid = readRoute(s, group, into, error);
        else if (serviceSection(key))
            valid = readServices(s, key, shipped, into, error);
        else
            *error = QStringLiteral("Seção [%1] inválida: esperado estado.ambiente, como [SP.2] ou [*.2], "
                                    "um estado, como [SP], ou uma autoridade, como [SVRS.1].")
                         .arg(group);
        if (!valid)
            return false;
        s.endGroup();
    }
    return true;
}

// [geral]: the shipped table's date and source; the server's own CA file,
// times, security level and lots.
bool AuthorityConfig::readGeneral(QSettings& s, const QDir& base, bool shipped, QString* error) {
    if (shipped) {
        m_shippedDate = s.value(QStringLiteral("data")).toString().trimmed();
        m_shippedSource = s.value(QStringLiteral("fonte")).toString().trimmed();
        return true;
    }
    const QString ca = s.value(QStringLiteral("ca")).toString().trimmed();
    if (!ca.isEmpty()) {
        m_caFile = QDir::cleanPath(base.absoluteFilePath(ca));
        if (!QFileInfo(m_caFile).isReadable()) {
            *error = QStringLiteral("[geral] ca: arquivo %1 não encontrado.").arg(m_caFile);
            return false;
        }
    }
    return number(s, QStringLiteral("conexaoMs"), 100, 600000, &m_connectMs, error) &&
           number(s, QStringLiteral("respostaMs"), 100, 600000, &m_answerMs, error) &&
           number(s, QStringLiteral("nivelSeguranca"), 0, 5, &m_securityLevel, error) &&
           number(s, QStringLiteral("lotes"), 1, kMaxParallelLots, &m_parallelLots, error);
}

// [contingencia]: the states sent to their contingency authority.
bool AuthorityConfig::readContingency(QSettings& s, Table& into, QString* error) {
    QSet<QString> states;
    for (const QString& state : listOf(s.value(QStringLiteral("estados")))) {
        if (!isState(state)) {
            *error = QStringLiteral("[contingencia] estados: \"%1\" não é a sigla de um estado.").arg(state);
            return false;
        }
        states.insert(state);
    }
    into.contingency = states;
    return true;
}

// [UF]: the authority that serves a state, its contingency and the state's
// own terms.
bool AuthorityConfig::readRoute(QSettings& s, const QString& group, Table& into, QString* error) {
    Route route;
    route.authority = s.value(QStringLiteral("autorizador")).toString().trimmed().toUpper();
    route.contingency = s.value(QStringLiteral("contingencia")).toString().trimmed().toUpper();
    if (!isState(route.authority) && !kVirtual.contains(route.authority)) {
        *error = QStringLiteral("[%1] autorizador inválido: \"%2\" (a sigla do estado, SVRS ou SVAN).")
                     .arg(group, route.authority);
        return false;
    }
    if (!route.contingency.isEmpty() && !kContingencyAuthorities.contains(route.contingency)) {
        *error = QStringLiteral("[%1] contingencia inválida: \"%2\" (SVC-AN ou SVC-RS).")
                     .arg(group, route.contingency);
        return false;
    }
    if (!number(s, QStringLiteral("prazoHoras"), 1, 24 * 36500, &route.ordinaryHours, error) ||
        !lateTerm(s, &route.lateHours, error))
        return false;
    into.routes.insert(group.toUpper(), route);
    return true;
}

// [UF.E], [*.E], [NAME.E]: a state's or an authority's services and terms.
bool AuthorityConfig::readServices(QSettings& s, const QString& key, bool shipped, Table& into,
                                   QString* error) {
    AuthorityEndpoints e;
    e.name = key;
    e.shipped = shipped;
    if (!url(s, QStringLiteral("evento"), true, &e.eventUrl, error) ||
        !url(s, QStringLiteral("consulta"), true, &e.statusUrl, error) ||
        !url(s, QStringLiteral("status"), shipped, &e.serviceStatusUrl, error) ||
        !number(s, QStringLiteral("prazoHoras"), 1, 24 * 36500, &e.ordinaryHours, error) ||
        !lateTerm(s, &e.lateHours, error) ||
        !number(s, QStringLiteral("nivelSeguranca"), 0, 5, &e.securityLevel, error) ||
        !number(s, QStringLiteral("lotes"), 1, kMaxParallelLots, &e.parallelLots, error))
        return false;
    into.services.insert(key, e);
    return true;
}

std::optional<AuthorityConfig> AuthorityConfig::load(const QString& fileName, QString* error) {
    return load(QString::fromLatin1(kShippedTable), fileName, error);
}

std::optional<AuthorityConfig> AuthorityConfig::load(const QString& shippedFile, const QString& fileName,
                                                     QString* error) {
    AuthorityConfig config;
    if (!QFileInfo::exists(shippedFile) || !config.read(shippedFile, true, config.m_shipped, error)) {
        *error = QStringLiteral("Tabela embutida de autoridades fiscais %1 ilegível: %2")
                     .arg(shippedFile, error->isEmpty() ? QStringLiteral("não encontrada") : *error);
        return std::nullopt;
    }
    // The shipped table answers for every state in both environments.
    for (const zavfiscal::State& state : zavfiscal::allStates()) {
        const QString uf = QString::fromLatin1(state.abbreviation);
        const auto route = config.m_shipped.routes.constFind(uf);
        for (const char* environment : {"1", "2"}) {
            const QString suffix = u'.' + QLatin1StringView(environment);
            if (route == config.m_shipped.routes.constEnd() ||
                !config.m_shipped.services.contains(route->authority + suffix) ||
                (!route->contingency.isEmpty() &&
                 !config.m_shipped.services.contains(route->contingency + suffix))) {
                *error = QStringLiteral("Tabela embutida de autoridades fiscais %1 sem a autoridade de %2%3.")
                             .arg(shippedFile, uf, suffix);
                return std::nullopt;
            }
        }
    }
    if (!fileName.isEmpty()) {
        const QFileInfo info(fileName);
        if (!info.isFile() || !info.isReadable()) {
            *error =
                QStringLiteral("Tabela de autoridades fiscais %1 não encontrada ou sem permissão de leitura.")
                    .arg(fileName);
            return std::nullopt;
        }
        if (!config.read(fileName, false, config.m_own, error))
            return std::nullopt;
    }
    config.m_contingency =
        config.m_own.contingency.value_or(config.m_shipped.contingency.value_or(QSet<QString>()));
    // [geral]'s security level and lots for every authority without its own.
    for (Table* table : {&config.m_shipped, &config.m_own})
        for (AuthorityEndpoints& e : table->services) {
            if (e.securityLevel < 0)
                e.securityLevel = config.m_securityLevel;
            if (e.parallelLots < 0)
                e.parallelLots = config.m_parallelLots;
        }
    for (const zavfiscal::State& state : zavfiscal::allStates())
        for (const char* environment : {"1", "2"}) {
            const QString uf = QString::fromLatin1(state.abbreviation);
            if (const auto e = config.resolve(uf, QLatin1StringView(environment)))
                config.m_resolved.insert(uf + u'.' + QLatin1StringView(environment), *e);
        }
    return config;
}

const AuthorityEndpoints* AuthorityConfig::find(const QString& state, const QString& environment) const {
    const auto it = m_resolved.constFind(state.toUpper() + u'.' + environment);
    return it == m_resolved.constEnd() ? nullptr : &it.value();
}

std::optional<AuthorityEndpoints> AuthorityConfig::resolve(const QString& uf,
                                                           const QString& environment) const {
    for (const QString& key :
         {uf + u'.' + environment, QStringLiteral("*.") + environment, QStringLiteral("*.*")}) {
        const auto it = m_own.services.constFind(key);
        if (it != m_own.services.constEnd())
            return it.value();
    }
    const auto ownRoute = m_own.routes.constFind(uf);
    const Route route = ownRoute != m_own.routes.constEnd() ? *ownRoute : m_shipped.routes.value(uf);
    const QString authority =
        m_contingency.contains(uf) && !route.contingency.isEmpty() ? route.contingency : route.authority;
    if (authority.isEmpty())
        return std::nullopt;
    const QString key = authority + u'.' + environment;
    for (const Table* table : {&m_own, &m_shipped}) {
        const auto it = table->services.constFind(key);
        if (it == table->services.constEnd())
            continue;
        AuthorityEndpoints e = it.value();
        if (route.ordinaryHours > 0)
            e.ordinaryHours = route.ordinaryHours;
        if (route.lateHours >= 0)
            e.lateHours = route.lateHours;
        return e;
    }
    return std::nullopt;
}

} // namespace zavserver
