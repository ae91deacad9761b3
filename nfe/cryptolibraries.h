#pragma once
// CryptoLibraries: the process-wide start of libxml2, OpenSSL and xmlsec,
// done once whichever thread signs first. They stay up until the process ends:
// shutting xmlsec down while another thread signs would crash it.
#include <QString>

namespace zavnfe {

class CryptoLibraries {
public:
    // Empty when ready, otherwise why xmlsec could not start (then every
    // signature fails with this text).
    static QString ensure();

    // What xmlsec last reported on this thread, and forgets it.
    static QString takeXmlSecError();
};

} // namespace zavnfe
