// A SELECT on the native connection under the thread's Qt SQL connection, on
// SQLite and PostgreSQL: every row once and in order, a failure said with the
// database's words, and the connection left free for the next statement
// whatever happened (a handler that throws in the middle of the rows
// included), in a transaction of the caller's or not.
#include "store/nativequery.h"

#include "database.h"
#include "testdb.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

using zavserver::Binding;
using zavserver::NativeQuery;
using zavserver::ResultRow;

namespace {

// The numbers 1 to :P_N, with their text and, every seventh, a NULL.
QString numbersSql(zavdb::Dialect d) {
    return d == zavdb::Dialect::PostgreSQL
               ? QStringLiteral("SELECT N, 'linha ' || N, CASE WHEN N % 7 = 0 THEN NULL ELSE 'x' END "
                                "FROM generate_series(1, CAST(:P_N AS INTEGER)) AS S(N) ORDER BY N")
               : QStringLiteral("WITH RECURSIVE S(N) AS (SELECT 1 WHERE CAST(:P_N AS INTEGER) >= 1 UNION ALL "
                                "SELECT N + 1 FROM S "
                                "WHERE N < CAST(:P_N AS INTEGER)) "
                                "SELECT N, 'linha ' || N, CASE WHEN N % 7 = 0 THEN NULL ELSE 'x' END "
                                "FROM S ORDER BY N");
}

// The rows a select gave, checked as they come: numbered from 1, each with
// its own text and NULL.
int countRows(QSqlDatabase& db, int n, int throwAt = 0) {
    int seen = 0;
    NativeQuery::select(
        db, numbersSql(zavdb::dialectOf(db)), {Binding{":P_N", QByteArray::number(n)}},
        [&](const ResultRow& row) {
            ++seen;
            if (seen == throwAt)
                throw zavdb::DatabaseError(QStringLiteral("parado na linha %1").arg(seen));
            double value = 0;
            QUtf8StringView third;
            const bool present = row.textOrNull(2, third);
            if (present != (seen % 7 != 0) || (present && third != QUtf8StringView("x")))
                throw zavdb::DatabaseError(QStringLiteral("linha %1: NULL mal lido").arg(seen));
            if (!row.number(0, value) || int(value) != seen ||
                row.text(1).toString() != QStringLiteral("linha %1").arg(seen) ||
                row.isNull(2) != (seen % 7 == 0))
                throw zavdb::DatabaseError(QStringLiteral("linha %1 fora de ordem").arg(seen));
        });
    return seen;
}

bool connectionFree(QSqlDatabase& db, QString* why) {
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT 41 + 1")) || !q.next() || q.value(0).toInt() != 42) {
        *why = q.lastError().text();
        return false;
    }
    return true;
}

} // namespace

class TstNativeQuery : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyRowOnceInOrder_data() {
        QTest::addColumn<QString>("dialect");
        QTest::addColumn<int>("rows");
        for (const QString& d : zavtest::dialects())
            for (const int n : {0, 1, 4095, 4096, 4097, 8192, 10000})
                QTest::newRow(qPrintable(QStringLiteral("%1: %2 rows").arg(d).arg(n))) << d << n;
    }
    void everyRowOnceInOrder() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(int, rows);
        QCOMPARE(countRows(db, rows), rows);
        QString why;
        QVERIFY2(connectionFree(db, &why), qPrintable(why));
    }

    // Stopped by its handler in the second batch, by a statement the database
    // refuses, or inside the caller's transaction: the failure reaches the
    // caller as it was, and the connection takes the next statement.
    void failuresLeaveTheConnectionFree_data() { zavtest::addDialectRows("failures"); }
    void failuresLeaveTheConnectionFree() {
        ZAV_DATABASE(m_dbs, db);
        try {
            countRows(db, 10000, 5000);
            QFAIL("the handler's failure was not passed on");
        } catch (const zavdb::DatabaseError& e) {
            QCOMPARE(e.text(), QStringLiteral("parado na linha 5000"));
        }
        QString why;
        QVERIFY2(connectionFree(db, &why), qPrintable(why));
        QCOMPARE(countRows(db, 5000), 5000);

        try {
            NativeQuery::select(db, QStringLiteral("SELECT * FROM TABELA_QUE_NAO_EXISTE WHERE X = :P_X"),
                                {Binding{":P_X", "1"}}, [](const ResultRow&) {});
            QFAIL("a missing table gave no failure");
        } catch (const zavdb::DatabaseError& e) {
            QVERIFY2(e.text().contains(QStringLiteral("TABELA_QUE_NAO_EXISTE"), Qt::CaseInsensitive),
                     qPrintable(e.text()));
        }
        QVERIFY2(connectionFree(db, &why), qPrintable(why));
        QCOMPARE(countRows(db, 4097), 4097);

        // In the caller's transaction: the rows, and the transaction still the
        // caller's to end.
        QVERIFY(db.transaction());
        QCOMPARE(countRows(db, 9000), 9000);
        QVERIFY2(connectionFree(db, &why), qPrintable(why));
        QCOMPARE(countRows(db, 10), 10);
        QVERIFY2(db.commit(), qPrintable(db.lastError().text()));
        QCOMPARE(countRows(db, 3), 3);
    }

private:
    zavtest::TestDatabases m_dbs;
};

QTEST_GUILESS_MAIN(TstNativeQuery)
#include "tst_nativequery.moc"
