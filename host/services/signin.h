#pragma once
// Signing in at the application server the host session names: the operator
// and password go to its Login method at the host's path (/sessao), and the session it opens becomes the
// host session's (Operador() is then the operator as the server keeps it, and
// every call carries the session's token). The host never reads passwords or
// their hashes from the database.
#include "zavhost_export.h"

#include <QString>

class EZavError;

// Throws EZavError with the server's or the connection's text when the
// operator is not signed in (ERpcError when the server refused).
ZAVHOST_EXPORT void SignIn(const QString& operatorCode, const QString& password);

// A failed sign-in as the operator is told it: the server's refusal as the
// server words it (our server speaks Portuguese); any other failure (the
// server not reached, not trusted, answering something else) as a sentence of
// ours that says what to do, with the connection's own text, where the words
// of libcurl, OpenSSL or Qt may be, kept apart as the detail.
struct ZAVHOST_EXPORT SignInFailure {
    QString message;
    QString detail; // empty when there is nothing more to say

    static SignInFailure of(const EZavError& e);
};
// Ends the session at the server, if there is one; never throws (the host is
// closing, and an unreachable server ends the session by its expiry).
ZAVHOST_EXPORT void SignOut();
// Reads the first line of a password file that only its owner may read;
// throws EZavError naming the file otherwise.
ZAVHOST_EXPORT QString ReadPasswordFile(const QString& path);
