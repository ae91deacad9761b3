#include "invoicerows.h"

#include <QCborStreamReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Which member each of the 17 fields fills, by the field's name.
enum Slot {
    sIdCheck,
    sBloq,
    sFiliEmit,
    sLancto,
    sEmissao,
    sRazao,
    sValor,
    sFilial,
    sLanctDoc,
    sEntrSai,
    sEmpresa,
    sFiliRece,
    sLancamento,
    sMotivo,
    sNumero,
    sProtocolo,
    sAcesso,
    sUnknown
};

Slot slotOf(const QString& name) {
    static const QStringList names{
        "IDCHECK",    "IDBLOQUEADO",     "CDFILIEMIT",      "NRLANCTONF",     "DTEMISSAO",  "NMRAZAO",
        "VRNOTAFISC", "CDFILIAL",        "NRLANCTBDOC",     "IDENTRSAIDOP",   "CDEMPRESA",  "CDFILIRECE",
        "LANCAMENTO", "DSMOTIVOCANCNFE", "NRNOTAFISCALELE", "NRPROTOCOLONFE", "NRACESSONFE"};
    const qsizetype i = names.indexOf(name);
    return i < 0 ? sUnknown : Slot(i);
}

QString* textSlot(InvoiceRow& r, Slot s) {
    switch (s) {
    case sIdCheck:
        return &r.idCheck;
    case sBloq:
        return &r.idBloqueado;
    case sFiliEmit:
        return &r.cdFiliEmit;
    case sLancto:
        return &r.nrLanctoNf;
    case sRazao:
        return &r.nmRazao;
    case sFilial:
        return &r.cdFilial;
    case sLanctDoc:
        return &r.nrLanctBDoc;
    case sEntrSai:
        return &r.idEntrSaiOp;
    case sEmpresa:
        return &r.cdEmpresa;
    case sFiliRece:
        return &r.cdFiliRece;
    case sLancamento:
        return &r.lancamento;
    case sMotivo:
        return &r.dsMotivo;
    case sNumero:
        return &r.nrNotaFiscalEle;
    case sProtocolo:
        return &r.nrProtocolo;
    case sAcesso:
        return &r.nrAcesso;
    default:
        return nullptr;
    }
}

// A whole text item as UTF-8 into buffer (grown as needed).
bool readText(QCborStreamReader& reader, QByteArray& buffer) {
    qsizetype used = 0;
    for (;;) {
        if (buffer.size() - used < 256)
            buffer.resize(buffer.size() * 2 + 256);
        const auto chunk = reader.readStringChunk(buffer.data() + used, buffer.size() - used);
        if (chunk.status == QCborStreamReader::EndOfString)
            break;
        if (chunk.status != QCborStreamReader::Ok)
            return false;
        used += chunk.data;
    }
    buffer.resize(used);
    return true;
}

bool readKey(QCborStreamReader& reader, QByteArray& buffer) {
    return reader.isString() && readText(reader, buffer);
}

bool readFields(QCborStreamReader& reader, std::vector<Slot>& slots) {
    QByteArray text;
    if (!reader.isArray() || !reader.enterContainer())
        return false;
    while (reader.hasNext()) {
        if (!reader.isMap() || !reader.enterContainer())
            return false;
        Slot slot = sUnknown;
        while (reader.hasNext()) {
            if (!readKey(reader, text))
                return false;
            if (text == "name" && reader.isString()) {
                QByteArray name;
                if (!readText(reader, name))
                    return false;
                slot = slotOf(QString::fromUtf8(name));
            } else {
                reader.next();
            }
        }
        reader.leaveContainer();
        slots.push_back(slot);
    }
    return reader.leaveContainer();
}

bool readRows(QCborStreamReader& reader, const std::vector<Slot>& slots, std::vector<InvoiceRow>& rows) {
    QByteArray text;
    if (!reader.isArray() || !reader.enterContainer())
        return false;
    while (reader.hasNext()) {
        if (!reader.isArray() || !reader.enterContainer())
            return false;
        InvoiceRow& row = rows.emplace_back();
        std::size_t column = 0;
        while (reader.hasNext()) {
            const Slot slot = column < slots.size() ? slots[column] : sUnknown;
            ++column;
            if (reader.isString()) {
                if (!readText(reader, text))
                    return false;
                if (slot == sEmissao)
                    row.dtEmissao = QDate::fromString(QString::fromLatin1(text), Qt::ISODate);
                else if (QString* target = textSlot(row, slot))
                    *target = QString::fromUtf8(text);
            } else if (reader.isDouble() || reader.isInteger()) {
                row.vrNotaFisc = reader.isDouble() ? reader.toDouble() : double(reader.toInteger());
                reader.next();
            } else {
                reader.next(); // null
            }
        }
        reader.leaveContainer();
    }
    return reader.leaveContainer();
}

} // namespace

bool InvoiceRows::fromCbor(const QByteArray& body, std::vector<InvoiceRow>& rows, QString* why) {
    QCborStreamReader reader(body);
    QByteArray key;
    bool gotRows = false;
    if (!reader.isMap() || !reader.enterContainer()) {
        *why = QStringLiteral("the answer is no CBOR map");
        return false;
    }
    while (reader.hasNext()) {
        if (!readKey(reader, key))
            break;
        if (key == "error") {
            *why = QStringLiteral("the server answered an error");
            return false;
        }
        if (key != "result") {
            reader.next();
            continue;
        }
        if (!reader.isMap() || !reader.enterContainer())
            break;
        std::vector<Slot> slots;
        while (reader.hasNext()) {
            if (!readKey(reader, key))
                break;
            if (key == "fields") {
                if (!readFields(reader, slots))
                    break;
            } else if (key == "rows") {
                gotRows = readRows(reader, slots, rows);
                if (!gotRows)
                    break;
            } else {
                reader.next();
            }
        }
        reader.leaveContainer();
    }
    if (!gotRows)
        *why = QStringLiteral("no packet in the CBOR answer (%1)").arg(reader.lastError().toString());
    return gotRows;
}

bool InvoiceRows::fromJson(const QByteArray& body, std::vector<InvoiceRow>& rows, QString* why) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    const QJsonObject result = document.object().value(QLatin1String("result")).toObject();
    if (error.error != QJsonParseError::NoError || !result.contains(QLatin1String("rows"))) {
        *why = QStringLiteral("no packet in the JSON answer");
        return false;
    }
    std::vector<Slot> slots;
    for (const auto& field : result.value(QLatin1String("fields")).toArray())
        slots.push_back(slotOf(field.toObject().value(QLatin1String("name")).toString()));
    const QJsonArray list = result.value(QLatin1String("rows")).toArray();
    rows.reserve(std::size_t(list.size()));
    for (const auto& value : list) {
        const QJsonArray cells = value.toArray();
        InvoiceRow& row = rows.emplace_back();
        for (qsizetype c = 0; c < cells.size() && std::size_t(c) < slots.size(); ++c) {
            const QJsonValue cell = cells.at(c);
            if (slots[c] == sEmissao)
                row.dtEmissao = QDate::fromString(cell.toString(), Qt::ISODate);
            else if (slots[c] == sValor)
                row.vrNotaFisc = cell.toDouble();
            else if (QString* target = textSlot(row, slots[c]))
                *target = cell.toString();
        }
    }
    return true;
}
