#pragma once
// The standard controls of the screens, each a small Qt widget with the
// toolkit's names: labels, edits, mask edits, combo boxes, panels, group boxes,
// bevels, notebooks, list boxes and images.
#include "editmask.h"
#include "wincontrol.h"
#include "zavhost_export.h"
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStackedWidget>

using TKeyPressEvent = std::function<void(QObject* sender, QChar& key)>;

// Creates a control with its name, parent and geometry.
template <class T>
T* makeControl(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* c = new T(parent);
    c->setObjectName(QLatin1String(name));
    c->setGeometry(left, top, width, height);
    return c;
}

class ZAVHOST_EXPORT TLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLabel(QWidget* parent = nullptr);
    void SetCaption(const QString& caption) { setText(caption); }
    QString Caption() const { return text(); }
    void SetFocusControl(QWidget* control) { setBuddy(control); }
};

// An edit: OnChange runs for typed and programmatic changes of the text, and
// not when the text is written with the value it already holds.
class ZAVHOST_EXPORT TCustomEdit : public QLineEdit, public TWinControl {
    Q_OBJECT
public:
    explicit TCustomEdit(QWidget* parent = nullptr);

    virtual QString Text() const;
    virtual void SetText(const QString& text);
    void SetMaxLength(int length);
    int MaxLength() const { return m_maxLength; }
    void SetColor(const QColor& color);

    TNotifyEvent OnChange;
    TKeyPressEvent OnKeyPress;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Re-reads the text after Qt changed it and runs OnChange when it differs.
    void textMaybeChanged();

private:
    QString m_lastText;
    int m_maxLength = 0;
};

class ZAVHOST_EXPORT TEdit : public TCustomEdit {
    Q_OBJECT
public:
    explicit TEdit(QWidget* parent = nullptr);
};

// A mask edit: masks in the toolkit's notation. With a ";0" mask the text
// excludes the literals, and an untouched mask edit has an empty text.
class ZAVHOST_EXPORT TMaskEdit : public TCustomEdit {
    Q_OBJECT
public:
    explicit TMaskEdit(QWidget* parent = nullptr);

    QString Text() const override;
    void SetText(const QString& text) override;
    QString EditMask() const { return m_maskText; }
    // Replaces the mask; the text already in the edit is shown again under the
    // new mask (OnChange runs if that changes the text).
    void SetEditMask(const QString& mask);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void cursorToTypedEnd();
    QString m_maskText;
    ::EditMask m_mask;
};

class ZAVHOST_EXPORT TComboBox : public QComboBox, public TWinControl {
    Q_OBJECT
public:
    explicit TComboBox(QWidget* parent = nullptr);
    int ItemIndex() const { return currentIndex(); }
    // Programmatic selection: OnChange does not run.
    void SetItemIndex(int index);
    TNotifyEvent OnChange; // the operator chose an item
};

class ZAVHOST_EXPORT TPanel : public QFrame, public TWinControl {
    Q_OBJECT
public:
    explicit TPanel(QWidget* parent = nullptr);
    bool isContainer() const override { return true; }
    void SetCaption(const QString& caption);
    void SetColor(const QColor& color);
    void SetBevelNone() { setFrameShape(QFrame::NoFrame); }

private:
    QLabel* m_caption = nullptr;
};

class ZAVHOST_EXPORT TGroupBox : public QGroupBox, public TWinControl {
    Q_OBJECT
public:
    explicit TGroupBox(QWidget* parent = nullptr);
    bool isContainer() const override { return true; }
};

class ZAVHOST_EXPORT TBevel : public QFrame {
    Q_OBJECT
public:
    explicit TBevel(QWidget* parent = nullptr);
    void SetShapeTopLine() {
        setFrameShape(QFrame::HLine);
        setFrameShadow(QFrame::Sunken);
    }
    void SetShapeLeftLine() {
        setFrameShape(QFrame::VLine);
        setFrameShadow(QFrame::Sunken);
    }
};

// A notebook: one page per index, only the current one shown.
class ZAVHOST_EXPORT TNotebook : public QStackedWidget, public TWinControl {
    Q_OBJECT
public:
    explicit TNotebook(QWidget* parent = nullptr);
    bool isContainer() const override { return true; }
    QWidget* AddPage(const QString& caption);
    int PageIndex() const { return currentIndex(); }
    void SetPageIndex(int index) { setCurrentIndex(index); }
};

// A list of lines. Every line can be read whole: one longer than the box is
// wide wraps onto as many rows of the item height as it needs (and shows
// whole in its tooltip); Ctrl+C copies the selected lines, or all of them when
// none is selected, one a line.
class ZAVHOST_EXPORT TListBox : public QListWidget, public TWinControl {
    Q_OBJECT
public:
    explicit TListBox(QWidget* parent = nullptr);
    void SetItemHeight(int height);
    void AddLine(const QString& line);
    QStringList Lines() const;
    void Clear() { clear(); }
    int Count() const { return count(); }
    // The text Ctrl+C puts on the clipboard.
    QString CopyText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The height a line needs at the list's width, in whole item rows.
    int lineHeight(const QString& line) const;
    void fitLines();

    int m_itemHeight = 13;
};

class ZAVHOST_EXPORT TImage : public QLabel {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);
    void SetPicture(const QImage& image);
    QImage Picture() const { return m_image; }

private:
    QImage m_image;
};
