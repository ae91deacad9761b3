// The table of the states' authorities as the server reads it at start: the
// shipped one, every state in both environments; which section serves a
// state and environment once the server's own table overrides it; and every
// bad value named.
#include "authority/authorityconfig.h"

#include "states.h"

#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>

using zavserver::AuthorityConfig;
using zavserver::AuthorityEndpoints;

namespace {

// What the table gives a state ("SP") in an environment ("1" or "2").
const AuthorityEndpoints* endpoints(const AuthorityConfig& config, const char* state,
                                    const char* environment) {
    return config.find(QLatin1String(state), QLatin1String(environment));
}

} // namespace

class TstAuthorityConfig : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    int m_files = 0;

    // A new file each time: QSettings keeps what it read of a path.
    QString write(const QByteArray& content) {
        QString path = m_dir.filePath(QStringLiteral("autoridades-%1.ini").arg(++m_files));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
        return path;
    }

private Q_SLOTS:
    void mostSpecificSectionWins() {
        QFile ca(m_dir.filePath(QStringLiteral("ca.pem")));
        QVERIFY(ca.open(QIODevice::WriteOnly));
        ca.write("-");
        ca.close();
        QString error;
        const auto config = AuthorityConfig::load(
            write("[geral]\nca = ca.pem\nrespostaMs = 1500\n"
                  "[SP.2]\nevento = https://sp/ev\nconsulta = https://sp/co\nprazoHoras = 48\n"
                  "[*.2]\nevento = https://any2/ev\nconsulta = https://any2/co\n"
                  "[*.*]\nevento = https://any/ev\nconsulta = https://any/co\nprazoExtemporaneoDias = 7\n"),
            &error);
        QVERIFY2(config, qPrintable(error));
        QCOMPARE(endpoints(*config, "SP", "2")->eventUrl.host(), QStringLiteral("sp"));
        QCOMPARE(endpoints(*config, "sp", "2")->ordinaryHours, 48);
        QCOMPARE(endpoints(*config, "RJ", "2")->statusUrl.host(), QStringLiteral("any2"));
        QCOMPARE(endpoints(*config, "SP", "1")->eventUrl.host(), QStringLiteral("any"));
        QCOMPARE(endpoints(*config, "SP", "1")->lateHours, 7 * 24); // from the authorisation
        QCOMPARE(endpoints(*config, "SP", "1")->ordinaryHours, 24); // the real default
        QCOMPARE(config->answerMs(), 1500);
        QCOMPARE(config->connectMs(), AuthorityConfig::kDefaultConnectMs);
        QCOMPARE(config->caFile(), m_dir.filePath(QStringLiteral("ca.pem"))); // next to the table
    }

    // Every state resolves in both environments to the real services: https
    // addresses of a named host (no loopback, no bare address), the status
    // service included; the virtual authorities serve the states they serve.
    void shippedTableServesEveryState() {
        QString error;
        const auto config = AuthorityConfig::load(QString(), &error);
        QVERIFY2(config, qPrintable(error));
        QCOMPARE(config->shippedDate(), QStringLiteral("2025-11-05"));
        QVERIFY(!config->shippedSource().isEmpty());
        QVERIFY(!config->overridden());
        QVERIFY(config->caFile().isEmpty());
        QSet<QString> hosts;
        for (const zavfiscal::State& state : zavfiscal::allStates())
            for (const QString& environment : {QStringLiteral("1"), QStringLiteral("2")}) {
                const QString uf = QString::fromLatin1(state.abbreviation);
                const auto* e = config->find(uf, environment);
                QVERIFY2(e, qPrintable(uf + u'.' + environment));
                QVERIFY(e->shipped);
                QVERIFY2(e->name.endsWith(u'.' + environment), qPrintable(e->name));
                for (const QUrl& url : {e->eventUrl, e->statusUrl, e->serviceStatusUrl}) {
                    QCOMPARE(url.scheme(), QStringLiteral("https"));
                    QVERIFY2(url.host().contains(u'.') && QHostAddress(url.host()).isNull(),
                             qPrintable(url.toString()));
                    QVERIFY2(url.host().endsWith(QStringLiteral(".gov.br")), qPrintable(url.toString()));
                }
                QCOMPARE(e->ordinaryHours, 24);
                hosts.insert(e->eventUrl.host());
            }
        QCOMPARE(endpoints(*config, "SP", "1")->name, QStringLiteral("SP.1"));
        QCOMPARE(endpoints(*config, "MA", "1")->name, QStringLiteral("SVAN.1"));
        for (const char* svrs :
             {"AC", "AL", "AP", "CE", "DF", "ES", "PA", "PB", "PI", "RJ", "RN", "RO", "RR", "SC", "SE", "TO"})
            QCOMPARE(config->find(QLatin1String(svrs), QStringLiteral("2"))->name, QStringLiteral("SVRS.2"));
        // Production and homologation never share a host.
        QVERIFY(endpoints(*config, "RJ", "1")->eventUrl.host() !=
                endpoints(*config, "RJ", "2")->eventUrl.host());
        QVERIFY(hosts.size() >= 24);
        QVERIFY(!endpoints(*config, "XX", "1"));
        QVERIFY(!endpoints(*config, "SP", "3"));
    }

    // The server's own table replaces the sections it names and keeps the
    // rest: a state's own section, a state's route, an authority's addresses,
    // the list of states in contingency.
    void ownTableOverridesSectionBySection() {
        QString error;
        const auto config = AuthorityConfig::load(
            write("[SP.2]\nevento = https://sp.local/ev\nconsulta = https://sp.local/co\n"
                  "[SVRS.1]\nevento = https://svrs.local/ev\nconsulta = https://svrs.local/co\n"
                  "nivelSeguranca = 1\n"
                  "[MA]\nautorizador = SVRS\n"
                  "[contingencia]\nestados = MG, BA\n"
                  "[geral]\nnivelSeguranca = 3\n"),
            &error);
        QVERIFY2(config, qPrintable(error));
        QVERIFY(config->overridden());
        const auto* sp2 = endpoints(*config, "SP", "2");
        QCOMPARE(sp2->eventUrl.host(), QStringLiteral("sp.local"));
        QVERIFY(!sp2->shipped);
        QCOMPARE(sp2->securityLevel, 3); // [geral]'s
        QCOMPARE(endpoints(*config, "SP", "1")->eventUrl.host(),
                 QStringLiteral("nfe.fazenda.sp.gov.br")); // kept
        QCOMPARE(endpoints(*config, "RJ", "1")->eventUrl.host(), QStringLiteral("svrs.local"));
        QCOMPARE(endpoints(*config, "RJ", "1")->securityLevel, 1);
        QCOMPARE(endpoints(*config, "RJ", "2")->eventUrl.host(),
                 QStringLiteral("nfe-homologacao.svrs.rs.gov.br"));
        QCOMPARE(endpoints(*config, "MA", "1")->eventUrl.host(), QStringLiteral("svrs.local"));
        QCOMPARE(endpoints(*config, "MG", "1")->name, QStringLiteral("SVC-AN.1"));
        QCOMPARE(endpoints(*config, "BA", "2")->name, QStringLiteral("SVC-RS.2"));
        QCOMPARE(endpoints(*config, "PR", "2")->name, QStringLiteral("PR.2"));

        // "*" in the server's table sends every state there (the demo's
        // local authority), whatever the shipped table says.
        const auto local = AuthorityConfig::load(
            write("[*.2]\nevento = https://127.0.0.1:1/ev\nconsulta = https://127.0.0.1:1/co\n"), &error);
        QVERIFY2(local, qPrintable(error));
        QCOMPARE(endpoints(*local, "SP", "2")->name, QStringLiteral("*.2"));
        QCOMPARE(endpoints(*local, "MA", "2")->name, QStringLiteral("*.2"));
        QCOMPARE(endpoints(*local, "MA", "1")->name, QStringLiteral("SVAN.1"));
    }

    // Terms are the state's: a state's section gives its own over its
    // authority's (AL accepts late cancellations up to 168 h from the
    // authorisation, the other SVRS states do not); what the server's table
    // says of a state in an environment wins over both.
    void termsAreTheStates() {
        QString error;
        const auto shipped = AuthorityConfig::load(QString(), &error);
        QVERIFY2(shipped, qPrintable(error));
        const auto* al = endpoints(*shipped, "AL", "1");
        QCOMPARE(al->name, QStringLiteral("SVRS.1"));
        QCOMPARE(al->ordinaryHours, 24);
        QCOMPARE(al->lateHours, 168);
        QCOMPARE(al->lastHour(), 168);
        const auto* rj = endpoints(*shipped, "RJ", "1");
        QCOMPARE(rj->lateHours, 0);
        QCOMPARE(rj->lastHour(), 24);

        const auto own = AuthorityConfig::load(
            write("[RJ]\nautorizador = SVRS\nprazoHoras = 48\nprazoExtemporaneoDias = 3\n"
                  "[AL.2]\nevento = https://al/ev\nconsulta = https://al/co\nprazoHoras = 12\n"),
            &error);
        QVERIFY2(own, qPrintable(error));
        QCOMPARE(endpoints(*own, "RJ", "2")->ordinaryHours, 48);
        QCOMPARE(endpoints(*own, "RJ", "2")->lateHours, 72);
        QCOMPARE(endpoints(*own, "AL", "2")->ordinaryHours, 12);
        QCOMPARE(endpoints(*own, "AL", "2")->lateHours, 0);
        QCOMPARE(endpoints(*own, "AL", "1")->lateHours, 168);
    }

    // The shipped table must serve every state: a damaged one stops the
    // server instead of leaving a state without an authority.
    void damagedShippedTable() {
        QFile shipped(QString::fromLatin1(AuthorityConfig::kShippedTable));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QByteArray content = shipped.readAll();
        QVERIFY(content.contains("[TO]\nautorizador = SVRS\n"));
        content.replace("[TO]\nautorizador = SVRS\n", "[TO]\nautorizador = TO\n");
        QString error;
        QVERIFY(!AuthorityConfig::load(write(content), QString(), &error));
        QVERIFY2(error.contains(QStringLiteral("sem a autoridade de TO.1")), qPrintable(error));
        QVERIFY(!AuthorityConfig::load(m_dir.filePath(QStringLiteral("nada.ini")), QString(), &error));
        QVERIFY2(error.contains(QStringLiteral("Tabela embutida")), qPrintable(error));
    }

    void badTables_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unknown section")
            << QByteArray("[XX]\nautorizador = SP\n") << QStringLiteral("Seção [XX] inválida");
        QTest::newRow("route to nobody")
            << QByteArray("[SP]\nautorizador = AN\n") << QStringLiteral("[SP] autorizador inválido: \"AN\"");
        QTest::newRow("contingency not SVC") << QByteArray("[SP]\nautorizador = SP\ncontingencia = SVRS\n")
                                             << QStringLiteral("[SP] contingencia inválida");
        QTest::newRow("contingency of no state")
            << QByteArray("[contingencia]\nestados = SP, XY\n") << QStringLiteral("\"XY\" não é a sigla");
        QTest::newRow("security level 9")
            << QByteArray("[SP.2]\nevento = https://a/b\nconsulta = https://a/c\nnivelSeguranca = 9\n")
            << QStringLiteral("[SP.2] nivelSeguranca inválido");
        QTest::newRow("status over plain http")
            << QByteArray("[SP.2]\nevento = https://a/b\nconsulta = https://a/c\nstatus = http://a/d\n")
            << QStringLiteral("[SP.2] status inválido");
        QTest::newRow("unknown state") << QByteArray("[XX.2]\nevento = https://a/b\nconsulta = https://a/c\n")
                                       << QStringLiteral("Seção [XX.2] inválida");
        QTest::newRow("environment 3") << QByteArray("[SP.3]\nevento = https://a/b\nconsulta = https://a/c\n")
                                       << QStringLiteral("Seção [SP.3] inválida");
        QTest::newRow("plain http") << QByteArray("[SP.2]\nevento = http://a/b\nconsulta = https://a/c\n")
                                    << QStringLiteral("[SP.2] evento inválido");
        QTest::newRow("missing service")
            << QByteArray("[SP.2]\nevento = https://a/b\n") << QStringLiteral("[SP.2] falta consulta");
        QTest::newRow("zero hours")
            << QByteArray("[SP.2]\nevento = https://a/b\nconsulta = https://a/c\nprazoHoras = 0\n")
            << QStringLiteral("[SP.2] prazoHoras inválido: \"0\"");
        QTest::newRow("late term twice")
            << QByteArray("[SP.2]\nevento = https://a/b\nconsulta = https://a/c\nprazoExtemporaneoDias = 7\n"
                          "prazoExtemporaneoHoras = 168\n")
            << QStringLiteral("dizem o mesmo prazo");
        QTest::newRow("words for a state's hours")
            << QByteArray("[AL]\nautorizador = SVRS\nprazoExtemporaneoHoras = muitas\n")
            << QStringLiteral("[AL] prazoExtemporaneoHoras inválido");
        QTest::newRow("words for days")
            << QByteArray(
                   "[SP.2]\nevento = https://a/b\nconsulta = https://a/c\nprazoExtemporaneoDias = sete\n")
            << QStringLiteral("prazoExtemporaneoDias inválido");
        QTest::newRow("missing CA") << QByteArray(
                                           "[geral]\nca = nao-existe.pem\n[SP.2]\nevento = https://a/b\n"
                                           "consulta = https://a/c\n")
                                    << QStringLiteral("[geral] ca: arquivo");
        QTest::newRow("timeout too short")
            << QByteArray("[geral]\nrespostaMs = 5\n") << QStringLiteral("respostaMs inválido");
    }
    void badTables() {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QString error;
        QVERIFY(!AuthorityConfig::load(write(content), &error));
        QVERIFY2(error.contains(expected), qPrintable(error));
    }

    void missingFile() {
        QString error;
        QVERIFY(!AuthorityConfig::load(m_dir.filePath(QStringLiteral("nada.ini")), &error));
        QVERIFY2(error.contains(u"não encontrada"), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TstAuthorityConfig)
#include "tst_authorityconfig.moc"
