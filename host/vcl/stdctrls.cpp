#include "stdctrls.h"
#include "graphics.h"
#include "services/guard.h"
#include "textchange.h"
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

TLabel::TLabel(QWidget* parent) : QLabel(parent) {
    setFont(screenFont());
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

TCustomEdit::TCustomEdit(QWidget* parent) : QLineEdit(parent), TWinControl(this) {
    setFont(screenFont());
    setFrame(true);
    setContextMenuPolicy(Qt::NoContextMenu);
    connect(this, &QLineEdit::textChanged, this, [this] { textMaybeChanged(); });
}

QString TCustomEdit::Text() const {
    return QLineEdit::text();
}

void TCustomEdit::SetText(const QString& text) {
    QLineEdit::setText(text);
}

void TCustomEdit::SetMaxLength(int length) {
    m_maxLength = length;
    if (inputMask().isEmpty())
        setMaxLength(length > 0 ? length : 32767);
}

void TCustomEdit::SetColor(const QColor& color) {
    setControlColor(this, color);
}

void TCustomEdit::textMaybeChanged() {
    notifyTextChange(this, Text(), &m_lastText, OnChange);
}

void TCustomEdit::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    if (OnKeyPress && typed.size() == 1 && typed.at(0).isPrint()) {
        QChar key = typed.at(0);
        zav::guarded([&] { OnKeyPress(this, key); });
        if (key.isNull())
            return;
        if (key != typed.at(0)) {
            QKeyEvent replaced(event->type(), event->key(), event->modifiers(), QString(key),
                               event->isAutoRepeat(), ushort(event->count()));
            QLineEdit::keyPressEvent(&replaced);
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

TEdit::TEdit(QWidget* parent) : TCustomEdit(parent) {}

TMaskEdit::TMaskEdit(QWidget* parent) : TCustomEdit(parent) {}

QString TMaskEdit::Text() const {
    if (m_mask.isEmpty())
        return QLineEdit::text();
    return m_mask.textFromDisplay(displayText());
}

void TMaskEdit::SetText(const QString& text) {
    if (m_mask.isEmpty())
        QLineEdit::setText(text);
    else
        QLineEdit::setText(m_mask.format(text));
}

void TMaskEdit::SetEditMask(const QString& mask) {
    const QString keep = Text();
    m_maskText = mask;
    m_mask = ::EditMask::parse(mask);
    // Qt re-shows (and for a removed mask, empties) the text when the mask
    // changes; the text is written back under the new mask so nothing typed is
    // lost, and OnChange runs only if the text itself changed.
    QSignalBlocker block(this);
    setInputMask(m_mask.qtInputMask());
    if (m_mask.isEmpty())
        setMaxLength(MaxLength() > 0 ? MaxLength() : 32767);
    SetText(keep);
    block.unblock();
    textMaybeChanged();
}

void TMaskEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    // An empty mask edit is typed from its first position, wherever the click was.
    if (!m_mask.isEmpty() && Text().isEmpty())
        setCursorPosition(0);
}

void TMaskEdit::mousePressEvent(QMouseEvent* event) {
    QLineEdit::mousePressEvent(event);
    // The click placed the cursor where it landed; past what is typed (on a
    // box that looks empty, say) typing would go into blanks beyond the end,
    // or nowhere: the cursor goes back to where typing goes on.
    if (event->button() == Qt::LeftButton && !(event->modifiers() & Qt::ShiftModifier))
        cursorToTypedEnd();
}

void TMaskEdit::cursorToTypedEnd() {
    if (m_mask.isEmpty() || hasSelectedText())
        return;
    const int end = m_mask.typedEnd(displayText());
    if (cursorPosition() > end)
        setCursorPosition(end);
}

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent), TWinControl(this) {
    setFont(screenFont());
    setEditable(false);
    connect(this, &QComboBox::activated, this, [this] {
        if (OnChange)
            zav::guarded([&] { OnChange(this); });
    });
}

void TComboBox::SetItemIndex(int index) {
    const QSignalBlocker block(this);
    setCurrentIndex(index);
}

TPanel::TPanel(QWidget* parent) : QFrame(parent), TWinControl(this) {
    setFont(screenFont());
    // A panel is opaque: one laid over others (the failure panel over the
    // grid) hides what lies under it.
    setAutoFillBackground(true);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
}

void TPanel::SetCaption(const QString& caption) {
    if (!m_caption) {
        m_caption = new QLabel(this);
        m_caption->setObjectName(objectName() + QStringLiteral("Caption"));
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_caption);
    }
    m_caption->setText(caption);
}

void TPanel::SetColor(const QColor& color) {
    setControlColor(this, color);
}

TGroupBox::TGroupBox(QWidget* parent) : QGroupBox(parent), TWinControl(this) {
    setFont(screenFont());
}

TBevel::TBevel(QWidget* parent) : QFrame(parent) {
    setFrameShadow(QFrame::Sunken);
}

TNotebook::TNotebook(QWidget* parent) : QStackedWidget(parent), TWinControl(this) {}

QWidget* TNotebook::AddPage(const QString& caption) {
    auto* page = new QWidget(this);
    page->setProperty("pageCaption", caption);
    addWidget(page);
    return page;
}

TListBox::TListBox(QWidget* parent) : QListWidget(parent), TWinControl(this) {
    setFont(screenFont());
    setWordWrap(true);
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
}

void TListBox::SetItemHeight(int height) {
    m_itemHeight = height;
    fitLines();
}

int TListBox::lineHeight(const QString& line) const {
    // The view's own margins around an item's text, as the style draws it.
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1);
    const int width = std::max(1, viewport()->width() - margin);
    const QRect needed = fontMetrics().boundingRect(QRect(0, 0, width, 0), Qt::TextWordWrap, line);
    const int rows = std::max(1, (needed.height() + m_itemHeight - 1) / m_itemHeight);
    return rows * std::max(m_itemHeight, fontMetrics().height());
}

void TListBox::AddLine(const QString& line) {
    auto* item = new QListWidgetItem(line, this);
    item->setToolTip(line);
    item->setSizeHint(QSize(0, lineHeight(line)));
}

void TListBox::fitLines() {
    for (int i = 0; i < count(); ++i)
        item(i)->setSizeHint(QSize(0, lineHeight(item(i)->text())));
}

void TListBox::resizeEvent(QResizeEvent* event) {
    QListWidget::resizeEvent(event);
    fitLines();
}

QString TListBox::CopyText() const {
    QStringList lines;
    for (int i = 0; i < count(); ++i)
        if (item(i)->isSelected())
            lines << item(i)->text();
    return (lines.isEmpty() ? Lines() : lines).join(u'\n');
}

void TListBox::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        QGuiApplication::clipboard()->setText(CopyText());
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

QStringList TListBox::Lines() const {
    QStringList out;
    for (int i = 0; i < count(); ++i)
        out << item(i)->text();
    return out;
}

TImage::TImage(QWidget* parent) : QLabel(parent) {}

void TImage::SetPicture(const QImage& image) {
    m_image = image;
    setPixmap(QPixmap::fromImage(image));
}
