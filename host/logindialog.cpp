#include "logindialog.h"

#include "exceptions.h"
#include "hosttexts.h"
#include "signin.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TLoginDialog::TLoginDialog(const QString& operatorCode, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(HostText::text(HostText::SignInTitle));
    edtOperador = new QLineEdit(operatorCode, this);
    edtOperador->setObjectName(QStringLiteral("edtOperador"));
    edtOperador->setMaxLength(30);
    edtSenha = new QLineEdit(this);
    edtSenha->setObjectName(QStringLiteral("edtSenha"));
    edtSenha->setEchoMode(QLineEdit::Password);
    edtSenha->setMaxLength(128);
    lblMensagem = new QLabel(this);
    lblMensagem->setObjectName(QStringLiteral("lblMensagem"));
    lblMensagem->setWordWrap(true);
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
    layout->addLayout(form);
    layout->addWidget(lblMensagem);
    layout->addLayout(buttons);

    connect(btnEntrar, &QPushButton::clicked, this, &TLoginDialog::tryToSignIn);
    connect(btnCancelar, &QPushButton::clicked, this, &QDialog::reject);
    (operatorCode.isEmpty() ? edtOperador : edtSenha)->setFocus();
}

void TLoginDialog::signInAgain(const QString& why) {
    edtOperador->setReadOnly(true);
    edtOperador->setFocusPolicy(Qt::NoFocus);
    lblMensagem->setText(why + u' ' + HostText::text(HostText::SignInAgain));
    edtSenha->setFocus();
}

void TLoginDialog::tryToSignIn() {
    if (edtOperador->text().trimmed().isEmpty() || edtSenha->text().isEmpty()) {
        lblMensagem->setText(HostText::text(HostText::SignInNeedsBoth));
        return;
    }
    btnEntrar->setEnabled(false);
    QString refusal;
    try {
        SignIn(edtOperador->text(), edtSenha->text());
    } catch (const EZavError& e) {
        refusal = e.text();
    }
    btnEntrar->setEnabled(true);
    if (refusal.isEmpty()) {
        accept();
        return;
    }
    lblMensagem->setText(refusal);
    edtSenha->clear();
    edtSenha->setFocus();
}
