#include "logindialog.h"

#include "exceptions.h"
#include "hosttexts.h"
#include "signin.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSpacerItem>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace {

// A label of whole lines: wrapped at the dialog's width, never cut.
QLabel* wrappedLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1StringView(name));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setFocusPolicy(Qt::NoFocus);
    label->hide();
    return label;
}

} // namespace

TLoginDialog::TLoginDialog(const QString& operatorCode, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(HostText::text(HostText::SignInTitle));
    edtOperador = new QLineEdit(operatorCode, this);
    edtOperador->setObjectName(QStringLiteral("edtOperador"));
    edtOperador->setMaxLength(30);
    edtSenha = new QLineEdit(this);
    edtSenha->setObjectName(QStringLiteral("edtSenha"));
    edtSenha->setEchoMode(QLineEdit::Password);
    edtSenha->setMaxLength(128);
    lblConfiguracao = wrappedLabel("lblConfiguracao", this);
    lblMensagem = wrappedLabel("lblMensagem", this);
    lblDetalhe = wrappedLabel("lblDetalhe", this);
    QFont small = lblDetalhe->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    lblDetalhe->setFont(small);
    lblDetalhe->setForegroundRole(QPalette::PlaceholderText);
    btnEntrar = new QPushButton(HostText::text(HostText::SignInButton), this);
    btnEntrar->setObjectName(QStringLiteral("btnEntrar"));
    btnEntrar->setDefault(true);
    btnCancelar = new QPushButton(HostText::text(HostText::SignInCancel), this);
    btnCancelar->setObjectName(QStringLiteral("btnCancelar"));

    auto* form = new QFormLayout;
    form->addRow(HostText::text(HostText::SignInOperator), edtOperador);
    form->addRow(HostText::text(HostText::SignInPassword), edtSenha);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnEntrar);
    buttons->addWidget(btnCancelar);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblConfiguracao);
    layout->addLayout(form);
    layout->addWidget(lblMensagem);
    layout->addWidget(lblDetalhe);
    layout->addLayout(buttons);
    // The dialog is as big as its texts need: as wide as its title or a
    // line of some fifty characters, and as high as the wrapped lines are.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(windowTitle());
    // Room beside the title for the window system's icon and close button.
    const int besideTitle = 8 * fontMetrics().height();
    m_textWidth = std::max(50 * fontMetrics().averageCharWidth(), titleWidth + besideTitle);
    for (QLabel* label : {lblConfiguracao, lblMensagem, lblDetalhe})
        label->setFixedWidth(m_textWidth);
    // That width from the start, while the labels are hidden, so that the
    // title is whole and the dialog does not widen when it first says
    // something.
    layout->addSpacerItem(new QSpacerItem(m_textWidth, 0, QSizePolicy::Fixed, QSizePolicy::Minimum));

    connect(btnEntrar, &QPushButton::clicked, this, &TLoginDialog::tryToSignIn);
    connect(btnCancelar, &QPushButton::clicked, this, &QDialog::reject);
    (operatorCode.isEmpty() ? edtOperador : edtSenha)->setFocus();
}

void TLoginDialog::signInAgain(const QString& why) {
    edtOperador->setReadOnly(true);
    edtOperador->setFocusPolicy(Qt::NoFocus);
    tell(why + u' ' + HostText::text(HostText::SignInAgain));
    edtSenha->setFocus();
}

void TLoginDialog::tellConfigurationProblems(const QStringList& problems) {
    lblConfiguracao->setVisible(!problems.isEmpty());
    lblConfiguracao->setText(HostText::text(HostText::ConfigProblems) + u'\n' + problems.join(u'\n'));
    fitToTexts();
}

void TLoginDialog::tell(const QString& message, const QString& detail) {
    lblMensagem->setText(message);
    lblMensagem->setVisible(!message.isEmpty());
    lblDetalhe->setText(detail.isEmpty() ? QString() : u'(' + detail + u')');
    lblDetalhe->setVisible(!detail.isEmpty());
    fitToTexts();
}

void TLoginDialog::fitToTexts() {
    // Lines break between words only: a word longer than the line (a path, an
    // address) widens the dialog, as far as the screen lets it.
    int width = m_textWidth;
    for (const QLabel* label : {lblConfiguracao, lblMensagem, lblDetalhe}) {
        const QFontMetrics fm(label->font());
        for (const QString& word :
             label->text().split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
            width = std::max(width, fm.horizontalAdvance(word) + 2);
    }
    if (const QScreen* s = screen()) {
        const QMargins m = layout()->contentsMargins();
        width = std::min(width, s->availableGeometry().width() - m.left() - m.right() - 16);
    }
    for (QLabel* label : {lblConfiguracao, lblMensagem, lblDetalhe})
        label->setFixedWidth(width);
    layout()->activate();
    adjustSize();
}

void TLoginDialog::tryToSignIn() {
    if (edtOperador->text().trimmed().isEmpty() || edtSenha->text().isEmpty()) {
        tell(HostText::text(HostText::SignInNeedsBoth));
        return;
    }
    btnEntrar->setEnabled(false);
    std::optional<SignInFailure> failure;
    try {
        SignIn(edtOperador->text(), edtSenha->text());
    } catch (const EZavError& e) {
        failure = SignInFailure::of(e);
    }
    btnEntrar->setEnabled(true);
    if (!failure) {
        accept();
        return;
    }
    tell(failure->message, failure->detail);
    edtSenha->clear();
    edtSenha->setFocus();
}
