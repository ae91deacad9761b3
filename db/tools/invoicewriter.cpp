#include "invoicewriter.h"

#include "database.h"

namespace zavdb {

namespace {

const QStringList kInvoiceColumns = {
    QStringLiteral("NRLANCTONF"),   QStringLiteral("CDFILIAL"),        QStringLiteral("CDFILIEMIT"),
    QStringLiteral("CDEMPRESA"),    QStringLiteral("CDINSCESTA"),      QStringLiteral("CDINSCMUNI"),
    QStringLiteral("CDSERIE"),      QStringLiteral("NRNOTAFISCALELE"), QStringLiteral("DTEMISSAO"),
    QStringLiteral("IDENTRSAIDOP"), QStringLiteral("NRLANCTBDOC"),     QStringLiteral("VRNOTAFISC"),
    QStringLiteral("IDTPDESTREM"),  QStringLiteral("CDCLIENTE"),       QStringLiteral("CDFORNECED"),
    QStringLiteral("CDFILIRECE"),   QStringLiteral("NMRAZAO"),         QStringLiteral("IDSITUACAONFE"),
    QStringLiteral("NRACESSONFE"),  QStringLiteral("NRPROTOCOLONFE"),  QStringLiteral("DHAUTORIZACAO"),
};
const QStringList kReceivableColumns = {QStringLiteral("NRLANCTONF"), QStringLiteral("NRPARCELA"),
                                        QStringLiteral("DTVENCIMENTO"), QStringLiteral("VRTITULO"),
                                        QStringLiteral("IDSITUACAOTIT")};

QVariant nullText() {
    return QVariant(QMetaType::fromType<QString>());
}

// A code for its column, or NULL when the invoice's counterparty is of
// another kind.
QVariant codeIf(const InvoiceRecord& invoice, QChar kind) {
    return invoice.counterpartyKind == kind ? QVariant(invoice.counterparty) : nullText();
}

} // namespace

InvoiceWriter::InvoiceWriter(QSqlDatabase& db, int rowsPerStatement)
    : m_invoices(db, QStringLiteral("NOTAFISCAL"), kInvoiceColumns, rowsPerStatement),
      m_receivables(db, QStringLiteral("TITULORECEBER"), kReceivableColumns, rowsPerStatement) {}

QString InvoiceWriter::accessKeyOf(const InvoiceRecord& invoice) {
    return zavfiscal::composeAccessKey({.stateCode = invoice.stateCode,
                                        .issued = invoice.issued,
                                        .issuerCnpj = invoice.issuerCnpj,
                                        .series = invoice.nfeSeries,
                                        .number = invoice.number,
                                        .code = invoice.keyCode});
}

void InvoiceWriter::add(const InvoiceRecord& invoice) {
    const QString key = accessKeyOf(invoice);
    if (key.isEmpty())
        throw DatabaseError(
            QStringLiteral("Nota fiscal %1: as partes da chave de acesso não cabem nos seus dígitos.")
                .arg(invoice.entry));
    m_invoices.add({invoice.entry,
                    invoice.branch,
                    invoice.issuingBranch.isEmpty() ? invoice.branch : invoice.issuingBranch,
                    invoice.company,
                    invoice.stateRegistration,
                    invoice.cityRegistration,
                    invoice.series,
                    QStringLiteral("%1").arg(invoice.number, 9, 10, QLatin1Char('0')),
                    invoice.issued,
                    QString(invoice.direction),
                    invoice.bookEntry,
                    invoice.value,
                    QString(invoice.counterpartyKind),
                    codeIf(invoice, u'C'),
                    codeIf(invoice, u'F'),
                    codeIf(invoice, u'L'),
                    invoice.name,
                    QString(invoice.state),
                    key,
                    invoice.protocol,
                    invoice.authorisedAt});
    if (m_invoices.pending() == 0)
        release();
}

void InvoiceWriter::addReceivable(const ReceivableRecord& r) {
    m_waiting.push_back(r);
    if (m_invoices.pending() == 0)
        release();
}

void InvoiceWriter::release() {
    for (const ReceivableRecord& r : m_waiting)
        m_receivables.add({r.entry, r.instalment, r.due, r.value, QString(r.state)});
    m_waiting.clear();
}

void InvoiceWriter::flush() {
    m_invoices.flush();
    release();
    m_receivables.flush();
}

} // namespace zavdb
