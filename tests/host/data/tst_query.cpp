// The query component on both databases: strict parameters, one value for a
// name used twice, NULL, fixed-width strings, fields by name, the client-side
// cursor that stays on its row until the query is closed.
#include "data/adoibquery.h"
#include "data/datasource.h"
#include "data/edatabaseerror.h"
#include "testdb.h"
#include "testtools.h"

#include <QSignalSpy>
#include <QtTest>
#include <functional>

namespace {

TFieldDef def(const char* name, int size = 20, TFieldType type = ftString) {
    TFieldDef d;
    d.name = QLatin1String(name);
    d.size = size;
    d.type = type;
    return d;
}

// The text of the EDatabaseError f throws, or "" when it throws none.
QString errorOf(const std::function<void()>& f) {
    return zavtest::failureText<EDatabaseError>(f, QString());
}

} // namespace

class tst_query : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

    // A query on the row's database with the given statement and fields.
    std::unique_ptr<TADOIBQuery> query(const QString& dialect, const QStringList& sql,
                                       const QList<TFieldDef>& fields = {}) {
        auto q = std::make_unique<TADOIBQuery>();
        q->setObjectName(QStringLiteral("qryTeste"));
        q->SetConnection(m_dbs.connectionName(dialect));
        q->SetSQL(sql);
        for (const TFieldDef& f : fields)
            q->AddField(f);
        return q;
    }

    // The branch statement's parameters asking for every branch.
    static void allBranches(TADOIBQuery& q) {
        q.ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QString());
        q.ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QStringLiteral("T"));
    }

    static const QStringList& branchSql() {
        static const QStringList sql = {
            QStringLiteral("SELECT CDFILIAL, NMFILIAL, CDEMPRESA FROM FILIAL"),
            QStringLiteral("WHERE (CDFILIAL = :P_CDFILIAL OR :P_TCDFILIAL = 'T')"),
            QStringLiteral("ORDER BY CDFILIAL")};
        return sql;
    }

    static void bothDialects() { zavtest::addDialectRows("demo database"); }

private Q_SLOTS:
    void unknownParameterRefused_data() {
        zavtest::addTextRows("name", {{"not in the statement", QStringLiteral("P_CDEMPRESA")},
                                      {"other case", QStringLiteral("p_cdfilial")},
                                      {"with its colon", QStringLiteral(":P_CDFILIAL")},
                                      {"prefix of a name", QStringLiteral("P_CDFIL")},
                                      {"inside a literal only", QStringLiteral("P_LIT")}});
    }
    void unknownParameterRefused() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, name);
        QStringList sql = branchSql();
        sql[0] = QStringLiteral("SELECT CDFILIAL, ':P_LIT' AS LIT, NMFILIAL, CDEMPRESA FROM FILIAL");
        auto q = query(dialect, sql);
        const QString error = errorOf([&] { q->ParamByName(name); });
        QVERIFY2(error.contains(name) && error.contains(QStringLiteral("qryTeste")), qPrintable(error));
        QCOMPARE(q->Params().size(), 2);
    }

    void everyParameterMustBeSet_data() { bothDialects(); }
    void everyParameterMustBeSet() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(dialect, branchSql());
        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QStringLiteral("0001"));
        const QString error = errorOf([&] { q->Open(); });
        QVERIFY2(error.contains(QStringLiteral("P_TCDFILIAL")), qPrintable(error));
        QVERIFY(!q->Active());
    }

    // Each name written twice is one parameter: one value reaches both places.
    void nameUsedTwiceGetsOneValue_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("branch");
        QTest::addColumn<int>("rows");
        for (const QString& d : zavtest::dialects()) {
            zavtest::newRow(d, "branch with a processing date") << QStringLiteral("0002") << 2;
            zavtest::newRow(d, "branch without one") << QStringLiteral("0004") << 1;
            zavtest::newRow(d, "unknown branch") << QStringLiteral("9999") << 0;
        }
    }
    void nameUsedTwiceGetsOneValue() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, branch);
        QFETCH(int, rows);
        auto q =
            query(dialect, {QStringLiteral("SELECT CDFILIAL FROM FILIAL WHERE CDFILIAL = :P_CDFILIAL"),
                            QStringLiteral("UNION ALL"),
                            QStringLiteral("SELECT CDFILIAL FROM ZAVDATAPROC WHERE CDFILIAL = :P_CDFILIAL")});
        QCOMPARE(q->Params().size(), 1);
        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(branch);
        q->Open();
        QCOMPARE(q->RecordCount(), rows);
        for (q->First(); !q->Eof(); q->Next())
            QCOMPARE(q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(), branch);
    }

    // A cleared key is NULL: it matches nothing, and the flag still lists all.
    void nullParameter_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("flag");
        QTest::addColumn<int>("rows");
        for (const QString& d : zavtest::dialects()) {
            zavtest::newRow(d, "check of a NULL key") << QString() << 0;
            zavtest::newRow(d, "all rows, NULL key") << QStringLiteral("T") << 5;
        }
    }
    void nullParameter() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, flag);
        QFETCH(int, rows);
        auto q = query(dialect, branchSql());
        TParam* key = q->ParamByName(QStringLiteral("P_CDFILIAL"));
        key->SetAsString(QStringLiteral("0001"));
        key->Clear();
        QVERIFY(key->IsNull());
        QCOMPARE(key->AsString(), QString());
        q->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(flag);
        QVERIFY(!q->ParamByName(QStringLiteral("P_TCDFILIAL"))->IsNull());
        q->Open();
        QCOMPARE(q->RecordCount(), rows);
        QCOMPARE(q->IsEmpty(), rows == 0);
    }

    // Text comes back without trailing blanks whatever the column type (a CHAR
    // column is padded by PostgreSQL); leading blanks are data and stay.
    void fixedWidthStringsTrimmed_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("expression");
        QTest::addColumn<QString>("expected");
        for (const QString& d : zavtest::dialects()) {
            zavtest::newRow(d, "CHAR column")
                << QStringLiteral("CAST(CDFILIAL AS CHAR(10))") << QStringLiteral("0003");
            zavtest::newRow(d, "trailing blanks in the value")
                << QStringLiteral("'abc   '") << QStringLiteral("abc");
            zavtest::newRow(d, "leading blanks kept") << QStringLiteral("'  x '") << QStringLiteral("  x");
            zavtest::newRow(d, "only blanks") << QStringLiteral("'    '") << QStringLiteral("");
        }
    }
    void fixedWidthStringsTrimmed() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, expression);
        auto q =
            query(dialect,
                  {QStringLiteral("SELECT %1 AS V FROM FILIAL WHERE CDFILIAL = :P_CDFILIAL").arg(expression)},
                  {def("V", 10)});
        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QStringLiteral("0003"));
        q->Open();
        QTEST(q->FieldByName(QStringLiteral("V"))->AsString(), "expected");
        QVERIFY(!q->FieldByName(QStringLiteral("V"))->IsNull());
    }

    void fieldsByName_data() { bothDialects(); }
    void fieldsByName() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(dialect, branchSql(), {def("CDFILIAL", 4), def("NMFILIAL", 30)});
        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QStringLiteral("0002"));
        q->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QString());
        q->Open();
        // PostgreSQL names result columns in lower case; fields match either way.
        QCOMPARE(q->FieldByName(QStringLiteral("nmfilial"))->AsString(), QStringLiteral("Filial Campinas"));
        QCOMPARE(q->Fields().size(), 2);
        QCOMPARE(q->Fields().at(0)->FieldName(), QStringLiteral("CDFILIAL"));
        QVERIFY(!q->FindField(QStringLiteral("CDEMPRESA"))); // selected but not declared
        const QString error = errorOf([&] { q->FieldByName(QStringLiteral("NMFANTASIA")); });
        QVERIFY2(error.contains(QStringLiteral("NMFANTASIA")) && error.contains(QStringLiteral("qryTeste")),
                 qPrintable(error));
    }

    void declaredFieldMissingFromResult_data() { bothDialects(); }
    void declaredFieldMissingFromResult() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(dialect, branchSql(), {def("CDFILIAL", 4), def("SGESTADO", 2)});
        allBranches(*q);
        const QString error = errorOf([&] { q->Open(); });
        QVERIFY2(error.contains(QStringLiteral("SGESTADO")), qPrintable(error));
        QVERIFY(!q->Active());
    }

    // The cursor stays on its row until Close; the parameters keep their
    // values for the next Open.
    void staysOnItsRowUntilClosed_data() { bothDialects(); }
    void staysOnItsRowUntilClosed() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(dialect, branchSql(), {def("CDFILIAL", 4), def("NMFILIAL", 30)});
        allBranches(*q);
        q->Open();
        QCOMPARE(q->RecNo(), 1);
        QVERIFY(q->Bof());
        q->Next();
        q->Next();
        QCOMPARE(q->RecNo(), 3);
        QCOMPARE(q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(), QStringLiteral("0003"));
        QCOMPARE(q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(), QStringLiteral("0003"));
        q->Last();
        q->Next();
        QVERIFY(q->Eof());
        QCOMPARE(q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(), QStringLiteral("0005"));
        q->SetRecNo(2);
        QVERIFY(!q->Eof());
        QCOMPARE(q->FieldByName(QStringLiteral("NMFILIAL"))->AsString(), QStringLiteral("Filial Campinas"));
        QVERIFY(!errorOf([&] { q->SetRecNo(6); }).isEmpty());
        QCOMPARE(q->RecNo(), 2);

        q->Close();
        QVERIFY(!q->Active());
        QCOMPARE(q->RecordCount(), 0);
        QVERIFY(q->IsEmpty());
        QVERIFY(!errorOf([&] { q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(); }).isEmpty());

        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QStringLiteral("0004"));
        q->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QString());
        q->Open();
        QCOMPARE(q->RecordCount(), 1);
        QCOMPARE(q->FieldByName(QStringLiteral("NMFILIAL"))->AsString(),
                 QStringLiteral("Filial Belo Horizonte"));
        q->Close();
        q->Open(); // same values again
        QCOMPARE(q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(), QStringLiteral("0004"));
    }

    void emptyResult_data() { bothDialects(); }
    void emptyResult() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(dialect, branchSql(), {def("CDFILIAL", 4)});
        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QStringLiteral("0009"));
        q->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QStringLiteral("N"));
        q->Open();
        QVERIFY(q->Active());
        QVERIFY(q->IsEmpty());
        QVERIFY(q->Eof());
        QCOMPARE(q->RecNo(), -1);
        QVERIFY(q->FieldByName(QStringLiteral("CDFILIAL"))->IsNull());
        QCOMPARE(q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(), QString());
    }

    void databaseErrors_data() {
        zavtest::addTextRows("sql", {{"syntax", QStringLiteral("SELEC CDFILIAL FROM FILIAL")},
                                     {"unknown table", QStringLiteral("SELECT X FROM NAO_EXISTE")}});
    }
    void databaseErrors() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, sql);
        auto q = query(dialect, {sql});
        const QString error = errorOf([&] { q->Open(); });
        QVERIFY2(error.startsWith(QStringLiteral("Erro no banco de dados")), qPrintable(error));
        QVERIFY(!q->Active());
    }

    void noConnection() {
        TADOIBQuery q;
        q.SetConnection(QStringLiteral("nao-aberta"));
        q.SetSQL({QStringLiteral("SELECT 1 AS X")});
        const QString error = errorOf([&] { q.Open(); });
        QVERIFY2(error.contains(QStringLiteral("nao-aberta")), qPrintable(error));
    }

    // Dates as each database returns them (text in SQLite, a date in
    // PostgreSQL) read as the same date-time.
    void typedFields_data() { bothDialects(); }
    void typedFields() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(
            dialect,
            {QStringLiteral("SELECT DTPROC, 2 AS N, 2.5 AS R FROM ZAVDATAPROC WHERE CDFILIAL = :P_CDFILIAL")},
            {def("DTPROC", 0, ftDateTime), def("N", 0, ftInteger), def("R", 0, ftFloat)});
        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QStringLiteral("0002"));
        q->Open();
        QCOMPARE(q->FieldByName(QStringLiteral("DTPROC"))->AsDateTime(),
                 QDateTime(QDate::currentDate().addDays(-1), QTime(0, 0)));
        QCOMPARE(q->FieldByName(QStringLiteral("DTPROC"))->AsString(),
                 QDate::currentDate().addDays(-1).toString(QStringLiteral("dd/MM/yyyy")));
        QCOMPARE(q->FieldByName(QStringLiteral("N"))->AsInteger(), 2);
        QCOMPARE(q->FieldByName(QStringLiteral("R"))->AsFloat(), 2.5);
        QCOMPARE(q->FieldByName(QStringLiteral("R"))->AsString(), QStringLiteral("2,5"));
    }

    // Without declared fields the result's columns become the fields.
    void fieldsFromResult_data() { bothDialects(); }
    void fieldsFromResult() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(dialect, branchSql());
        q->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QStringLiteral("0001"));
        q->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QString());
        q->Open();
        QCOMPARE(q->Fields().size(), 3);
        QCOMPARE(q->FieldByName(QStringLiteral("NMFILIAL"))->AsString(), QStringLiteral("Matriz São Paulo"));
        q->Close();
        QVERIFY(q->Fields().isEmpty());
    }

    void displayText() {
        TADOIBQuery q;
        TField* f = q.AddField(def("NRINSJURCLIE", 20));
        QCOMPARE(f->DisplayLabel(), QStringLiteral("NRINSJURCLIE"));
        bool asked = false;
        f->OnGetText = [&](TField& sender, QString& text, bool displayText) {
            asked = displayText;
            QCOMPARE(&sender, f);
            QVERIFY(text.isEmpty());
            text = QStringLiteral("formatado");
        };
        // Reading a closed dataset's field fails, so the handler decides alone.
        QCOMPARE(f->DisplayText(), QStringLiteral("formatado"));
        QVERIFY(asked);
        QCOMPARE(f->Text(), QStringLiteral("formatado"));
        QVERIFY(!asked);
    }

    // Data sources hear every state change inside the call that made it; moves
    // of the row are held back while controls are disabled.
    void notifications_data() { bothDialects(); }
    void notifications() {
        ZAV_DATABASE(m_dbs, db);
        auto q = query(dialect, branchSql(), {def("CDFILIAL", 4)});
        TDataSource source;
        source.SetDataSet(q.get());
        QList<TDataSetState> seen;
        source.OnStateChange = [&](QObject* sender) {
            QCOMPARE(sender, &source);
            seen.append(q->State());
        };
        QSignalSpy sourceSignal(&source, &TDataSource::stateChanged);
        QSignalSpy moved(q.get(), &TDataSet::recordChanged);
        allBranches(*q);
        q->Open();
        QCOMPARE(seen, QList<TDataSetState>{dsBrowse});
        moved.clear();
        q->DisableControls();
        q->DisableControls();
        QVERIFY(q->ControlsDisabled());
        q->Next();
        q->Next();
        q->EnableControls();
        QCOMPARE(moved.size(), 0);
        q->EnableControls();
        QVERIFY(!q->ControlsDisabled());
        QCOMPARE(moved.size(), 1);
        QCOMPARE(q->RecNo(), 3);
        q->Close();
        QCOMPARE(seen, (QList<TDataSetState>{dsBrowse, dsInactive}));
        QCOMPARE(sourceSignal.size(), 2);

        // A handler's failure reaches the caller that changed the state.
        source.OnStateChange = [](QObject*) { throw EDatabaseError(QStringLiteral("falhou")); };
        QCOMPARE(errorOf([&] { q->Open(); }), QStringLiteral("falhou"));
    }

    void readOnly() {
        TADOIBQuery q;
        q.setObjectName(QStringLiteral("qrySomente"));
        QVERIFY(errorOf([&] { q.Edit(); }).contains(QStringLiteral("qrySomente")));
        QVERIFY(!errorOf([&] { q.Post(); }).isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_query)
#include "tst_query.moc"
