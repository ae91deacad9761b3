// The filter panel against a real database, on SQLite and on PostgreSQL: an
// operator types codes, presses Tab, picks rows in the lookup dialogs, and sees
// the names, the normalised codes, the cascade and the messages.
#include "Cli_Zav50000.h"
#include "data/adoibquery.h"
#include "data/dtmdbgeral.h"
#include "recordingservices.h"
#include "screensession.h"
#include "services/checks.h"
#include "services/guard.h"
#include "services/session.h"
#include "testdb.h"
#include "uitest.h"
#include <QSqlQuery>
#include <QTest>

namespace {

QString sqlValue(const QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next())
        return {};
    return q.value(0).toString();
}

} // namespace

class TestCriteria : public QObject {
    Q_OBJECT
private:
    zavtest::TestDatabases m_dbs;
    ScreenSession m_screen;
    QSqlDatabase m_db;

    RecordingServices& svc() { return m_screen.svc(); }

    // Opens the screen on the row's database, the session at branch 0001.
    TfrmCancelaNFE* open(const QSqlDatabase& db, const QString& dialect) {
        m_db = db;
        m_screen.open(m_dbs.connectionText(dialect));
        // Leaving the panel fetches the list (tested with the retrieval); here
        // the boxes are tested on their own.
        frmCancelaNFE->panFiltro->OnExit = nullptr;
        ui::activate(frmCancelaNFE);
        return frmCancelaNFE;
    }
    // Types into a box (it gets the focus first) and leaves it with Tab.
    static void typeAndTab(QWidget* box, const QString& text) { ScreenSession::typeAndTab(box, text); }
    void chooseKind(TfrmCancelaNFE* f, int kind) {
        f->cbbDestRem->setCurrentIndex(kind);
        Q_EMIT f->cbbDestRem->activated(kind);
    }

private Q_SLOTS:
    void cleanup();
    void branch_data();
    void branch();
    void company_data();
    void company();
    void sameCompanyKeepsTheSeries_data() { zavtest::addDialectRows("db"); }
    void sameCompanyKeepsTheSeries();
    void series_data() { zavtest::addDialectRows("db"); }
    void series();
    void mandatoryChecks_data() { zavtest::addDialectRows("db"); }
    void mandatoryChecks();
    void lookupButtons_data() { zavtest::addDialectRows("db"); }
    void lookupButtons();
    void period_data() { zavtest::addDialectRows("db"); }
    void period();
    void kindChange_data() { zavtest::addDialectRows("db"); }
    void kindChange();
    void customer_data() { zavtest::addDialectRows("db"); }
    void customer();
    void sharedCustomerRegistration_data() { zavtest::addDialectRows("db"); }
    void sharedCustomerRegistration();
    void supplier_data() { zavtest::addDialectRows("db"); }
    void supplier();
    void receivingBranch_data() { zavtest::addDialectRows("db"); }
    void receivingBranch();
};

void TestCriteria::cleanup() {
    m_screen.close();
}

void TestCriteria::branch_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    for (const QString& d : zavtest::dialects()) {
        zavtest::newRow(d, "short code padded") << "2"
                                                << "0002"
                                                << "Filial Campinas"
                                                << "";
        zavtest::newRow(d, "full code") << "0003"
                                        << "0003"
                                        << "Filial Rio de Janeiro"
                                        << "";
        zavtest::newRow(d, "letters upper-cased") << "abc"
                                                  << "ABC"
                                                  << "" << QString::fromUtf8("Filial não cadastrada.");
        zavtest::newRow(d, "unknown padded then refused")
            << "9"
            << "0009"
            << "" << QString::fromUtf8("Filial não cadastrada.");
        zavtest::newRow(d, "empty: no message") << ""
                                                << ""
                                                << ""
                                                << "";
    }
}

void TestCriteria::branch() {
    ZAV_DATABASE(m_dbs, db);
    QFETCH(QString, typed);
    QFETCH(QString, code);
    QFETCH(QString, name);
    QFETCH(QString, message);
    TfrmCancelaNFE* f = open(db, dialect);
    QCOMPARE(f->edtNmFilial->Text(), QStringLiteral("Matriz São Paulo")); // shown and checked at start
    QVERIFY(svc().errors.isEmpty());
    typeAndTab(f->medCdFilial, typed);
    QCOMPARE(f->medCdFilial->Text(), code);
    QCOMPARE(f->edtNmFilial->Text(), name);
    QCOMPARE(svc().errors, message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(ui::focusedName(),
             message.isEmpty() ? QStringLiteral("medCdEmpresa") : QStringLiteral("medCdFilial"));
}

void TestCriteria::company_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QString>("branch");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stateReg");
    QTest::addColumn<QString>("cityReg");
    QTest::addColumn<QString>("message");
    const QString notForBranch = QString::fromUtf8("Empresa não cadastrada para a filial informada.");
    for (const QString& d : zavtest::dialects()) {
        zavtest::newRow(d, "the branch's own company") << "0001"
                                                       << "1"
                                                       << "Alvorada Comércio de Alimentos Ltda"
                                                       << "110042490114"
                                                       << "30521457"
                                                       << "";
        zavtest::newRow(d, "linked through the company-per-branch rows")
            << "0001"
            << "02"
            << "Serra Verde Indústria Têxtil S.A."
            << "110987654110"
            << "30529981"
            << "";
        zavtest::newRow(d, "exists, not linked: name shown, registrations not")
            << "0001"
            << "03"
            << "Horizonte Distribuidora de Bebidas Ltda"
            << ""
            << "" << notForBranch;
        zavtest::newRow(d, "does not exist") << "0001"
                                             << "99"
                                             << ""
                                             << ""
                                             << "" << notForBranch;
        zavtest::newRow(d, "linked without a registration") << "0005"
                                                            << "4"
                                                            << "Pinheiral Serviços de Logística Ltda"
                                                            << ""
                                                            << ""
                                                            << "";
    }
}

void TestCriteria::company() {
    ZAV_DATABASE(m_dbs, db);
    QFETCH(QString, branch);
    QFETCH(QString, typed);
    QFETCH(QString, name);
    QFETCH(QString, stateReg);
    QFETCH(QString, cityReg);
    QFETCH(QString, message);
    TfrmCancelaNFE* f = open(db, dialect);
    typeAndTab(f->medCdFilial, branch);
    typeAndTab(f->medCdEmpresa, typed);
    QCOMPARE(f->edtNmEmpresa->Text(), name);
    QCOMPARE(f->edtCdInscEsta->Text(), stateReg);
    QCOMPARE(f->edtInscMuni->Text(), cityReg);
    QCOMPARE(svc().errors, message.isEmpty() ? QStringList() : QStringList{message});
    if (!message.isEmpty())
        QCOMPARE(ui::focusedName(), QStringLiteral("medCdEmpresa"));
    if (message.isEmpty() && stateReg.isEmpty()) {
        // The whole-panel check then stops on the missing registration.
        zav::guarded([&] { f->Vd_Inscricao(true); });
        QCOMPARE(svc().errors.last(), QString::fromUtf8("Inscrição estadual deve ser informada."));
    }
}

void TestCriteria::sameCompanyKeepsTheSeries() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    typeAndTab(f->medCdEmpresa, QStringLiteral("01"));
    typeAndTab(f->edtCdSerie, QStringLiteral("2"));
    QCOMPARE(f->edtCdSerie->Text(), QStringLiteral("2"));
    // Leaving the company box again, unchanged: no cascade, the series stays.
    QVERIFY(ui::focus(f->medCdEmpresa));
    ui::tab(ui::focused());
    QCOMPARE(f->edtCdSerie->Text(), QStringLiteral("2"));
    // Typing another code is a change: the registrations and series go.
    typeAndTab(f->medCdEmpresa, QStringLiteral("2"));
    QCOMPARE(f->medCdEmpresa->Text(), QStringLiteral("02"));
    QCOMPARE(f->edtCdSerie->Text(), QString());
    // A change of branch empties the company, its name and what hangs on it.
    typeAndTab(f->medCdFilial, QStringLiteral("2"));
    QCOMPARE(f->medCdEmpresa->Text(), QString());
    QCOMPARE(f->edtNmEmpresa->Text(), QString());
    QCOMPARE(f->edtCdInscEsta->Text(), QString());
    QCOMPARE(f->edtInscMuni->Text(), QString());
    QCOMPARE(f->edtCdSerie->Text(), QString());
    QVERIFY(svc().errors.isEmpty());
}

void TestCriteria::series() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    typeAndTab(f->medCdEmpresa, QStringLiteral("01"));
    typeAndTab(f->edtCdSerie, QStringLiteral("u"));
    QCOMPARE(f->edtCdSerie->Text(), QStringLiteral("U"));
    QVERIFY(svc().errors.isEmpty());
    // A series of another registration of the same company is not this one's.
    typeAndTab(f->edtCdSerie, QStringLiteral("3"));
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Série de documentos de saída não cadastrada .")});
    QCOMPARE(ui::focusedName(), QStringLiteral("edtCdSerie"));
    QVERIFY(ui::focus(f->edtCdSerie));
    f->edtCdSerie->selectAll();
    QTest::keyClick(f->edtCdSerie, Qt::Key_Delete);
    QTest::sendKeyEvent(QTest::Click, f->edtCdSerie, Qt::Key_unknown, QString::fromUtf8("ç"), Qt::NoModifier);
    QCOMPARE(f->edtCdSerie->Text(), QString::fromUtf8("ç"));
}

void TestCriteria::mandatoryChecks() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    typeAndTab(f->medCdEmpresa, QStringLiteral("01"));
    typeAndTab(f->edtCdSerie, QStringLiteral("1"));
    QVERIFY(ui::focus(f->medNrNotaFiscal));
    svc().clear();
    // Codes written behind the checks' back: with Mandatory and the focus
    // elsewhere, branch, company and series are only tested for presence.
    f->medCdFilial->OnChange = nullptr;
    f->medCdEmpresa->OnChange = nullptr;
    f->medCdFilial->SetText(QStringLiteral("9999"));
    f->medCdEmpresa->SetText(QStringLiteral("98"));
    f->edtCdSerie->SetText(QStringLiteral("Z"));
    QVERIFY(zav::guarded([&] {
        f->Vd_Filial(true, false);
        f->Vd_Empresa(true);
        f->Vd_Serie(true);
    }));
    QVERIFY(svc().errors.isEmpty());
    // The registration is always looked up: it does not depend on the focus.
    f->edtCdInscEsta->OnChange = nullptr;
    f->edtCdInscEsta->SetText(QStringLiteral("000"));
    QVERIFY(!zav::guarded([&] { f->Vd_Inscricao(true); }));
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Inscrição estadual não cadastrada.")});
    // Empty boxes with Mandatory: each its own message, and the focus to it.
    const struct {
        TWinControl* box;
        std::function<void()> check;
        const char* text;
    } empties[] = {
        {f->medCdFilial, [&] { f->Vd_Filial(true, false); }, "Filial deve ser informada."},
        {f->medCdEmpresa, [&] { f->Vd_Empresa(true); }, "Empresa deve ser informada."},
        {f->edtCdInscEsta, [&] { f->Vd_Inscricao(true); }, "Inscrição estadual deve ser informada."},
        {f->edtCdSerie, [&] { f->Vd_Serie(true); }, "Série deve ser informada."},
    };
    for (const auto& e : empties) {
        static_cast<TCustomEdit*>(e.box->self())->SetText(QString());
        svc().clear();
        QVERIFY(ui::focus(f->medNrNotaFiscal));
        QVERIFY(!zav::guarded(e.check));
        QCOMPARE(svc().errors, QStringList{QString::fromUtf8(e.text)});
        if (e.box->CanFocus())
            QTRY_COMPARE(ui::focusedName(), e.box->self()->objectName());
    }
    // Without Mandatory an empty box is no error.
    QVERIFY(zav::guarded([&] {
        f->Vd_Filial(false, false);
        f->Vd_Empresa(false);
        f->Vd_Inscricao(false);
        f->Vd_Serie(false);
    }));
}

void TestCriteria::lookupButtons() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    QVERIFY(ui::focus(f->medNrNotaFiscal));
    // Branch: the second row, written unvalidated; the focus stays put.
    svc().lookupAnswers = {1};
    QTest::mouseClick(f->btpFilial, Qt::LeftButton);
    QCOMPARE(svc().lookups, QStringList{QStringLiteral("Filial")});
    QCOMPARE(f->medCdFilial->Text(), QStringLiteral("0002"));
    QCOMPARE(f->edtNmFilial->Text(), QStringLiteral("Filial Campinas"));
    QCOMPARE(ui::focusedName(), QStringLiteral("medNrNotaFiscal"));
    // Company: every company is offered, linked to the branch or not; a pick
    // of one not linked is refused when the box is left.
    svc().lookupAnswers = {2};
    QTest::mouseClick(f->btpEmpresa, Qt::LeftButton);
    QCOMPARE(f->qryEmpresa->RecordCount(), 4);
    QCOMPARE(f->medCdEmpresa->Text(), QStringLiteral("03"));
    QCOMPARE(f->edtNmEmpresa->Text(), QStringLiteral("Horizonte Distribuidora de Bebidas Ltda"));
    QCOMPARE(f->edtCdInscEsta->Text(), QString()); // only the validator fills it
    QVERIFY(ui::focus(f->medCdEmpresa));
    ui::tab(ui::focused());
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Empresa não cadastrada para a filial informada.")});
    // Series with no company: nothing to offer.
    f->medCdEmpresa->SetText(QString());
    svc().clear();
    QTest::mouseClick(f->btpSerie, Qt::LeftButton);
    QCOMPARE(svc().errors,
             QStringList{QString::fromUtf8("Não há série cadastrada para a inscrição estadual informada.")});
    QVERIFY(svc().lookups.isEmpty());
    // Series of the company and registrations shown, and a cancelled dialog.
    typeAndTab(f->medCdFilial, QStringLiteral("0001"));
    typeAndTab(f->medCdEmpresa, QStringLiteral("01"));
    svc().clear();
    svc().lookupAnswers = {-1};
    QTest::mouseClick(f->btpSerie, Qt::LeftButton);
    QCOMPARE(f->qrySerieNF->RecordCount(), 3);
    QCOMPARE(f->edtCdSerie->Text(), QString());
    svc().lookupAnswers = {2};
    QTest::mouseClick(f->btpSerie, Qt::LeftButton);
    QCOMPARE(f->edtCdSerie->Text(), QStringLiteral("U"));
}

void TestCriteria::period() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    const QString today = QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy"));
    const QString day =
        QDate::fromString(
            sqlValue(db, QStringLiteral("SELECT DTPROC FROM ZAVDATAPROC WHERE CDFILIAL = '0001'")).left(10),
            Qt::ISODate)
            .toString(QStringLiteral("dd/MM/yyyy"));
    QCOMPARE(f->depDtInicial->Text(), day);
    QCOMPARE(f->depDtFinal->Text(), day);
    // Equal dates pass; a start one day after the end does not.
    QVERIFY(ui::focus(f->depDtFinal));
    ui::tab(ui::focused());
    QVERIFY(svc().errors.isEmpty());
    f->depDtInicial->SetDate(f->depDtFinal->GetDate().addDays(1));
    QVERIFY(ui::focus(f->depDtFinal));
    ui::tab(ui::focused());
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8(
                               "Data do período inicial deve ser menor ou igual a data do período final.")});
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("depDtInicial"));
    // Leaving the start box tests no order.
    svc().clear();
    ui::tab(ui::focused());
    QVERIFY(svc().errors.isEmpty());
    // An impossible date is reported and the focus stays.
    QVERIFY(ui::focus(f->depDtFinal));
    f->depDtFinal->editor()->setText(QStringLiteral("31/02/2026"));
    ui::tab(ui::focused());
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Data inválida: 31/02/2026.")});
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("depDtFinal"));
    // An emptied date is refilled from the branch when the branch box is left;
    // the other keeps its value. Branch 0002 has its own processing date.
    svc().clear();
    f->depDtFinal->SetDate(QDateTime(QDate(2026, 1, 31), QTime()));
    f->depDtInicial->SetDate(QDateTime());
    typeAndTab(f->medCdFilial, QStringLiteral("2"));
    const QString day2 =
        QDate::fromString(
            sqlValue(db, QStringLiteral("SELECT DTPROC FROM ZAVDATAPROC WHERE CDFILIAL = '0002'")).left(10),
            Qt::ISODate)
            .toString(QStringLiteral("dd/MM/yyyy"));
    QVERIFY(!day2.isEmpty());
    QCOMPARE(f->depDtInicial->Text(), day2);
    QCOMPARE(f->depDtFinal->Text(), QStringLiteral("31/01/2026"));
    // An empty branch: the date takes the processing date of no branch, today.
    f->depDtInicial->SetDate(QDateTime());
    typeAndTab(f->medCdFilial, QString());
    QCOMPARE(f->depDtInicial->Text(), today);
}

void TestCriteria::kindChange() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    QCOMPARE(f->nbkCliente->PageIndex(), 3);
    QVERIFY(!f->MaskEdit1->isEnabled());
    QCOMPARE(f->MaskEdit1->Text(), QStringLiteral("Todos"));
    f->medCliente->SetText(QStringLiteral("1"));
    f->edtNmCliente->SetText(QStringLiteral("x"));
    f->edtNmFornecedor->SetText(QStringLiteral("y"));
    f->medFornecedor->SetText(QStringLiteral("2"));
    f->medFilial->SetText(QStringLiteral("3"));
    f->Edit1->SetText(QStringLiteral("z"));
    chooseKind(f, 1);
    QCOMPARE(f->nbkCliente->PageIndex(), 1);
    for (TCustomEdit* e : std::initializer_list<TCustomEdit*>{f->medCliente, f->medFornecedor, f->medFilial,
                                                              f->edtNmCliente, f->edtNmFornecedor, f->Edit1})
        QVERIFY2(e->Text().isEmpty(), qPrintable(e->objectName()));
    QCOMPARE(f->medCliente->EditMask(), PictPess(QStringLiteral("I")));
    QCOMPARE(f->medFornecedor->EditMask(), PictPess(QStringLiteral("I")));
    QCOMPARE(f->medFilial->EditMask(), QStringLiteral(">aaaa;0; "));
}

void TestCriteria::customer() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    const QString cnpj = sqlValue(
        db, QStringLiteral("SELECT NRINSJURCLIE FROM CLIENTE WHERE IDTPIJURCLIE = 'J' AND NRINSJURCLIE IN "
                           "(SELECT NRINSJURCLIE FROM CLIENTE GROUP BY NRINSJURCLIE HAVING COUNT(*) = 1) "
                           "ORDER BY NRINSJURCLIE"));
    const QString name =
        sqlValue(db, QStringLiteral("SELECT NMRAZSOCCLIE FROM CLIENTE WHERE NRINSJURCLIE = '%1'").arg(cnpj));
    QCOMPARE(cnpj.size(), 14);
    chooseKind(f, 0);
    // Typed by hand, never picked: an existing customer is accepted.
    typeAndTab(f->medCliente, cnpj);
    QVERIFY2(svc().errors.isEmpty(), qPrintable(svc().errors.join(QLatin1Char('|'))));
    QCOMPARE(f->medCliente->Text(), cnpj);
    QCOMPARE(f->medCliente->EditMask(), PictPess(QStringLiteral("J")));
    QCOMPARE(f->medCliente->displayText(), FormatMaskText(PictPess(QStringLiteral("J")), cnpj));
    QCOMPARE(f->edtNmCliente->Text(), name);
    // Entering it again: the typing mask, the name kept.
    QVERIFY(ui::focus(f->medCliente));
    QCOMPARE(f->medCliente->EditMask(), PictPess(QStringLiteral("I")));
    QCOMPARE(f->edtNmCliente->Text(), name);
    QCOMPARE(f->medCliente->Text(), cnpj);
    // A number nobody has.
    typeAndTab(f->medCliente, QStringLiteral("11111111111111"));
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Cliente não cadastrado.")});
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("medCliente"));
    QCOMPARE(f->edtNmCliente->Text(), QString());
    // Empty: nothing asked, the name emptied.
    svc().clear();
    typeAndTab(f->medCliente, QString());
    QVERIFY(svc().errors.isEmpty());
    // A pick writes the raw number; the mask comes with the validation.
    svc().lookupAnswers = {0};
    QTest::mouseClick(f->btpCliente, Qt::LeftButton);
    const QString first =
        sqlValue(db, QStringLiteral("SELECT NRINSJURCLIE FROM CLIENTE ORDER BY NRINSJURCLIE"));
    QCOMPARE(f->medCliente->Text(), first);
    QCOMPARE(f->medCliente->EditMask(), PictPess(QStringLiteral("I")));
    QVERIFY(!f->RememberedCustomer().isEmpty());
    // The search dialog's display text of the code: the formatted number.
    TField* code = f->qryCliente->FieldByName(QStringLiteral("CDCLIENTE"));
    const QString letter = f->qryCliente->FieldByName(QStringLiteral("IDTPIJURCLIE"))->AsString();
    QCOMPARE(code->DisplayText(), FormatMaskText(PictPess(letter), first));
}

void TestCriteria::sharedCustomerRegistration() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    const QString shared = sqlValue(
        db, QStringLiteral("SELECT NRINSJURCLIE FROM CLIENTE GROUP BY NRINSJURCLIE HAVING COUNT(*) > 1 "
                           "ORDER BY NRINSJURCLIE"));
    QVERIFY(!shared.isEmpty());
    QStringList names;
    QSqlQuery q(db);
    QVERIFY(q.exec(QStringLiteral("SELECT NMRAZSOCCLIE FROM CLIENTE WHERE NRINSJURCLIE = '%1'").arg(shared)));
    while (q.next())
        names << q.value(0).toString();
    chooseKind(f, 0);
    typeAndTab(f->medCliente, shared);
    QVERIFY(svc().errors.isEmpty());
    QVERIFY(names.contains(f->edtNmCliente->Text()));
    // After a pick of one of them, that one is preferred (the query stands on
    // it), also after changes of kind.
    bool cancel = false;
    f->btpClienteBeforePesq(nullptr, cancel);
    QList<int> rows;
    for (int r = 1; r <= f->qryCliente->RecordCount(); ++r) {
        f->qryCliente->SetRecNo(r);
        if (f->qryCliente->FieldByName(QStringLiteral("NRINSJURCLIE"))->AsString() == shared)
            rows << r - 1;
    }
    QVERIFY(rows.size() >= 2);
    for (int row : {rows.last(), rows.first()}) {
        svc().lookupAnswers = {row};
        QTest::mouseClick(f->btpCliente, Qt::LeftButton);
        const QString picked = f->RememberedCustomer();
        chooseKind(f, 1);
        chooseKind(f, 0);
        typeAndTab(f->medCliente, shared);
        QCOMPARE(f->qryCliente->FieldByName(QStringLiteral("CDCLIENTE"))->AsString(), picked);
        QVERIFY(names.contains(f->edtNmCliente->Text()));
    }
    QVERIFY(svc().errors.isEmpty());
}

void TestCriteria::supplier() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    const QString shared = sqlValue(
        db, QStringLiteral("SELECT NRINSJURFORN FROM FORNECEDOR GROUP BY NRINSJURFORN HAVING COUNT(*) > 1 "
                           "ORDER BY NRINSJURFORN"));
    const QString firstByName =
        sqlValue(db, QStringLiteral("SELECT NMRAZSOCFORN FROM FORNECEDOR WHERE NRINSJURFORN = '%1' "
                                    "ORDER BY NMRAZSOCFORN")
                         .arg(shared));
    QVERIFY(!shared.isEmpty());
    chooseKind(f, 1);
    typeAndTab(f->medFornecedor, shared);
    QVERIFY(svc().errors.isEmpty());
    QCOMPARE(f->edtNmFornecedor->Text(), firstByName);
    typeAndTab(f->medFornecedor, QStringLiteral("99999999999"));
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Fornecedor não cadastrado.")});
    // The dialog's registration column shows the number formatted.
    svc().lookupAnswers = {0};
    QTest::mouseClick(f->btpFornecedor, Qt::LeftButton);
    TField* reg = f->qryFornecedor->FieldByName(QStringLiteral("NRINSJURFORN"));
    const QString letter = f->qryFornecedor->FieldByName(QStringLiteral("IDTPIJURFORN"))->AsString();
    QCOMPARE(reg->DisplayText(), FormatMaskText(PictPess(letter), reg->AsString()));
}

void TestCriteria::receivingBranch() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(db, dialect);
    chooseKind(f, 2);
    typeAndTab(f->medFilial, QStringLiteral("3"));
    QCOMPARE(f->medFilial->Text(), QStringLiteral("0003"));
    QCOMPARE(f->Edit1->Text(), QStringLiteral("Filial Rio de Janeiro"));
    typeAndTab(f->medFilial, QStringLiteral("8"));
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Filial não cadastrada.")});
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("medFilial"));
    // With no establishment branch, the receiving branch is not checked.
    svc().clear();
    f->medCdFilial->SetText(QString());
    typeAndTab(f->medFilial, QStringLiteral("8"));
    QVERIFY(svc().errors.isEmpty());
    QCOMPARE(f->medFilial->Text(), QStringLiteral("8"));
}

QTEST_MAIN(TestCriteria)
#include "tst_criteria.moc"
