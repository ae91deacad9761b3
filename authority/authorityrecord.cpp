#include "authorityrecord.h"

#include "statuscodes.h"

#include "accesskey.h"
#include "connectiontext.h"
#include "database.h"
#include "digits.h"
#include "states.h"

#include <QFileInfo>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace zavauthority {

namespace {

const char* const kConnection = "zav-authority-record";
const char* const kErpConnection = "zav-authority-erp";
const char* const kLookupConnection = "zav-authority-erp-lookup";
const char* const kErpInvoiceSql = "SELECT NRACESSONFE, NRPROTOCOLONFE, DHAUTORIZACAO, IDSITUACAONFE "
                                   "FROM NOTAFISCAL WHERE NRACESSONFE = :key";

const char* const kCreateInvoiceSql =
    "CREATE TABLE IF NOT EXISTS INVOICE (CHNFE TEXT PRIMARY KEY, NPROT TEXT NOT NULL, "
    "DHAUTORIZACAO TEXT NOT NULL, SITUACAO TEXT NOT NULL CHECK (SITUACAO IN ('A', 'C', 'D')))";
const char* const kCreateEventSql =
    "CREATE TABLE IF NOT EXISTS EVENT (CHNFE TEXT NOT NULL REFERENCES INVOICE (CHNFE), "
    "TPEVENTO TEXT NOT NULL, NSEQEVENTO INTEGER NOT NULL, NPROT TEXT NOT NULL UNIQUE, "
    "CSTAT INTEGER NOT NULL, DHREGEVENTO TEXT NOT NULL, EVENTO BLOB NOT NULL, RETEVENTO BLOB NOT NULL, "
    "PRIMARY KEY (CHNFE, TPEVENTO, NSEQEVENTO))";
const char* const kSelectInvoicesSql = "SELECT CHNFE, NPROT, DHAUTORIZACAO, SITUACAO FROM INVOICE";
const char* const kSelectEventsSql =
    "SELECT CHNFE, TPEVENTO, NSEQEVENTO, NPROT, CSTAT, DHREGEVENTO, EVENTO, RETEVENTO FROM EVENT";
const char* const kInsertInvoiceSql =
    "INSERT INTO INVOICE (CHNFE, NPROT, DHAUTORIZACAO, SITUACAO) VALUES (:key, :protocol, :at, :state)";
const char* const kInsertEventSql =
    "INSERT INTO EVENT (CHNFE, TPEVENTO, NSEQEVENTO, NPROT, CSTAT, DHREGEVENTO, EVENTO, RETEVENTO) "
    "VALUES (:key, :type, :sequence, :protocol, :status, :at, :evento, :ret)";
const char* const kCancelInvoiceSql = "UPDATE INVOICE SET SITUACAO = 'C' WHERE CHNFE = :key";
const char* const kErpInvoicesSql =
    "SELECT NRACESSONFE, NRPROTOCOLONFE, DHAUTORIZACAO, IDSITUACAONFE FROM NOTAFISCAL";

QString sqlError(const QString& what, const QSqlQuery& query) {
    return QStringLiteral("%1: %2").arg(what, query.lastError().text());
}

// The values of kInsertInvoiceSql.
void bindInvoice(QSqlQuery& insert, const Invoice& invoice) {
    insert.bindValue(QStringLiteral(":key"), invoice.key);
    insert.bindValue(QStringLiteral(":protocol"), invoice.protocol);
    insert.bindValue(QStringLiteral(":at"), invoice.authorisedAtText);
    insert.bindValue(QStringLiteral(":state"), QString(invoice.state));
}

bool run(QSqlQuery& query, const char* sql, QString* error, const QString& what) {
    if (!query.prepare(QString::fromLatin1(sql)) || !query.exec()) {
        *error = sqlError(what, query);
        return false;
    }
    return true;
}

std::optional<Invoice> readInvoice(const QString& key, const QString& protocol, const QString& at,
                                   const QString& state) {
    Invoice invoice{key.trimmed(),
                    protocol.trimmed(),
                    at.trimmed(),
                    {},
                    state.trimmed().isEmpty() ? QChar() : state.trimmed().at(0)};
    invoice.authorisedAt = QDateTime::fromString(invoice.authorisedAtText, Qt::ISODate);
    if (!zavfiscal::isDigits(invoice.key, 44) || !zavfiscal::isDigits(invoice.protocol, 15) ||
        !invoice.authorisedAt.isValid() || state.trimmed().size() != 1 ||
        !QStringLiteral("ACD").contains(invoice.state))
        return std::nullopt;
    return invoice;
}

} // namespace

AuthorityRecord::AuthorityRecord() = default;

AuthorityRecord::~AuthorityRecord() {
    if (m_persistent) {
        QSqlDatabase::database(QLatin1String(kConnection), false).close();
        QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    }
}

QString AuthorityRecord::open(const QString& recordFile) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kConnection));
    m_persistent = true;
    db.setDatabaseName(recordFile);
    if (!db.open())
        return QStringLiteral("Não foi possível abrir o registro %1: %2")
            .arg(recordFile, db.lastError().text());
    QSqlQuery query(db);
    QString error;
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !query.exec(QStringLiteral("PRAGMA foreign_keys=ON")))
        return sqlError(QStringLiteral("Falha ao configurar o registro"), query);
    if (!run(query, kCreateInvoiceSql, &error,
             QStringLiteral("Falha ao criar a tabela de NF-e do registro")) ||
        !run(query, kCreateEventSql, &error,
             QStringLiteral("Falha ao criar a tabela de eventos do registro")))
        return error;
    if (!run(query, kSelectInvoicesSql, &error, QStringLiteral("Falha ao ler as NF-e do registro")))
        return error;
    while (query.next()) {
        auto invoice = readInvoice(query.value(0).toString(), query.value(1).toString(),
                                   query.value(2).toString(), query.value(3).toString());
        if (!invoice)
            return QStringLiteral("O registro %1 tem uma NF-e inválida (%2).")
                .arg(recordFile, query.value(0).toString());
        m_invoices.insert(invoice->key, *invoice);
    }
    if (!run(query, kSelectEventsSql, &error, QStringLiteral("Falha ao ler os eventos do registro")))
        return error;
    while (query.next()) {
        RegisteredEvent event{query.value(0).toString(),    query.value(1).toString(),
                              query.value(2).toInt(),       query.value(3).toString(),
                              query.value(5).toString(),    query.value(4).toInt(),
                              query.value(6).toByteArray(), query.value(7).toByteArray()};
        const QString series = event.protocol.left(4);
        m_sequences[series] = qMax(m_sequences.value(series), event.protocol.mid(4).toLongLong());
        m_events[{event.key, event.type, event.sequence}] = std::move(event);
    }
    return {};
}

QString AuthorityRecord::importInvoices(const QString& connectionText, int* added, int* skipped) {
    *added = *skipped = 0;
    std::vector<Invoice> found;
    QString error = readNewErpInvoices(connectionText, found, skipped);
    if (error.isEmpty())
        error = persistInvoices(found);
    if (!error.isEmpty())
        return error;
    for (const Invoice& invoice : found)
        m_invoices.insert(invoice.key, invoice);
    *added = int(found.size());
    return {};
}

QString AuthorityRecord::readNewErpInvoices(const QString& connectionText, std::vector<Invoice>& found,
                                            int* skipped) const {
    QString error;
    try {
        // Only read: a mistyped SQLite path must not leave an empty database behind.
        const zavdb::ConnectionParts parts = zavdb::parseConnectionText(connectionText);
        if (parts.dialect == zavdb::Dialect::SQLite && !QFileInfo(parts.path).isFile())
            throw zavdb::DatabaseError(QStringLiteral("o banco SQLite %1 não existe").arg(parts.path));
        QSqlDatabase erp = zavdb::open(connectionText, QLatin1String(kErpConnection));
        {
            QSqlQuery query(erp);
            query.setForwardOnly(true);
            if (run(query, kErpInvoicesSql, &error, QStringLiteral("Falha ao ler as NF-e do banco do ERP")))
                while (query.next()) {
                    auto invoice = readInvoice(query.value(0).toString(), query.value(1).toString(),
                                               query.value(2).toString(), query.value(3).toString());
                    if (!invoice)
                        ++*skipped;
                    else if (!m_invoices.contains(invoice->key))
                        found.push_back(*invoice);
                }
        }
        erp.close();
    } catch (const zavdb::DatabaseError& failure) {
        error = failure.text();
    }
    QSqlDatabase::removeDatabase(QLatin1String(kErpConnection));
    return error;
}

QString AuthorityRecord::persistInvoices(const std::vector<Invoice>& invoices) {
    if (!m_persistent)
        return {};
    // All or nothing: a record half filled would be taken as complete on the
    // next start.
    QSqlDatabase db = QSqlDatabase::database(QLatin1String(kConnection));
    if (!db.transaction())
        return QStringLiteral("Falha ao iniciar a gravação do registro: %1").arg(db.lastError().text());
    QSqlQuery insert(db);
    if (!insert.prepare(QString::fromLatin1(kInsertInvoiceSql))) {
        db.rollback();
        return sqlError(QStringLiteral("Falha ao preparar a gravação das NF-e"), insert);
    }
    for (const Invoice& invoice : invoices) {
        bindInvoice(insert, invoice);
        if (!insert.exec()) {
            QString why = sqlError(QStringLiteral("Falha ao gravar a NF-e %1").arg(invoice.key), insert);
            db.rollback();
            return why;
        }
    }
    if (!db.commit())
        return QStringLiteral("Falha ao gravar o registro: %1").arg(db.lastError().text());
    return {};
}

bool AuthorityRecord::keep(const Invoice& invoice, QString* error) {
    if (m_persistent) {
        QSqlQuery insert(QSqlDatabase::database(QLatin1String(kConnection)));
        if (!insert.prepare(QString::fromLatin1(kInsertInvoiceSql))) {
            *error = sqlError(QStringLiteral("Falha ao preparar a gravação da NF-e"), insert);
            return false;
        }
        bindInvoice(insert, invoice);
        if (!insert.exec()) {
            *error = sqlError(QStringLiteral("Falha ao gravar a NF-e %1").arg(invoice.key), insert);
            return false;
        }
    }
    m_invoices.insert(invoice.key, invoice);
    return true;
}

const Invoice* AuthorityRecord::find(const QString& key) {
    auto found = m_invoices.find(key);
    if (found != m_invoices.end())
        return &found.value();
    if (m_source.isEmpty())
        return nullptr;
    std::optional<Invoice> learnt;
    try {
        QSqlDatabase erp = QSqlDatabase::database(QLatin1String(kLookupConnection));
        if (!erp.isValid() || !erp.isOpen())
            erp = zavdb::open(m_source, QLatin1String(kLookupConnection));
        QSqlQuery query(erp);
        query.setForwardOnly(true);
        if (!query.prepare(QString::fromLatin1(kErpInvoiceSql)))
            throw zavdb::DatabaseError(query.lastError().text());
        query.bindValue(QStringLiteral(":key"), key);
        if (!query.exec())
            throw zavdb::DatabaseError(query.lastError().text());
        if (query.next())
            learnt = readInvoice(query.value(0).toString(), query.value(1).toString(),
                                 query.value(2).toString(), query.value(3).toString());
    } catch (const zavdb::DatabaseError& failure) {
        // An unreachable ERP makes the NF-e unknown for this request; the next
        // one opens the connection again.
        QSqlDatabase::removeDatabase(QLatin1String(kLookupConnection));
        qWarning("zav-authority: falha ao procurar a NF-e no banco do ERP: %s", qPrintable(failure.text()));
        return nullptr;
    }
    QString error;
    if (!learnt)
        return nullptr;
    if (!keep(*learnt, &error)) {
        qWarning("zav-authority: %s", qPrintable(error));
        return nullptr;
    }
    return &m_invoices.find(key).value();
}

QString AuthorityRecord::nextProtocol(const QString& stateCode, const QDateTime& now) {
    const QString series =
        stateCode + now.toOffsetFromUtc(zavfiscal::utcOffsetOfCode(stateCode)).toString(QStringLiteral("yy"));
    const qint64 sequence = m_sequences.value(series) + 1;
    return series + QStringLiteral("%1").arg(sequence, 11, 10, QLatin1Char('0'));
}

bool AuthorityRecord::store(const RegisteredEvent& event, QString* error) {
    if (!m_persistent)
        return true;
    QSqlDatabase db = QSqlDatabase::database(QLatin1String(kConnection));
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery insert(db);
    QSqlQuery cancel(db);
    bool ok = insert.prepare(QString::fromLatin1(kInsertEventSql));
    if (ok) {
        insert.bindValue(QStringLiteral(":key"), event.key);
        insert.bindValue(QStringLiteral(":type"), event.type);
        insert.bindValue(QStringLiteral(":sequence"), event.sequence);
        insert.bindValue(QStringLiteral(":protocol"), event.protocol);
        insert.bindValue(QStringLiteral(":status"), event.status);
        insert.bindValue(QStringLiteral(":at"), event.registeredAt);
        insert.bindValue(QStringLiteral(":evento"), event.evento);
        insert.bindValue(QStringLiteral(":ret"), event.retEvento);
        ok = insert.exec();
    }
    *error = insert.lastError().text();
    if (ok) {
        ok = cancel.prepare(QString::fromLatin1(kCancelInvoiceSql));
        cancel.bindValue(QStringLiteral(":key"), event.key);
        ok = ok && cancel.exec();
        *error = cancel.lastError().text();
    }
    if (ok && db.commit())
        return true;
    if (ok)
        *error = db.lastError().text();
    db.rollback();
    return false;
}

Decision AuthorityRecord::decide(const EventFacts& facts, const Terms& terms, const QDateTime& now,
                                 const AnswerBuilder& answer) {
    const QString stateCode = zavfiscal::accessKeyStateCode(facts.key);
    const QString registeredAt = zavfiscal::legalDateTime(now, zavfiscal::utcOffsetOfCode(stateCode));
    auto reject = [&](int status) {
        return Decision{status, QString(), answer(status, QString(), registeredAt)};
    };

    const Invoice* known = find(facts.key);
    if (!known)
        return reject(NotInDatabase);
    Invoice& invoice = m_invoices.find(facts.key).value();
    // A resend of a registered event is a duplicate before anything else: the
    // sender recovers it with a status query.
    if (m_events.count({facts.key, facts.type, facts.sequence}))
        return reject(DuplicateEvent);
    if (invoice.state == u'C')
        return reject(AlreadyCancelled);
    if (invoice.state != u'A')
        return reject(RequiresAuthorisedNfe);
    if (invoice.protocol != facts.authorisationProtocol)
        return reject(ProtocolDiffers);
    if (facts.at < invoice.authorisedAt)
        return reject(EventBeforeAuthorisation);
    const qint64 elapsed = invoice.authorisedAt.secsTo(now);
    int status = EventLinked;
    if (elapsed > qint64(terms.ordinaryHours) * 3600)
        status = elapsed <= qint64(terms.lateHours) * 3600 ? LateCancellation : OutOfTerm;
    if (status == OutOfTerm)
        return reject(status);

    RegisteredEvent event{facts.key,    facts.type, facts.sequence, nextProtocol(stateCode, now),
                          registeredAt, status,     facts.evento,   {}};
    event.retEvento = answer(status, event.protocol, registeredAt);
    QString error;
    if (!store(event, &error)) {
        // Nothing is registered that the record could not keep: the sender
        // may try again later.
        qWarning("zav-authority: o evento da NF-e %s não foi gravado no registro: %s", qPrintable(facts.key),
                 qPrintable(error));
        return reject(UncataloguedError);
    }
    m_sequences[event.protocol.left(4)] = event.protocol.mid(4).toLongLong();
    invoice.state = u'C';
    Decision decision{status, event.protocol, event.retEvento};
    m_events[{event.key, event.type, event.sequence}] = std::move(event);
    return decision;
}

std::optional<Invoice> AuthorityRecord::invoice(const QString& key) {
    const Invoice* found = find(key);
    if (!found)
        return std::nullopt;
    return *found;
}

std::vector<RegisteredEvent> AuthorityRecord::events(const QString& key) const {
    std::vector<RegisteredEvent> result;
    for (auto it = m_events.lower_bound({key, QString(), 0});
         it != m_events.end() && std::get<0>(it->first) == key; ++it)
        result.push_back(it->second);
    return result;
}

} // namespace zavauthority
