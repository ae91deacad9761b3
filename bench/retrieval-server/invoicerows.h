#pragma once
// The invoice list as a client holds it once a GetNotaFiscal answer is read:
// typed rows, decoded from the JSON or the CBOR response.
#include <QByteArray>
#include <QDate>
#include <QString>
#include <vector>

struct InvoiceRow {
    QString idCheck, idBloqueado, cdFiliEmit, nrLanctoNf;
    QDate dtEmissao;
    QString nmRazao;
    double vrNotaFisc = 0;
    QString cdFilial, nrLanctBDoc, idEntrSaiOp, cdEmpresa, cdFiliRece, lancamento, dsMotivo, nrNotaFiscalEle,
        nrProtocolo, nrAcesso;
};

class InvoiceRows {
public:
    // Both return false (with the reason) on anything but a result packet.
    static bool fromCbor(const QByteArray& body, std::vector<InvoiceRow>& rows, QString* why);
    static bool fromJson(const QByteArray& body, std::vector<InvoiceRow>& rows, QString* why);
};
