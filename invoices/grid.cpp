// The selection grid: ticks, the tick-all pass, reasons and the reason rule.
// (Complete: the grid itself is host/components/dbgrid.*; tests in tests/invoices/tst_grid.cpp.)
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "data/field.h"
#include "reasonrule.h"
#include "services/checks.h"
#include "services/exceptions.h"
#include "services/hostservices.h"
#include "vcl/graphics.h"
#include <QFontDatabase>
#include <QHeaderView>
#include <QStringDecoder>
#include <optional>
#include <string_view>

namespace {

const QString kCheck = QStringLiteral("IDCHECK");
const QString kReason = QStringLiteral("DSMOTIVOCANCNFE");

// The tick column's title: the "4" of a symbol font, which shows as a tick
// mark, where the machine has one; else a tick of a font it has.
void tickTitle(TColumn* c) {
    const QStringList have = QFontDatabase::families();
    for (const char* symbol : {"Monotype Sorts", "Wingdings"})
        if (have.contains(QLatin1String(symbol), Qt::CaseInsensitive)) {
            c->Title = QStringLiteral("4");
            c->TitleFont = QFont(QLatin1String(symbol));
            c->TitleFont.setPixelSize(11);
            return;
        }
    c->Title = QString(QChar(0x2713));
    c->TitleFont = screenFont(11);
}

bool fieldIs(TColumn* c, const QString& name) {
    return c && c->FieldName.toUpper() == name;
}

// The rule a row's reason meets when the row is posted, one for a single tick
// and for the tick-all pass: the shared reason rule's verdicts on presence and
// length, told with the message catalogue's keys. The rest of that rule (the
// upper limit, the characters) is told when the cancellation is asked.
enum class RowReason { Ok, Missing, Short };

RowReason rowReason(const zavfiscal::ReasonCheck& check) {
    switch (check.fault) {
    case zavfiscal::ReasonFault::Empty:
        return RowReason::Missing;
    case zavfiscal::ReasonFault::TooShort:
        return RowReason::Short;
    default:
        return RowReason::Ok;
    }
}

// For the tick-all pass: whether a row's stored reason would be posted as it
// stands (accepted by the rule, without blanks around it to drop). A list
// often repeats one reason down its rows: the last accepted one is
// remembered, and the rule is asked again for any other text.
class StoredReasons {
public:
    bool postedAsStored(QUtf8StringView stored) {
        const std::string_view bytes(stored.data(), size_t(stored.size()));
        if (m_known && bytes == std::string_view(m_last.constData(), size_t(m_last.size())))
            return true;
        // Decoded into a buffer kept from row to row (no allocation a row).
        m_text.resize(stored.size()); // UTF-16 units never outnumber UTF-8 bytes
        const QChar* end = m_utf8.appendToBuffer(m_text.data(), QByteArrayView(stored.data(), stored.size()));
        m_text.truncate(end - m_text.constData());
        const zavfiscal::ReasonCheck check = zavfiscal::checkReason(m_text);
        if (rowReason(check) != RowReason::Ok || check.reason.size() != m_text.size())
            return false;
        m_last = QByteArray(stored.data(), stored.size());
        m_known = true;
        return true;
    }

private:
    QStringDecoder m_utf8{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless};
    QString m_text;
    QByteArray m_last;
    bool m_known = false;
};

} // namespace

void TfrmCancelaNFE::setupGrid() {
    dbgPadrao->SetDataSource(dtsNotaFiscal);
    struct Col {
        const char* field;
        int width;
        Qt::Alignment alignment;
        bool readOnly;
    };
    const Col cols[] = {
        {"IDCHECK", 20, Qt::AlignCenter, true},
        {"NRLANCTONF", 79, Qt::AlignLeft | Qt::AlignVCenter, true},
        {"DTEMISSAO", 71, Qt::AlignLeft | Qt::AlignVCenter, true},
        {"NMRAZAO", 209, Qt::AlignLeft | Qt::AlignVCenter, true},
        {"VRNOTAFISC", 76, Qt::AlignRight | Qt::AlignVCenter, true},
        {"DSMOTIVOCANCNFE", 222, Qt::AlignLeft | Qt::AlignVCenter, false},
    };
    for (const Col& c : cols) {
        TColumn* column = dbgPadrao->AddColumn(QLatin1String(c.field));
        column->Width = c.width;
        column->Alignment = c.alignment;
        column->ReadOnly = c.readOnly;
        column->TitleFont = screenFont(11);
    }
    TColumn* tick = dbgPadrao->Column(0);
    tickTitle(tick);
    tick->TitleAlignment = Qt::AlignRight | Qt::AlignVCenter;
    dbgPadrao->LayoutColumns();
    dbgPadrao->SetOptions(dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs |
                          dgAlwaysShowSelection | dgConfirmDelete);
    dbgPadrao->OnCellClick = [this](TColumn* c) { dbgPadraoCellClick(c); };
    dbgPadrao->OnKeyDown = [this](QObject* s, TKey& k, TShiftState sh) { dbgPadraoKeyDown(s, k, sh); };
    dbgPadrao->OnTitleClick = [this](TColumn* c) { dbgPadraoTitleClick(c); };
    dbgPadrao->OnColEnter = [this](QObject* s) { dbgPadraoColEnter(s); };
    dbgPadrao->OnDrawColumnCell = [this](QObject* s, const QRect& r, int d, TColumn* c,
                                         const TGridDrawState& st) {
        dbgPadraoDrawColumnCell(s, r, d, c, st);
    };
    cdsNotaFiscal->BeforePost = [this](TDataSet* d) { cdsNotaFiscalBeforePost(d); };
    cdsNotaFiscal->BeforeInsert = [this](TDataSet* d) { cdsNotaFiscalBeforeInsert(d); };
}

void TfrmCancelaNFE::ToggleCurrentRow() {
    cdsNotaFiscal->Edit();
    TField* check = cdsNotaFiscal->FieldByName(kCheck);
    if (check->AsString() == QLatin1String("U")) {
        check->SetAsString(QStringLiteral("C"));
        boToCheck = true;
    } else {
        check->SetAsString(QStringLiteral("U"));
        boToCheck = false;
    }
    cdsNotaFiscal->Post();
}

void TfrmCancelaNFE::dbgPadraoCellClick(TColumn*) {
    if (cdsNotaFiscal->Active() && !cdsNotaFiscal->IsEmpty() && fieldIs(dbgPadrao->SelectedField(), kCheck))
        ToggleCurrentRow();
}

void TfrmCancelaNFE::dbgPadraoKeyDown(QObject*, TKey& key, TShiftState shift) {
    if (cdsNotaFiscal->IsEmpty() || fieldIs(dbgPadrao->SelectedField(), kReason) || key != VK_SPACE)
        return;
    if (shift.ctrl)
        dbgPadraoTitleClick(dbgPadrao->Column(IndiceCol(dbgPadrao, kCheck)));
    else
        ToggleCurrentRow();
}

void TfrmCancelaNFE::dbgPadraoTitleClick(TColumn* column) {
    if (cdsNotaFiscal->IsEmpty() || !fieldIs(column, kCheck))
        return;
    TField* check = cdsNotaFiscal->FieldByName(kCheck);
    const TField* reason = cdsNotaFiscal->FieldByName(kReason);
    const QString mark = boToCheck ? QStringLiteral("U") : QStringLiteral("C");
    // The grid follows the list again when the pass ends, a refused row included.
    const TControlsDisabled quiet(cdsNotaFiscal);
    cdsNotaFiscal->First(); // a pending row is posted first, and may be refused
    // Every row in order, as if each were ticked alone: edited, checked by the
    // reason rule, posted. A row whose stored reason the rule takes as it
    // stands is written straight into the storage; any other (no reason, a
    // short one, blanks to drop, the row under the grid's open editor) goes
    // through its own post, whose BeforePost tells the rule's message and
    // stops the pass there: rows before it stored, it pending and current,
    // rows after it untouched.
    const int editorRow = dbgPadrao->EditorMode() ? dbgPadrao->currentIndex().row() : -1;
    StoredReasons stored;
    const int rows = cdsNotaFiscal->ViewRowCount();
    int row = 0;
    while (row < rows) {
        row = cdsNotaFiscal->SetTextOnRows(*check, mark, row, [&](int r) {
            return r != editorRow && stored.postedAsStored(cdsNotaFiscal->StoredText(r, *reason));
        });
        if (row >= rows)
            break;
        cdsNotaFiscal->SetRecNo(row + 1);
        cdsNotaFiscal->Edit();
        if (check->AsString() != mark)
            check->SetAsString(mark);
        cdsNotaFiscal->Post();
        ++row;
    }
    cdsNotaFiscal->First();
    boToCheck = !boToCheck;
}

void TfrmCancelaNFE::dbgPadraoColEnter(QObject*) {
    const unsigned options = dbgPadrao->Options();
    dbgPadrao->SetOptions(fieldIs(dbgPadrao->SelectedField(), kReason) ? options | dgEditing
                                                                       : options & ~unsigned(dgEditing));
}

void TfrmCancelaNFE::dbgPadraoDrawColumnCell(QObject*, const QRect& rect, int, TColumn* column,
                                             const TGridDrawState& state) {
    if (!fieldIs(column, kCheck))
        return;
    if (fieldIs(dbgPadrao->SelectedField(), kCheck))
        dbgPadrao->SetEditorMode(false);
    const QString value = cdsNotaFiscal->value(state.row, column->Field()->Index()).toString();
    const TImage* image = value == QLatin1String("U")   ? imgUnChecked
                          : value == QLatin1String("C") ? imgChecked
                                                        : nullptr;
    TCanvas* canvas = dbgPadrao->Canvas();
    canvas->FillRect(rect);
    if (image)
        canvas->BrushCopy(QRect(rect.left() + 4, rect.top(), 16, rect.height()), image->Picture(),
                          QRect(0, 0, 16, rect.height()), QColor(128, 128, 0));
}

void TfrmCancelaNFE::cdsNotaFiscalBeforePost(TDataSet*) {
    const QString text = GridText(dbgPadrao, kReason, false);
    const RowReason verdict = rowReason(zavfiscal::checkReason(text));
    if (verdict == RowReason::Missing)
        refuseRowReason(QStringLiteral("Motivo_Emis"));
    TField* reason = cdsNotaFiscal->FieldByName(kReason);
    if (reason->AsString() != text)
        reason->SetAsString(text);
    if (verdict == RowReason::Short)
        refuseRowReason(QStringLiteral("Motivo_Min"));
}

void TfrmCancelaNFE::refuseRowReason(const QString& key) {
    dbgPadrao->SetFocus();
    dbgPadrao->SetSelectedIndex(IndiceCol(dbgPadrao, kReason));
    MensErro(msgPadrao->Msg(key), false);
    // The message answered, the operator types the reason into the cell the
    // cursor is on, whatever refused the row (a tick, the tick-all pass, the
    // confirm): the cell is open for typing as soon as the refusal is over.
    dbgPadrao->EditWhenIdle();
    Abort();
}

void TfrmCancelaNFE::cdsNotaFiscalBeforeInsert(TDataSet*) {
    Abort();
}

void TfrmCancelaNFE::sbtMotivoClick(QObject*) {
    if (!sbtMotivo->Enabled() || !cdsNotaFiscal->Active() || cdsNotaFiscal->IsEmpty())
        return;
    TField* reason = cdsNotaFiscal->FieldByName(kReason);
    const std::optional<QString> typed =
        Host().askText(ScreenText::reasonForManyTitle(), ScreenText::reasonForManyLabel(), reason->Size());
    if (!typed)
        return;
    // The reason rule, once for every row: refused, nothing is written.
    const zavfiscal::ReasonCheck check = zavfiscal::checkReason(*typed);
    switch (rowReason(check)) {
    case RowReason::Missing:
        MensErro(msgPadrao->Msg(QStringLiteral("Motivo_Emis")), true);
        break;
    case RowReason::Short:
        MensErro(msgPadrao->Msg(QStringLiteral("Motivo_Min")), true);
        break;
    case RowReason::Ok:
        if (check.fault != zavfiscal::ReasonFault::None)
            MensErro(check.message(), true);
        break;
    }
    const QString text = check.reason;
    int written = 0;
    // The row being typed or ticked first: its reason, when it has none, is
    // this one, and it is posted as any row is (the rule runs on it).
    dbgPadrao->SetEditorMode(false);
    if (cdsNotaFiscal->State() == dsEdit) {
        if (EmptyString(reason->AsString())) {
            reason->SetAsString(text);
            ++written;
        }
        cdsNotaFiscal->Post();
    }
    // Then every other row without a reason, straight into the storage: the
    // text has passed the rule that each row's post would apply.
    written += cdsNotaFiscal->SetTextWhere(*reason, text, [&](int row) {
        return EmptyString(QString::fromUtf8(cdsNotaFiscal->StoredText(row, *reason)));
    });
    Host().showStatus(ScreenText::reasonWritten(written));
}
