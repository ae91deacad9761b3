// The real lookup dialog over a query of the demo database: the visible fields
// under their labels, finding a row by typing, Enter to pick, Esc to give up.
#include "components/lookupdialog.h"
#include "criteria/queries.h"
#include "data/adoibquery.h"
#include "data/clientdataset.h"
#include "data/datapacket.h"
#include "data/dtmdbgeral.h"
#include "services/qthostservices.h"
#include "testdb.h"
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QStyle>
#include <QTableView>
#include <QTest>
#include <QTimer>

class TestLookupDialog : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    std::unique_ptr<TADOIBQuery> m_branches;

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void columnsAreTheVisibleFields();
    void typingFindsARow();
    void enterPicksEscCancels();
    void invoiceListAsTheGridShowsIt();
    void registrationsFormattedAndNamesWhole_data();
    void registrationsFormattedAndNamesWhole();
};

void TestLookupDialog::initTestCase() {
    ZAV_SQLITE(m_dbs);
    dtmDBGeral::open(m_dbs.connectionText(zavtest::kSQLite));
    m_branches = std::make_unique<TADOIBQuery>();
    SetupQryFilial(*m_branches);
    m_branches->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QString());
    m_branches->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QStringLiteral("T"));
    m_branches->Open();
    QVERIFY(m_branches->RecordCount() >= 3);
}

void TestLookupDialog::cleanupTestCase() {
    m_branches.reset();
    dtmDBGeral::close();
}

void TestLookupDialog::columnsAreTheVisibleFields() {
    LookupDialog d(QStringLiteral("Filial"), m_branches.get());
    QAbstractItemModel* m = d.table()->model();
    QCOMPARE(m->columnCount(), 2);
    QCOMPARE(m->headerData(0, Qt::Horizontal).toString(), QString::fromUtf8("Código"));
    QCOMPARE(m->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nome"));
    QCOMPARE(m->rowCount(), m_branches->RecordCount());
    QCOMPARE(m->index(0, 0).data().toString(), QStringLiteral("0001"));
    QCOMPARE(d.windowTitle(), QStringLiteral("Filial"));
}

void TestLookupDialog::typingFindsARow() {
    LookupDialog d(QStringLiteral("Filial"), m_branches.get());
    QVERIFY(d.locate(QStringLiteral("0003")));
    QCOMPARE(d.table()->currentIndex().row(), 2);
    QVERIFY(d.locate(QStringLiteral("campinas"))); // any column, any case
    QCOMPARE(d.table()->currentIndex().row(), 1);
    QVERIFY(!d.locate(QStringLiteral("Manaus")));
    QCOMPARE(d.table()->currentIndex().row(), 1);
}

void TestLookupDialog::enterPicksEscCancels() {
    QtHostServices services;
    LookupRequest request;
    request.title = QStringLiteral("Filial");
    request.dataSet = m_branches.get();
    auto answer = [](int key, const char* typed) {
        QTimer::singleShot(50, [key, typed] {
            auto* d = qobject_cast<LookupDialog*>(QApplication::activeModalWidget());
            if (!d)
                return;
            QTest::keyClicks(d->finder(), QLatin1String(typed));
            QTest::keyClick(d->finder(), Qt::Key(key));
        });
    };
    answer(Qt::Key_Return, "Rio");
    QCOMPARE(services.chooseRow(request), 2);
    answer(Qt::Key_Escape, "Rio");
    QCOMPARE(services.chooseRow(request), -1);
}

void TestLookupDialog::invoiceListAsTheGridShowsIt() {
    // The search over the invoice list (F7): values in the grid's formats, and
    // the list read without moving it, also while its current row is open for
    // edit with a reason the rule would refuse.
    TClientDataSet list;
    for (const auto& [name, type] :
         {std::pair{"NRLANCTONF", ftString}, std::pair{"DTEMISSAO", ftDateTime},
          std::pair{"VRNOTAFISC", ftFloat}, std::pair{"DSMOTIVOCANCNFE", ftString}}) {
        TFieldDef def;
        def.name = QLatin1StringView(name);
        def.type = type;
        def.size = type == ftString ? 50 : 0;
        list.AddField(def);
    }
    DataPacket p(QList<DataPacketField>{{QStringLiteral("NRLANCTONF"), ftString, 10},
                                        {QStringLiteral("DTEMISSAO"), ftDateTime, 0},
                                        {QStringLiteral("VRNOTAFISC"), ftFloat, 0},
                                        {QStringLiteral("DSMOTIVOCANCNFE"), ftString, 50}});
    for (const auto& [entry, value] :
         {std::pair{"0000000001", 1633.8}, std::pair{"0000000002", 1234567.891}}) {
        const int r = p.appendRow();
        p.setValue(r, 0, QLatin1StringView(entry));
        p.setValue(r, 1, QDateTime(QDate(2026, 12, 3), QTime(14, 5)));
        p.setValue(r, 2, value);
        p.setValue(r, 3, QString());
    }
    list.SetData(p);
    int posts = 0;
    list.BeforePost = [&posts](TDataSet*) {
        ++posts;
        throw std::runtime_error("the rule refuses");
    };
    list.SetRecNo(2);
    list.Edit();
    list.FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->SetAsString(QStringLiteral("curto"));

    LookupDialog d(QStringLiteral("Procurar"), &list);
    QAbstractItemModel* m = d.table()->model();
    QCOMPARE(m->index(0, 2).data().toString(), QStringLiteral("1.633,80"));
    QCOMPARE(m->index(1, 2).data().toString(), QStringLiteral("1.234.567,89"));
    QCOMPARE(m->index(0, 1).data().toString(), QStringLiteral("03/12/2026"));
    QCOMPARE(m->index(1, 3).data().toString(), QStringLiteral("curto"));
    QCOMPARE(posts, 0);
    QCOMPARE(list.RecNo(), 2);
    QCOMPARE(list.State(), dsEdit);
    // Amounts line up on their last digit; texts and days as texts do.
    const auto aligned = [m](int column) { return m->index(0, column).data(Qt::TextAlignmentRole); };
    QCOMPARE(aligned(2).value<Qt::Alignment>(), Qt::AlignRight | Qt::AlignVCenter);
    QVERIFY(!aligned(0).isValid() || !(aligned(0).value<Qt::Alignment>() & Qt::AlignRight));
    QVERIFY(!aligned(3).isValid() || !(aligned(3).value<Qt::Alignment>() & Qt::AlignRight));
}

// The customers' and the suppliers' lookups as the dialog shows them: the
// registration under the mask of the row's kind of person, and the columns
// wide enough for every text they show, the company's name whole, inside the
// screen.
void TestLookupDialog::registrationsFormattedAndNamesWhole_data() {
    QTest::addColumn<bool>("customers");
    QTest::newRow("customers") << true;
    QTest::newRow("suppliers") << false;
}

void TestLookupDialog::registrationsFormattedAndNamesWhole() {
    QFETCH(bool, customers);
    TADOIBQuery q;
    const char* number = customers ? "NRINSJURCLIE" : "NRINSJURFORN";
    const char* kind = customers ? "IDTPIJURCLIE" : "IDTPIJURFORN";
    if (customers) {
        SetupQryCliente(q);
        for (const char* p : {"P_NRINSJURCLIE", "P_CDCLIENTE"})
            q.ParamByName(QLatin1String(p))->SetAsString(QString());
        for (const char* p : {"P_TODOS", "P_TODOSCLIE"})
            q.ParamByName(QLatin1String(p))->SetAsString(QStringLiteral("T"));
    } else {
        SetupQryFornecedor(q);
        q.ParamByName(QStringLiteral("P_NRINSJURFORN"))->SetAsString(QString());
        q.ParamByName(QStringLiteral("P_TODOS"))->SetAsString(QStringLiteral("T"));
    }
    q.Open();
    QVERIFY(q.RecordCount() >= 2);
    LookupDialog d(QStringLiteral("Pesquisa"), &q);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QAbstractItemModel* m = d.table()->model();
    QCOMPARE(m->headerData(0, Qt::Horizontal).toString(), QString::fromUtf8("Inscrição"));
    QCOMPARE(m->headerData(1, Qt::Horizontal).toString(), QString::fromUtf8("Razão Social"));
    const QRegularExpression company(QStringLiteral("^\\d{2}\\.\\d{3}\\.\\d{3}/\\d{4}-\\d{2}$"));
    const QRegularExpression person(QStringLiteral("^\\d{3}\\.\\d{3}\\.\\d{3}-\\d{2}$"));
    QSet<QString> kinds;
    for (int r = 0; r < m->rowCount(); ++r) {
        q.SetRecNo(r + 1);
        const QString digits = q.FieldByName(QLatin1String(number))->AsString();
        const QString k = q.FieldByName(QLatin1String(kind))->AsString();
        const QString shown = m->index(r, 0).data().toString();
        kinds.insert(k);
        if (k == QLatin1String("J"))
            QVERIFY2(company.match(shown).hasMatch(), qPrintable(shown));
        else if (k == QLatin1String("F"))
            QVERIFY2(person.match(shown).hasMatch(), qPrintable(shown));
        QCOMPARE(QString(shown).remove(QRegularExpression(QStringLiteral("[./-]"))), digits);
        // The value stays the digits, as the after-search handlers copy it.
        QVERIFY(!digits.contains(u'.'));
    }
    QVERIFY2(kinds.contains(QStringLiteral("J")) && kinds.contains(QStringLiteral("F")),
             "the demo has companies and persons");
    // Every text of the registration and the name columns fits its column,
    // and those columns are inside the table's visible width.
    QTableView* t = d.table();
    const QFontMetrics fm(t->font());
    for (int c = 0; c < 2; ++c) {
        int widest = 0;
        for (int r = 0; r < m->rowCount(); ++r)
            widest = std::max(widest, fm.horizontalAdvance(m->index(r, c).data().toString()));
        const int room = t->columnWidth(c) - 2 * t->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) - 2;
        QVERIFY2(
            widest <= room,
            qPrintable(QStringLiteral("column %1: %2 px of text in %3 px").arg(c).arg(widest).arg(room)));
        QVERIFY2(t->columnViewportPosition(c) + t->columnWidth(c) <= t->viewport()->width(),
                 qPrintable(QStringLiteral("column %1 ends past the visible table").arg(c)));
    }
    QVERIFY(d.screen()->availableGeometry().contains(d.frameGeometry()));
}

QTEST_MAIN(TestLookupDialog)
#include "tst_lookupdialog.moc"
