// Flag parameters of the query component: on SQLite a disjunct comparing a
// flag that holds one of its constants with a different literal is left out
// of the text prepared; the rows stay those of the stored text with every
// value bound, on both databases, whatever the shape of the statement, the
// flag's value or the text of the other parameters.
#include "data/adoibquery.h"
#include "data/param.h"
#include "queryrows.h"
#include "testdb.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>
#include <map>

namespace {

using zavtest::assign;
using zavtest::Params;
using zavtest::Rows;
using zavtest::rowsOf;

const QStringList kFlagConstants = {QStringLiteral("T"), QStringLiteral("N"), QString()};

// The rows the stored text gives with every value bound, as before flags.
Rows reference(const QSqlDatabase& db, const QString& sql, const Params& params) {
    QSqlQuery q(db);
    if (const QString error = zavtest::execBound(q, sql, params); !error.isEmpty())
        return {{error}};
    Rows rows;
    while (q.next()) {
        QStringList row;
        for (int c = 0; c < q.record().count(); ++c)
            row.append(q.value(c).toString());
        rows.append(row);
    }
    return rows;
}

} // namespace

class tst_queryflags : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

    std::unique_ptr<TADOIBQuery> query(const QString& dialect, const QString& sql) {
        auto q = std::make_unique<TADOIBQuery>();
        q->setObjectName(QStringLiteral("qryTeste"));
        q->SetConnection(m_dbs.connectionName(dialect));
        q->SetSQL(sql.split(QLatin1Char('\n')));
        if (TParam* f = q->FindParam(QStringLiteral("F")))
            f->SetFlagValues(kFlagConstants);
        return q;
    }

private Q_SLOTS:
    // Which shapes lose the disjunct on SQLite ("pruned"), and the rows,
    // equal to the stored text's on both databases.
    void shapes_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("pruned");
        const QString branch = QStringLiteral("SELECT CDFILIAL, NMFILIAL FROM FILIAL\nWHERE ");
        const QString order = QStringLiteral("\nORDER BY CDFILIAL");
        for (const QString& d : zavtest::dialects()) {
            // The case, the statement's condition, the flag, the key, and
            // whether SQLite leaves the disjunct out.
            const auto row = [&](const char* tag, const char* where, const QString& flag, const char* key,
                                 bool pruned) {
                zavtest::newRow(d, tag)
                    << branch + QString::fromUtf8(where) + order << flag << QString::fromUtf8(key) << pruned;
            };
            row("bare disjunct, flag N", "(CDFILIAL = :K OR :F = 'T')", "N", "0002", true);
            row("bracketed disjunct, empty flag", "((CDFILIAL = :K) OR (:F = 'T'))", "", "0003", true);
            row("group beside another condition",
                "CDEMPRESA = '01' AND\n  (CDFILIAL = :K OR :F = 'T') AND CDFILIAL <> ''", "N", "0001", true);
            row("nested group", "(((CDFILIAL = :K) OR (:F = 'T')))", "N", "0004", true);
            row("several key terms", "(CDFILIAL = :K OR CDFILIAL = '0005' OR :F = 'T')", "N", "0001", true);
            row("flag equal to the literal", "(CDFILIAL = :K OR :F = 'T')", "T", "0002", false);
            row("flag outside its constants", "(CDFILIAL = :K OR :F = 'T')", "X", "0002", false);
            row("lower-case flag is no constant", "(CDFILIAL = :K OR :F = 'T')", "t", "0002", false);
            row("cleared flag", "(CDFILIAL = :K OR :F = 'T')", QString(), "0002", false);
            row("group compared with a value", "((CDFILIAL = :K OR :F = 'T') = TRUE)", "N", "0002", false);
            row("group as a function's argument", "COALESCE((CDFILIAL = :K OR :F = 'T'), FALSE)", "N", "0002",
                false);
            row("group inside CASE", "CASE WHEN (CDFILIAL = :K OR :F = 'T') THEN 1 ELSE 0 END = 1", "N",
                "0002", false);
            row("statement with BETWEEN",
                "CDFILIAL BETWEEN '0000' AND '9999' AND (CDFILIAL = :K OR :F = 'T')", "N", "0002", false);
            row("flag first in the group", "(:F = 'T' OR CDFILIAL = :K)", "N", "0002", false);
            row("flag AND-ed, not OR-ed", "(CDFILIAL = :K AND :F = 'T')", "N", "0002", false);
            row("quoted look-alike", "(NMFILIAL <> 'x OR :F = ''T'')' OR :F = 'T') AND CDFILIAL = :K", "N",
                "0002", true);
        }
    }
    void shapes() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, sql);
        QFETCH(QString, flag);
        QFETCH(QString, key);
        QFETCH(bool, pruned);
        const Params params = {{"K", key}, {"F", flag}};
        auto q = query(dialect, sql);
        assign(*q, params);
        q->Open();
        const Rows expected = reference(db, sql, params);
        QCOMPARE(rowsOf(*q), expected);
        const bool sqlite = dialect == zavtest::kSQLite;
        QCOMPARE(q->StatementText() != sql, sqlite && pruned);
        if (sqlite && pruned)
            QVERIFY2(!q->StatementText().contains(QLatin1String("OR :F = 'T'")) &&
                         !q->StatementText().contains(QLatin1String("OR (:F = 'T')")),
                     qPrintable(q->StatementText()));
    }

    // The flag named elsewhere in the statement keeps its value there; a
    // parameter that is no flag is never decided.
    void flagUsedTwiceAndUndeclared_data() { zavtest::addDialectRows("demo branches"); }
    void flagUsedTwiceAndUndeclared() {
        ZAV_DATABASE(m_dbs, db);
        const QString sql = QStringLiteral("SELECT CDFILIAL, :F AS FLAG FROM FILIAL\n"
                                           "WHERE (CDFILIAL = :K OR :F = 'T')\nORDER BY 1");
        const Params params = {{"K", "0002"}, {"F", "N"}};
        auto q = query(dialect, sql);
        assign(*q, params);
        q->Open();
        QCOMPARE(rowsOf(*q), (Rows{{"0002", "N"}}));
        QCOMPARE(rowsOf(*q), reference(db, sql, params));

        auto undeclared = query(dialect, sql);
        undeclared->FindParam(QStringLiteral("F"))->SetFlagValues({});
        assign(*undeclared, params);
        undeclared->Open();
        QCOMPARE(undeclared->StatementText(), sql);
        QCOMPARE(rowsOf(*undeclared), reference(db, sql, params));
    }

    // One query switched between its flags' values and then given another
    // statement: each Open runs the text of its own values.
    void derivedTextFollowsTheValues_data() { zavtest::addDialectRows("demo branches"); }
    void derivedTextFollowsTheValues() {
        ZAV_DATABASE(m_dbs, db);
        const QString sql = QStringLiteral("SELECT CDFILIAL FROM FILIAL\nWHERE (CDFILIAL = :K OR :F = 'T')\n"
                                           "ORDER BY CDFILIAL");
        auto q = query(dialect, sql);
        const bool sqlite = dialect == zavtest::kSQLite;
        for (const QString& flag : QStringList{"N", "T", "X", "", "T", "N"}) {
            const Params params = {{"K", "0003"}, {"F", flag}};
            assign(*q, params);
            q->Open();
            QCOMPARE(rowsOf(*q), reference(db, sql, params));
            QCOMPARE(q->StatementText() == sql, !sqlite || flag == "T" || flag == "X");
        }
        const QString other =
            QStringLiteral("SELECT CDEMPRESA FROM EMPRESA\nWHERE (CDEMPRESA = :K OR :F = 'T')");
        q->SetSQL(other.split(QLatin1Char('\n')));
        const Params params = {{"K", "02"}, {"F", "N"}};
        assign(*q, params);
        q->Open();
        QCOMPARE(rowsOf(*q), (Rows{{"02"}}));
        QVERIFY(q->StatementText().startsWith(QLatin1String("SELECT CDEMPRESA FROM EMPRESA")));
    }

    // Text of the operator's in a key is bound, never part of the statement,
    // and finds nothing.
    void hostileKeyIsBound_data() {
        zavtest::addTextRows("key",
                             {{"quote and always-true", QStringLiteral("0001' OR '1'='1")},
                              {"closing the group", QStringLiteral("x') OR ('T' = 'T")},
                              {"second statement", QStringLiteral("'); DELETE FROM FILIAL; --")},
                              {"statement after a number", QStringLiteral("0001; DROP TABLE FILIAL")}});
    }
    void hostileKeyIsBound() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, key);
        const QString sql = QStringLiteral("SELECT CDFILIAL FROM FILIAL\nWHERE (CDFILIAL = :K OR :F = 'T')");
        for (const QString& flag : QStringList{"N", "", "X"}) {
            auto q = query(dialect, sql);
            assign(*q, {{"K", key}, {"F", flag}});
            q->Open();
            QVERIFY(q->IsEmpty());
            QVERIFY(!q->StatementText().contains(key));
        }
        QSqlQuery count(db);
        QVERIFY(count.exec(QStringLiteral("SELECT COUNT(*) FROM FILIAL")) && count.next());
        QCOMPARE(count.value(0).toInt(), 5);
    }
};

QTEST_GUILESS_MAIN(tst_queryflags)
#include "tst_queryflags.moc"
