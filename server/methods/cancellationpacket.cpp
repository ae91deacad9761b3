#include "methods/cancellationpacket.h"

#include "wireformat.h"

#include <QCborArray>
#include <QCborMap>
#include <QSet>
#include <array>

namespace zavserver {

namespace {

const QString kLabel = QStringLiteral("lista de notas fiscais");

enum Required { rEntry, rCheck, rReason, rBranch, rCompany, rCount };
const std::array<QString, rCount> kRequired{QStringLiteral("NRLANCTONF"), QStringLiteral("IDCHECK"),
                                            QStringLiteral("DSMOTIVOCANCNFE"), QStringLiteral("CDFILIAL"),
                                            QStringLiteral("CDEMPRESA")};
constexpr qsizetype kEntrySize = 10;

class Reader {
public:
    Reader(const Arguments& arguments, int position) : m_arguments(arguments), m_position(position) {}

    [[noreturn]] void reject(const QString& why) const { m_arguments.reject(m_position, kLabel, why); }

    // A cell that must be text or null (null reads as empty).
    QString text(const QCborArray& row, qsizetype rowNumber, Required field) const {
        const QCborValue cell = row.at(m_columns[field]);
        if (cell.isNull() || cell.isUndefined())
            return {};
        if (!cell.isString())
            reject(QStringLiteral("linha %1: %2 deve ser um texto").arg(rowNumber).arg(kRequired[field]));
        QString value = cell.toString();
        // No database keeps a NUL in a text: refused here, not met as a
        // database failure.
        if (value.contains(QChar(0)))
            reject(QStringLiteral("linha %1: %2 não pode ter o caractere NUL")
                       .arg(rowNumber)
                       .arg(kRequired[field]));
        return value;
    }

    std::vector<TickedInvoice> read() {
        const QCborValue packet = m_arguments.value(m_position);
        if (!packet.isMap())
            reject(QStringLiteral("esperado um pacote de dados {\"fields\": [...], \"rows\": [...]}"));
        const QCborMap map = packet.toMap();
        const QCborValue fields = map.value(zavfiscal::wire::kFields);
        const QCborValue rows = map.value(zavfiscal::wire::kRows);
        if (!fields.isArray() || !rows.isArray())
            reject(QStringLiteral("o pacote de dados deve ter as listas \"fields\" e \"rows\""));
        readFields(fields.toArray());
        return readRows(rows.toArray());
    }

private:
    void readFields(const QCborArray& fields) {
        m_width = fields.size();
        m_columns.fill(-1);
        QSet<QString> seen;
        for (qsizetype i = 0; i < fields.size(); ++i) {
            const QCborValue name = fields.at(i).toMap().value(zavfiscal::wire::kName);
            if (!name.isString())
                reject(QStringLiteral("o campo %1 do pacote não tem nome").arg(i + 1));
            const QString text = name.toString();
            if (seen.contains(text))
                reject(QStringLiteral("o campo %1 aparece duas vezes no pacote").arg(text));
            seen.insert(text);
            for (int r = 0; r < rCount; ++r)
                if (text == kRequired[r])
                    m_columns[r] = i;
        }
        for (int r = 0; r < rCount; ++r)
            if (m_columns[r] < 0)
                reject(QStringLiteral("falta o campo %1 no pacote").arg(kRequired[r]));
    }

    std::vector<TickedInvoice> readRows(const QCborArray& rows) {
        std::vector<TickedInvoice> ticked;
        QSet<QString> entries;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const qsizetype number = i + 1;
            const QCborValue value = rows.at(i);
            if (!value.isArray() || value.toArray().size() != m_width)
                reject(QStringLiteral("linha %1: esperada uma lista de %2 valores, um por campo")
                           .arg(number)
                           .arg(m_width));
            const QCborArray row = value.toArray();
            // Only "C" cancels; anything but "C" or "U" is a mistake that would
            // otherwise pass for "not ticked" and be answered as success.
            const QString check = text(row, number, rCheck).trimmed();
            if (check == u"U")
                continue;
            if (check != u"C")
                reject(QStringLiteral(
                           "linha %1: IDCHECK deve ser \"C\" (cancelar) ou \"U\" (não cancelar), recebido "
                           "\"%2\"")
                           .arg(number)
                           .arg(check.left(10)));
            TickedInvoice invoice;
            invoice.entry = text(row, number, rEntry).trimmed();
            if (invoice.entry.isEmpty() || invoice.entry.size() > kEntrySize)
                reject(QStringLiteral("linha %1: NRLANCTONF deve ter de 1 a %2 caracteres")
                           .arg(number)
                           .arg(kEntrySize));
            invoice.reason = text(row, number, rReason);
            invoice.branch = text(row, number, rBranch).trimmed();
            invoice.company = text(row, number, rCompany).trimmed();
            if (entries.contains(invoice.entry))
                continue;
            entries.insert(invoice.entry);
            ticked.push_back(std::move(invoice));
        }
        if (ticked.empty())
            reject(QStringLiteral("nenhuma nota fiscal marcada para cancelar (IDCHECK \"C\")"));
        return ticked;
    }

    const Arguments& m_arguments;
    int m_position;
    qsizetype m_width = 0;
    std::array<qsizetype, rCount> m_columns{};
};

} // namespace

std::vector<TickedInvoice> CancellationPacket::read(const Arguments& arguments, int position) {
    return Reader(arguments, position).read();
}

} // namespace zavserver
