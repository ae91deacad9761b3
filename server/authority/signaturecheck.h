#pragma once
// SignatureCheck: verifies the XML signature of one evento, as the authority
// receives it, with xmlsec in-process: the profile the NF-e requires (one
// reference to infEvento by its Id), the digest and signature values, and
// the certificate in KeyInfo chaining to the trusted CA.
#include <QByteArray>
#include <QString>

namespace zavauthority {

class SignatureCheck {
public:
    explicit SignatureCheck(QByteArray caPem) : m_caPem(std::move(caPem)) {}

    struct Result {
        int status = 0; // 0 verified, else 297 or 298
        QString detail;
    };
    // evento: the signed evento element serialised on its own.
    Result verify(const QByteArray& evento) const;

private:
    QByteArray m_caPem;
};

} // namespace zavauthority
