// The in-memory invoice list: the order of the index whatever order rows come
// in, the filter the confirm action switches off and on, the edit buffer under
// a refusing BeforePost, no insertion, the whole list in Data, bad packets
// refused with the list closed, a tick-all pass without a signal per row, and
// the pass that writes many rows straight into the storage.
#include "data/clientdataset.h"
#include "data/datasource.h"
#include "data/edatabaseerror.h"
#include "invoicepacket.h"
#include "services/exceptions.h"

#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <random>

using namespace invoicetest;

namespace {

// The invoice list as the screen sets it up.
struct InvoiceList {
    TClientDataSet cds;
    TDataSource dts;
    QList<TDataSetState> states;

    InvoiceList() {
        cds.setObjectName(QStringLiteral("cdsNotaFiscal"));
        declareFields(cds);
        cds.SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
        cds.SetFilter(QStringLiteral("IDCHECK = 'C'"));
        dts.SetDataSet(&cds);
        dts.OnStateChange = [this](QObject*) { states.append(cds.State()); };
    }

    QString field(const char* name) const { return cds.FieldByName(QLatin1StringView(name))->AsString(); }
    void set(const char* name, const QString& value) {
        cds.FieldByName(QLatin1StringView(name))->SetAsString(value);
    }

    // The values of a field over the rows the dataset lets one visit.
    QStringList visit(const char* name) {
        QStringList out;
        for (cds.First(); !cds.Eof(); cds.Next())
            out.append(field(name));
        return out;
    }
};

QStringList keys(int n) {
    QStringList out;
    for (int i = 0; i < n; ++i)
        out.append(QStringLiteral("0001202405%1    1%2")
                       .arg(i % 28 + 1, 2, 10, QLatin1Char('0'))
                       .arg(i, 9, 10, QLatin1Char('0')));
    return out;
}

// Ticks the row with this entry number through the edit buffer.
void tick(InvoiceList& list, int recNo, const QString& value) {
    list.cds.SetRecNo(recNo);
    list.cds.Edit();
    list.set("IDCHECK", value);
    list.cds.Post();
}

QString columnOf(const DataPacket& p, int row, const char* name) {
    return p.value(row, p.indexOf(QLatin1StringView(name))).toString();
}

} // namespace

class tst_ClientDataSet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void indexOrder_data();
    void indexOrder();
    void filterEvaluatedWhenSwitchedOn();
    void filterForms_data();
    void filterForms();
    void beforePostRefusesAndKeepsTheEdit();
    void cancelDropsPendingValues();
    void editRefusals();
    void insertionRefused_data();
    void insertionRefused();
    void dataWhileFilteredIsTheWholeList();
    void badPacketsLeaveTheListClosed_data();
    void badPacketsLeaveTheListClosed();
    void nullDataAndPacketFields();
    void tickAllPassWithControlsDisabled();
    void gridAccessDoesNotMoveTheCursor();
    void textOnRowsStopsAtTheFirstRefusal();
    void textOnRowsCountsAndSignalsLikePosts();
    void textOnRowsRefusals();
    void textOnRowsUnderTheFilter();
};

void tst_ClientDataSet::indexOrder_data() {
    QTest::addColumn<QStringList>("arrival");
    const QStringList sorted = keys(40);
    QStringList reversed = sorted;
    std::reverse(reversed.begin(), reversed.end());
    QStringList shuffled = sorted;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(42));
    QTest::newRow("already in order") << sorted;
    QTest::newRow("reversed") << reversed;
    QTest::newRow("shuffled") << shuffled;
    QTest::newRow("one row") << QStringList{sorted.first()};
    QTest::newRow("no rows") << QStringList{};
    QTest::newRow("equal keys") << QStringList{QStringLiteral("B"), QStringLiteral("A"), QStringLiteral("B"),
                                               QStringLiteral("A"), QStringLiteral("B")};
}

void tst_ClientDataSet::indexOrder() {
    QFETCH(QStringList, arrival);
    InvoiceList list;
    list.cds.SetData(invoices(arrival));
    QVERIFY(list.cds.Active());
    QCOMPARE(list.cds.RecordCount(), arrival.size());

    QStringList expected = arrival;
    std::sort(expected.begin(), expected.end());
    QCOMPARE(list.visit("LANCAMENTO"), expected);

    // Rows with equal keys keep the order they arrived in (entry numbers count arrivals).
    const QStringList entries = list.visit("NRLANCTONF");
    for (int i = 1; i < entries.size(); ++i)
        if (expected.at(i) == expected.at(i - 1))
            QVERIFY2(entries.at(i - 1) < entries.at(i), qPrintable(entries.join(u',')));
}

void tst_ClientDataSet::filterEvaluatedWhenSwitchedOn() {
    InvoiceList list;
    list.cds.SetData(invoices(keys(5)));
    tick(list, 2, QStringLiteral("C"));
    tick(list, 4, QStringLiteral("C"));
    QCOMPARE(list.cds.RecordCount(), 5);

    list.cds.SetFiltered(true);
    QCOMPARE(list.cds.RecordCount(), 2);
    QCOMPARE(list.visit("IDCHECK"), (QStringList{QStringLiteral("C"), QStringLiteral("C")}));
    QCOMPARE(list.visit("LANCAMENTO"), (QStringList{keys(5).at(1), keys(5).at(3)}));

    // Unticking a row while the filter is on keeps it in view until the filter
    // is switched off and on again.
    tick(list, 1, QStringLiteral("U"));
    QCOMPARE(list.cds.RecordCount(), 2);
    list.cds.SetFiltered(false);
    QCOMPARE(list.cds.RecordCount(), 5);
    list.cds.SetFiltered(true);
    QCOMPARE(list.cds.RecordCount(), 1);
    QCOMPARE(list.field("LANCAMENTO"), keys(5).at(3));

    // No ticked row: the filtered list is empty, as the confirm action tests.
    tick(list, 1, QStringLiteral("U"));
    list.cds.SetFiltered(false);
    list.cds.SetFiltered(true);
    QCOMPARE(list.cds.RecordCount(), 0);
    QVERIFY(list.cds.IsEmpty());
    QCOMPARE(list.cds.RecNo(), -1);
    list.cds.SetFiltered(false);
    QCOMPARE(list.cds.RecordCount(), 5);
    QCOMPARE(list.cds.RecNo(), 1);
}

void tst_ClientDataSet::filterForms_data() {
    QTest::addColumn<QString>("expression");
    QTest::addColumn<int>("matching"); // -1: the expression is refused
    QTest::newRow("the screen's filter") << QStringLiteral("IDCHECK = 'C'") << 1;
    QTest::newRow("blanks around") << QStringLiteral("  IDCHECK='C'  ") << 1;
    QTest::newRow("not ticked") << QStringLiteral("IDCHECK = 'U'") << 2;
    QTest::newRow("lower-case name") << QStringLiteral("idcheck = 'C'") << 1;
    QTest::newRow("quote inside") << QStringLiteral("NMRAZAO = 'D''Ávila'") << 1;
    QTest::newRow("empty literal matches NULL and empty") << QStringLiteral("CDFILIRECE = ''") << 3;
    QTest::newRow("no quotes") << QStringLiteral("IDCHECK = C") << -1;
    QTest::newRow("double equals") << QStringLiteral("IDCHECK == 'C'") << -1;
    QTest::newRow("not equal") << QStringLiteral("IDCHECK <> 'C'") << -1;
    QTest::newRow("two conditions") << QStringLiteral("IDCHECK = 'C' AND IDBLOQUEADO = 'N'") << -1;
    QTest::newRow("unterminated") << QStringLiteral("IDCHECK = 'C") << -1;
}

void tst_ClientDataSet::filterForms() {
    QFETCH(QString, expression);
    QFETCH(int, matching);
    InvoiceList list;
    DataPacket p = invoices(keys(3));
    p.setValue(1, p.indexOf(QStringLiteral("NMRAZAO")), QStringLiteral("D'Ávila"));
    p.setValue(1, p.indexOf(QStringLiteral("IDCHECK")), QStringLiteral("C"));
    list.cds.SetData(p);
    list.cds.SetFiltered(true);
    QCOMPARE(list.cds.RecordCount(), 1); // the filter set up beforehand

    if (matching < 0) {
        try {
            list.cds.SetFilter(expression);
            QFAIL("accepted");
        } catch (const EDatabaseError& e) {
            QVERIFY2(e.text().contains(QStringLiteral("não suportado")), qPrintable(e.text()));
        }
        // The filter in force stays as it was.
        QCOMPARE(list.cds.Filter(), QStringLiteral("IDCHECK = 'C'"));
        QCOMPARE(list.cds.RecordCount(), 1);
        return;
    }
    list.cds.SetFilter(expression);
    QCOMPARE(list.cds.RecordCount(), matching);
}

void tst_ClientDataSet::beforePostRefusesAndKeepsTheEdit() {
    InvoiceList list;
    int posts = 0;
    list.cds.BeforePost = [&](TDataSet* ds) {
        ++posts;
        if (ds->FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->AsString().size() < 15)
            throw EZavError(QStringLiteral("Motivo do cancelamento deve conter no mínimo de 15 caracteres."));
    };
    list.cds.SetData(invoices(keys(3)));
    list.states.clear();
    list.cds.SetRecNo(2);
    list.cds.Edit();
    list.set("IDCHECK", QStringLiteral("C"));
    list.set("DSMOTIVOCANCNFE", QStringLiteral("curto"));
    QVERIFY_THROWS_EXCEPTION(EZavError, list.cds.Post());
    QCOMPARE(posts, 1);
    QCOMPARE(list.cds.State(), dsEdit);
    QCOMPARE(list.field("IDCHECK"), QStringLiteral("C")); // pending, as typed
    QCOMPARE(list.field("DSMOTIVOCANCNFE"), QStringLiteral("curto"));
    QCOMPARE(columnOf(list.cds.Data(), 1, "IDCHECK"), QStringLiteral("U")); // nothing written yet

    list.set("DSMOTIVOCANCNFE", QStringLiteral("Nota emitida em duplicidade"));
    list.cds.Post();
    QCOMPARE(posts, 2);
    QCOMPARE(list.cds.State(), dsBrowse);
    const DataPacket data = list.cds.Data();
    QCOMPARE(columnOf(data, 1, "IDCHECK"), QStringLiteral("C"));
    QCOMPARE(columnOf(data, 1, "DSMOTIVOCANCNFE"), QStringLiteral("Nota emitida em duplicidade"));
    QCOMPARE(columnOf(data, 0, "IDCHECK"), QStringLiteral("U"));
    // The data source heard the edit begin and end, once each.
    QCOMPARE(list.states, (QList<TDataSetState>{dsEdit, dsBrowse}));
    // Post in browse does nothing, and runs no handler.
    list.cds.Post();
    QCOMPARE(posts, 2);
}

void tst_ClientDataSet::cancelDropsPendingValues() {
    InvoiceList list;
    list.cds.SetData(invoices(keys(2)));
    list.cds.Edit();
    list.set("IDCHECK", QStringLiteral("C"));
    list.set("DSMOTIVOCANCNFE", QStringLiteral("Nota emitida em duplicidade"));
    list.cds.Cancel();
    QCOMPARE(list.cds.State(), dsBrowse);
    QCOMPARE(list.field("IDCHECK"), QStringLiteral("U"));
    QCOMPARE(list.field("DSMOTIVOCANCNFE"), QString());
    // A new edit starts from the stored values, not from the dropped ones.
    list.cds.Edit();
    QCOMPARE(list.field("IDCHECK"), QStringLiteral("U"));
    list.cds.Post();
    QCOMPARE(columnOf(list.cds.Data(), 0, "IDCHECK"), QStringLiteral("U"));
}

void tst_ClientDataSet::editRefusals() {
    InvoiceList list;
    list.cds.SetData(invoices(keys(2)));
    // Outside an edit.
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, list.set("IDCHECK", QStringLiteral("C")));
    // Longer than the field: refused, not cut.
    list.cds.Edit();
    list.set("DSMOTIVOCANCNFE", QStringLiteral("Nota emitida em duplicidade"));
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, list.set("DSMOTIVOCANCNFE", QString(51, u'x')));
    QCOMPARE(list.field("DSMOTIVOCANCNFE"), QStringLiteral("Nota emitida em duplicidade"));
    // Closing drops the list and its pending edit; it opens again only with new data.
    list.cds.Close();
    QVERIFY(!list.cds.HasData());
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, list.cds.Open());
    QVERIFY(!list.cds.Active());
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, list.field("IDCHECK"));
    // An empty list has no row to edit.
    list.cds.SetData(invoices({}));
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, list.cds.Edit());
    QCOMPARE(list.cds.State(), dsBrowse);
    QVERIFY(list.cds.FieldByName(QStringLiteral("IDCHECK"))->IsNull());
}

void tst_ClientDataSet::insertionRefused_data() {
    QTest::addColumn<int>("handler"); // 0 none, 1 returns normally, 2 aborts silently
    QTest::newRow("no handler") << 0;
    QTest::newRow("handler that lets it through") << 1;
    QTest::newRow("handler that aborts") << 2;
}

void tst_ClientDataSet::insertionRefused() {
    QFETCH(int, handler);
    InvoiceList list;
    int calls = 0;
    if (handler > 0)
        list.cds.BeforeInsert = [&](TDataSet*) {
            ++calls;
            if (handler == 2)
                Abort();
        };
    list.cds.SetData(invoices(keys(3)));
    list.cds.SetRecNo(2);
    for (int append = 0; append < 2; ++append) {
        bool refused = false;
        try {
            if (append)
                list.cds.Append();
            else
                list.cds.Insert();
        } catch (const EAbort&) {
            refused = handler == 2;
        } catch (const EDatabaseError&) {
            refused = handler != 2;
        }
        QVERIFY(refused);
    }
    QCOMPARE(calls, handler > 0 ? 2 : 0);
    QCOMPARE(list.cds.RecordCount(), 3);
    QCOMPARE(list.cds.State(), dsBrowse);
    QCOMPARE(list.cds.RecNo(), 2);
    QCOMPARE(list.cds.Data().rowCount(), 3);
}

void tst_ClientDataSet::dataWhileFilteredIsTheWholeList() {
    InvoiceList list;
    QStringList arrival = keys(6);
    std::reverse(arrival.begin(), arrival.end());
    list.cds.SetData(invoices(arrival));
    tick(list, 3, QStringLiteral("C"));
    list.cds.SetRecNo(5);
    list.cds.Edit();
    list.set("DSMOTIVOCANCNFE", QStringLiteral("Valor informado errado na nota"));
    list.cds.Post();
    list.cds.SetFiltered(true);
    QCOMPARE(list.cds.RecordCount(), 1);

    const DataPacket data = list.cds.Data();
    QCOMPARE(data.rowCount(), 6);
    QCOMPARE(data.fieldCount(), 17);
    for (int r = 0; r < 6; ++r) {
        QCOMPARE(columnOf(data, r, "LANCAMENTO"), keys(6).at(r)); // index order
        QCOMPARE(columnOf(data, r, "IDCHECK"), r == 2 ? QStringLiteral("C") : QStringLiteral("U"));
        QCOMPARE(columnOf(data, r, "DSMOTIVOCANCNFE"),
                 r == 4 ? QStringLiteral("Valor informado errado na nota") : QString());
    }
    // What goes to the server is a copy: changing the list afterwards does not change it.
    list.cds.SetFiltered(false);
    tick(list, 1, QStringLiteral("C"));
    QCOMPARE(columnOf(data, 0, "IDCHECK"), QStringLiteral("U"));
}

void tst_ClientDataSet::badPacketsLeaveTheListClosed_data() {
    QTest::addColumn<DataPacket>("packet");
    QTest::addColumn<QString>("message");
    QTest::newRow("no LANCAMENTO") << invoices(keys(2), packetFields(QStringLiteral("LANCAMENTO")))
                                   << QStringLiteral(
                                          "Resposta inválida do servidor: campo LANCAMENTO ausente");
    QTest::newRow("no IDCHECK") << invoices(keys(2), packetFields(QStringLiteral("IDCHECK")))
                                << QStringLiteral("Resposta inválida do servidor: campo IDCHECK ausente");
    QTest::newRow("issue date as text")
        << invoices(keys(2), packetFields({}, QStringLiteral("DTEMISSAO"), ftString))
        << QStringLiteral("Resposta inválida do servidor: campo DTEMISSAO: esperado data, recebido texto");
    QTest::newRow("total as text")
        << invoices(keys(2), packetFields({}, QStringLiteral("VRNOTAFISC"), ftString))
        << QStringLiteral("Resposta inválida do servidor: campo VRNOTAFISC: esperado número, recebido texto");
    QTest::newRow("reason as a date")
        << invoices(keys(2), packetFields({}, QStringLiteral("DSMOTIVOCANCNFE"), ftDateTime))
        << QStringLiteral(
               "Resposta inválida do servidor: campo DSMOTIVOCANCNFE: esperado texto, recebido data");
}

void tst_ClientDataSet::badPacketsLeaveTheListClosed() {
    QFETCH(DataPacket, packet);
    QFETCH(QString, message);
    InvoiceList list;
    list.cds.SetData(invoices(keys(4)));
    list.cds.Edit();
    list.set("IDCHECK", QStringLiteral("C"));
    list.states.clear();
    try {
        list.cds.SetData(packet);
        QFAIL("accepted");
    } catch (const EZavError& e) {
        QCOMPARE(e.text(), message);
    }
    // Nothing of the earlier list is shown as if it were the answer.
    QVERIFY(!list.cds.Active());
    QVERIFY(!list.cds.HasData());
    QCOMPARE(list.cds.RecordCount(), 0);
    QVERIFY(list.cds.DataVariant().isNull());
    QCOMPARE(list.states.last(), dsInactive);
    // The declared fields are still there for the next answer.
    QCOMPARE(list.cds.Fields().size(), 17);
    list.cds.SetData(invoices(keys(1)));
    QCOMPARE(list.cds.RecordCount(), 1);
}

void tst_ClientDataSet::nullDataAndPacketFields() {
    // The failure list: no persistent fields, filled from whatever the server sends.
    TClientDataSet errors;
    errors.setObjectName(QStringLiteral("cdsErrosNF"));
    errors.SetData(QVariant());
    QVERIFY(!errors.HasData());
    QVERIFY(!errors.Active());

    DataPacket p({{QStringLiteral("NRLANCTONF"), ftString, 10},
                  {QStringLiteral("CDERRO"), ftString, 100},
                  {QStringLiteral("DSERRO"), ftString, 100}});
    const int r = p.appendRow();
    p.setValue(r, 0, QStringLiteral("0000000007"));
    p.setValue(r, 1, QStringLiteral("MS01"));
    p.setValue(r, 2, QString(""));
    errors.SetData(QVariant::fromValue(p));
    QVERIFY(errors.HasData());
    QCOMPARE(errors.RecordCount(), 1);
    QCOMPARE(errors.FieldByName(QStringLiteral("CDERRO"))->AsString(), QStringLiteral("MS01"));
    QCOMPARE(errors.Fields().size(), 3);

    // A Null answer after a packet: no rows, no data, and no fields left over.
    errors.SetData(QVariant());
    QVERIFY(!errors.HasData());
    QVERIFY(errors.Fields().isEmpty());
    QVERIFY_THROWS_EXCEPTION(EZavError, errors.SetData(QVariant(QStringLiteral("not a packet"))));
    QVERIFY(!errors.HasData());
}

void tst_ClientDataSet::tickAllPassWithControlsDisabled() {
    InvoiceList list;
    list.cds.SetData(invoices(keys(2000)));
    QSignalSpy rows(&list.cds, &TClientDataSet::rowChanged);
    QSignalSpy data(&list.cds, &TDataSet::dataChanged);
    QSignalSpy record(&list.cds, &TDataSet::recordChanged);

    list.cds.DisableControls();
    for (int i = 1; i <= list.cds.RecordCount(); ++i)
        tick(list, i, QStringLiteral("C"));
    list.cds.First();
    QCOMPARE(rows.count(), 0);
    QCOMPARE(data.count(), 0);
    list.cds.EnableControls();
    QCOMPARE(rows.count(), 0);
    QCOMPARE(data.count(), 1);
    QCOMPARE(record.count(), 1);

    list.cds.SetFiltered(true);
    QCOMPARE(list.cds.RecordCount(), 2000);
    list.cds.SetFiltered(false);

    // With controls enabled each commit names its row.
    data.clear();
    tick(list, 7, QStringLiteral("U"));
    QCOMPARE(data.count(), 0);
    QVERIFY(rows.count() >= 1);
    QCOMPARE(rows.last().at(0).toInt(), 6);
}

void tst_ClientDataSet::gridAccessDoesNotMoveTheCursor() {
    InvoiceList list;
    QStringList arrival = keys(5);
    std::reverse(arrival.begin(), arrival.end());
    list.cds.SetData(invoices(arrival));
    const int key = list.cds.FieldByName(QStringLiteral("LANCAMENTO"))->Index();
    const int check = list.cds.FieldByName(QStringLiteral("IDCHECK"))->Index();
    list.cds.SetRecNo(3);
    for (int r = 0; r < list.cds.ViewRowCount(); ++r)
        QCOMPARE(list.cds.value(r, key).toString(), keys(5).at(r));
    QCOMPARE(list.cds.RecNo(), 3);
    QCOMPARE(list.cds.CurrentViewRow(), 2);

    // The row in edit shows its pending value; the others their stored ones.
    QSignalSpy rows(&list.cds, &TClientDataSet::rowChanged);
    list.cds.Edit();
    list.set("IDCHECK", QStringLiteral("C"));
    QCOMPARE(rows.count(), 1);
    QCOMPARE(rows.first().at(0).toInt(), 2);
    QCOMPARE(list.cds.value(2, check).toString(), QStringLiteral("C"));
    QCOMPARE(list.cds.value(1, check).toString(), QStringLiteral("U"));
    QVERIFY(!list.cds.value(5, check).isValid());
    QVERIFY(!list.cds.value(0, 99).isValid());
    list.cds.Cancel();
    QCOMPARE(list.cds.value(2, check).toString(), QStringLiteral("U"));
}

void tst_ClientDataSet::textOnRowsStopsAtTheFirstRefusal() {
    InvoiceList list;
    list.cds.SetData(invoices(keys(10)));
    TField* check = list.cds.FieldByName(QStringLiteral("IDCHECK"));
    list.cds.SetRecNo(4);
    QList<int> asked;
    list.states.clear();
    const int stop = list.cds.SetTextOnRows(*check, QStringLiteral("C"), 2, [&](int row) {
        asked.append(row);
        return row != 6;
    });
    QCOMPARE(stop, 6);
    QCOMPARE(asked, (QList<int>{2, 3, 4, 5, 6})); // in order, nothing asked after the refusal
    QCOMPARE(list.visit("IDCHECK"), (QStringList{"U", "U", "C", "C", "C", "C", "U", "U", "U", "U"}));
    QCOMPARE(columnOf(list.cds.Data(), 5, "IDCHECK"), QStringLiteral("C")); // stored, not pending
    QVERIFY(list.states.isEmpty());                                         // no edit ever opened

    // The cursor stayed where it was; the rest of the list from the refused row.
    list.cds.SetRecNo(4);
    QCOMPARE(list.cds.SetTextOnRows(*check, QStringLiteral("C"), stop, {}), 10);
    QCOMPARE(list.cds.RecNo(), 4);
    const QStringList after = QStringList{"U", "U"} + QStringList(8, QStringLiteral("C"));
    QCOMPARE(list.visit("IDCHECK"), after);
    // A start past the end, or a refusal at once, writes nothing.
    QCOMPARE(list.cds.SetTextOnRows(*check, QStringLiteral("U"), 10, {}), 10);
    QCOMPARE(list.cds.SetTextOnRows(*check, QStringLiteral("U"), 0, [](int) { return false; }), 0);
    QCOMPARE(list.visit("IDCHECK"), after);

    // A rule that throws stops the pass there too, and the rows written are told.
    QSignalSpy data(&list.cds, &TDataSet::dataChanged);
    QVERIFY_THROWS_EXCEPTION(EZavError, list.cds.SetTextOnRows(*check, QStringLiteral("U"), 0, [](int row) {
        if (row == 3)
            throw EZavError(QStringLiteral("regra"));
        return true;
    }));
    QCOMPARE(data.count(), 1);
    QCOMPARE(list.visit("IDCHECK"),
             QStringList(3, QStringLiteral("U")) + QStringList(7, QStringLiteral("C")));
}

void tst_ClientDataSet::textOnRowsCountsAndSignalsLikePosts() {
    InvoiceList list;
    DataPacket p = invoices(keys(2000));
    const int c = p.indexOf(QStringLiteral("IDCHECK"));
    p.setValue(3, c, QStringLiteral("C"));
    p.setNull(4, c);
    list.cds.SetData(p);
    TField* check = list.cds.FieldByName(QStringLiteral("IDCHECK"));
    QSignalSpy rows(&list.cds, &TClientDataSet::rowChanged);
    QSignalSpy data(&list.cds, &TDataSet::dataChanged);
    QSignalSpy record(&list.cds, &TDataSet::recordChanged);

    // Controls on: one dataChanged for the whole pass, none per row.
    QCOMPARE(list.cds.SetTextOnRows(*check, QStringLiteral("C"), 0, {}), 2000);
    QCOMPARE(data.count(), 1);
    QCOMPARE(rows.count(), 0);
    QCOMPARE(record.count(), 0);
    QCOMPARE(list.cds.ChangeCount(), 1999); // row 3 already held "C"; the NULL counts
    QCOMPARE(list.cds.StoredText(4, *check), QUtf8StringView("C"));

    // Controls off: held back until the last EnableControls, then one.
    data.clear();
    list.cds.DisableControls();
    list.cds.SetTextOnRows(*check, QStringLiteral("U"), 0, {});
    QCOMPARE(data.count(), 0);
    list.cds.EnableControls();
    QCOMPARE(data.count(), 1);
    QCOMPARE(rows.count(), 0);
    // A row back to what arrived is no change: only row 3 (it arrived "C")
    // and row 4 (it arrived NULL) are changed now.
    QCOMPARE(list.cds.ChangeCount(), 2);

    // A post after the pass counts in the same tally, and a pass after a post.
    list.cds.SetData(invoices(keys(3)));
    QCOMPARE(list.cds.ChangeCount(), 0);
    tick(list, 2, QStringLiteral("C"));
    QCOMPARE(list.cds.ChangeCount(), 1);
    list.cds.SetTextOnRows(*check, QStringLiteral("C"), 0, {});
    QCOMPARE(list.cds.ChangeCount(), 3);

    // An empty text over NULL and '' cells: stored as '', no change counted,
    // as a post of '' over them counts none.
    DataPacket q = invoices(keys(2));
    q.setNull(0, q.indexOf(QStringLiteral("DSMOTIVOCANCNFE")));
    list.cds.SetData(q);
    TField* reason = list.cds.FieldByName(QStringLiteral("DSMOTIVOCANCNFE"));
    list.cds.SetTextOnRows(*reason, QString(), 0, {});
    QCOMPARE(list.cds.ChangeCount(), 0);
    QVERIFY(!list.cds.Data().isNull(0, q.indexOf(QStringLiteral("DSMOTIVOCANCNFE"))));
    // A text written as a post writes it: trailing blanks dropped.
    list.cds.SetTextOnRows(*reason, QStringLiteral("Nota emitida em duplicidade   "), 0, {});
    QCOMPARE(list.visit("DSMOTIVOCANCNFE"), QStringList(2, QStringLiteral("Nota emitida em duplicidade")));
}

void tst_ClientDataSet::textOnRowsRefusals() {
    InvoiceList list;
    TClientDataSet other;
    declareFields(other);
    TField* foreign = other.FieldByName(QStringLiteral("IDCHECK"));
    // Closed: nothing to write, nothing to read.
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, list.cds.SetTextOnRows(*foreign, QStringLiteral("C"), 0, {}));
    QVERIFY(list.cds.StoredText(0, *foreign).isEmpty());

    list.cds.SetData(invoices(keys(3)));
    TField* check = list.cds.FieldByName(QStringLiteral("IDCHECK"));
    const QList<std::function<void()>> refused = {
        [&] { list.cds.SetTextOnRows(*foreign, QStringLiteral("C"), 0, {}); },
        [&] {
            list.cds.SetTextOnRows(*list.cds.FieldByName(QStringLiteral("VRNOTAFISC")), QStringLiteral("1"),
                                   0, {});
        },
        [&] { list.cds.SetTextOnRows(*check, QStringLiteral("CC"), 0, {}); }, // the field holds 1
        [&] {
            list.cds.SetRecNo(2);
            list.cds.Edit();
            list.set("IDCHECK", QStringLiteral("X"));
            list.cds.SetTextOnRows(*check, QStringLiteral("C"), 0, {});
        },
    };
    for (const auto& call : refused) {
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, call());
        QCOMPARE(columnOf(list.cds.Data(), 0, "IDCHECK"), QStringLiteral("U"));
        QCOMPARE(list.cds.ChangeCount(), 0);
    }
    // The row in edit kept its pending value; the stored text is not it.
    QCOMPARE(list.cds.State(), dsEdit);
    QCOMPARE(list.field("IDCHECK"), QStringLiteral("X"));
    QCOMPARE(list.cds.StoredText(1, *check), QUtf8StringView("U"));
    QVERIFY(list.cds.StoredText(-1, *check).isEmpty());
    QVERIFY(list.cds.StoredText(3, *check).isEmpty());
    QVERIFY(list.cds.StoredText(0, *list.cds.FieldByName(QStringLiteral("VRNOTAFISC"))).isEmpty());
}

void tst_ClientDataSet::textOnRowsUnderTheFilter() {
    InvoiceList list;
    DataPacket p = invoices(keys(6));
    const int c = p.indexOf(QStringLiteral("IDCHECK"));
    for (int r : {1, 3, 4})
        p.setValue(r, c, QStringLiteral("C"));
    list.cds.SetData(p);
    list.cds.SetFiltered(true);
    TField* check = list.cds.FieldByName(QStringLiteral("IDCHECK"));
    QList<QString> seen;
    const int stop = list.cds.SetTextOnRows(*check, QStringLiteral("U"), 0, [&](int row) {
        seen.append(
            list.cds.value(row, list.cds.FieldByName(QStringLiteral("LANCAMENTO"))->Index()).toString());
        return true;
    });
    // The view's rows only, which keep their place until the filter is applied again.
    QCOMPARE(stop, 3);
    QCOMPARE(seen, (QList<QString>{keys(6)[1], keys(6)[3], keys(6)[4]}));
    QCOMPARE(list.cds.RecordCount(), 3);
    QCOMPARE(list.cds.StoredText(2, *check), QUtf8StringView("U"));
    list.cds.SetFiltered(false);
    QCOMPARE(list.visit("IDCHECK"), QStringList(6, QStringLiteral("U")));
    QCOMPARE(list.cds.ChangeCount(), 3);
}

QTEST_GUILESS_MAIN(tst_ClientDataSet)
#include "tst_clientdataset.moc"
