#pragma once
// The sign-in dialog the host shows before any screen opens: operator and
// password, sent to the application server (SignIn). A refusal is shown in the
// dialog, which stays open with the password cleared; Cancelar closes it
// without a session.
//
// Every text it shows is whole: the messages wrap and the dialog takes the
// height they need (its width is the one its title needs, or more); it can be
// neither minimised nor maximised. What it tells is in Portuguese: the
// server's refusal as the server words it, any other failure as a sentence
// that says what to do, with the connection's own words (libcurl's,
// OpenSSL's, Qt's) on a second line, smaller and in parentheses, that can be
// selected and copied.
#include "zavhost_export.h"

#include <QDialog>
#include <QStringList>

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
    // The faults found in the workstation's configuration (one line each),
    // shown above the fields before anything is tried: the defaults stand in
    // for the values they name.
    void tellConfigurationProblems(const QStringList& problems);

    QLineEdit* edtOperador = nullptr;
    QLineEdit* edtSenha = nullptr;
    QLabel* lblConfiguracao = nullptr; // the configuration's faults
    QLabel* lblMensagem = nullptr;     // what went wrong and what to do
    QLabel* lblDetalhe = nullptr;      // "(the connection's own words)"
    QPushButton* btnEntrar = nullptr;
    QPushButton* btnCancelar = nullptr;

private:
    void tryToSignIn();
    // Shows a message and its detail (hidden when empty), the dialog growing
    // to hold them.
    void tell(const QString& message, const QString& detail = QString());
    void fitToTexts();

    int m_textWidth = 0; // the labels' width before any long word
};
