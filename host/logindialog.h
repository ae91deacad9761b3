#pragma once
// The sign-in dialog the host shows before any screen opens: operator and
// password, sent to the application server (SignIn). A refusal is shown in the
// dialog, which stays open with the password cleared; Cancelar closes it
// without a session.
#include "zavhost_export.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class ZAVHOST_EXPORT TLoginDialog : public QDialog {
    Q_OBJECT
public:
    explicit TLoginDialog(const QString& operatorCode, QWidget* parent = nullptr);

    // Asked again over the open screens, the server having ended the session
    // (why: its words): the operator is the one signed in, and cannot be
    // changed (the screens' work is theirs); only the password is asked.
    void signInAgain(const QString& why);

    QLineEdit* edtOperador = nullptr;
    QLineEdit* edtSenha = nullptr;
    QLabel* lblMensagem = nullptr;
    QPushButton* btnEntrar = nullptr;
    QPushButton* btnCancelar = nullptr;

private:
    void tryToSignIn();
};
