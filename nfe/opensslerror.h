#pragma once
#include <QString>

#include <openssl/err.h>

namespace zavnfe {

// The oldest error on this thread's OpenSSL queue, as text, and the queue
// emptied so that it cannot be reported again for a later failure.
inline QString openSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("sem detalhe");
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace zavnfe
