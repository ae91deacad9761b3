#pragma once
// The ERP's invoices as NOTAFISCAL and TITULORECEBER hold them, written by the
// one writer the demo, the tests and the benchmarks share: each caller says
// what its invoices are (entries, days, values, counterparties, instalments);
// the writer composes every access key from its parts and writes through
// batch inserts. Run it inside a transaction, and flush before committing.
#include "accesskey.h"
#include "batchinsert.h"

#include <QChar>
#include <QDate>
#include <QSqlDatabase>
#include <QString>

#include <vector>

namespace zavdb {

struct InvoiceRecord {
    QString entry; // NRLANCTONF
    // The establishment.
    QString branch, company, stateRegistration, cityRegistration, series;
    QString issuingBranch;  // CDFILIEMIT; empty: the branch
    qint64 number = 0;      // NRNOTAFISCALELE (nine digits) and the key's nNF
    QDate issued;           // DTEMISSAO, and the key's month
    QChar direction = u'S'; // IDENTRSAIDOP: S exit, E entry
    QString bookEntry;      // NRLANCTBDOC
    double value = 0;       // VRNOTAFISC
    QChar counterpartyKind; // IDTPDESTREM: C customer, F supplier, L branch
    QString counterparty;   // its code: CDCLIENTE, CDFORNECED or CDFILIRECE by the kind
    QString name;           // NMRAZAO
    QChar state = u'A';     // IDSITUACAONFE: A authorised, C cancelled, D denied
    // The key's parts but its month and number, which are the invoice's.
    QString stateCode, issuerCnpj;
    int nfeSeries = 0;
    int keyCode = 0;      // cNF
    QString protocol;     // NRPROTOCOLONFE
    QString authorisedAt; // DHAUTORIZACAO, in the state's legal time
};

struct ReceivableRecord {
    QString entry; // NRLANCTONF of its invoice
    int instalment = 1;
    QDate due;
    double value = 0;
    QChar state = u'A'; // IDSITUACAOTIT
};

class InvoiceWriter {
public:
    explicit InvoiceWriter(QSqlDatabase& db, int rowsPerStatement = 200);

    // Throws DatabaseError (a part of the key that does not fit included).
    void add(const InvoiceRecord& invoice);
    void addReceivable(const ReceivableRecord& receivable);
    void flush();

    // The key add() gives an invoice.
    static QString accessKeyOf(const InvoiceRecord& invoice);

private:
    // The receivables whose invoice may not be written yet wait for it (each
    // references its invoice).
    void release();

    BatchInsert m_invoices;
    BatchInsert m_receivables;
    std::vector<ReceivableRecord> m_waiting;
};

} // namespace zavdb
