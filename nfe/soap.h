#pragma once
// Soap: the SOAP 1.2 envelope that carries the NF-e web services' messages:
// Envelope/Body/nfeDadosMsg(payload) on the way to the authority,
// Envelope/Body/nfeResultMsg(answer) on the way back, no SOAP header.
#include <QByteArray>
#include <QString>

namespace zavnfe {

struct Soap {
    static constexpr const char* kEnvelopeNamespace = "http://www.w3.org/2003/05/soap-envelope";
    static constexpr const char* kEventService = "http://www.portalfiscal.inf.br/nfe/wsdl/NFeRecepcaoEvento4";
    static constexpr const char* kStatusService =
        "http://www.portalfiscal.inf.br/nfe/wsdl/NFeConsultaProtocolo4";
    // The service's own state (in operation or paused), asked before anything
    // is sent or to check that an authority answers at all.
    static constexpr const char* kServiceStatusService =
        "http://www.portalfiscal.inf.br/nfe/wsdl/NFeStatusServico4";
    static constexpr const char* kEventOperation = "nfeRecepcaoEvento";
    static constexpr const char* kStatusOperation = "nfeConsultaNF";
    static constexpr const char* kServiceStatusOperation = "nfeStatusServicoNF";

    // Envelope/Body/nfeDadosMsg(payload). The payload's bytes are kept as
    // they are, so a signed event is never serialised again on its way; only
    // an XML declaration in front of it is left out.
    static QByteArray envelope(const char* service, const QByteArray& payloadXml);
    // The same with nfeResultMsg: the authority's answer.
    static QByteArray resultEnvelope(const char* service, const QByteArray& payloadXml);
    // A SOAP 1.2 Fault (code soap:Sender or soap:Receiver) with the reason text.
    static QByteArray fault(bool senderFault, const QString& reason);

    // application/soap+xml;charset=utf-8;action="service/operation"
    static QByteArray contentType(const char* service, const char* operation);

    // The first element child of Body/nfeResultMsg (client) or
    // Body/nfeDadosMsg (authority), serialised on its own; empty with *error
    // set on a SOAP Fault (its reason text) or an envelope that is not one.
    // With service, the message must be nfeDadosMsg in that namespace, as the
    // service's WSDL defines it; when it is not, *notTheService is set too (a
    // message no operation of the service takes, refused at the SOAP layer).
    static QByteArray payload(const QByteArray& envelope, QString* error, const char* service = nullptr,
                              bool* notTheService = nullptr);
};

} // namespace zavnfe
