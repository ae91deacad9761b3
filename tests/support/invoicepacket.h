#pragma once
// The invoice record (records.h) as packets and datasets of the tests of the
// client side.
#include "data/clientdataset.h"
#include "data/datapacket.h"

#include <QStringList>

namespace invoicetest {

inline void declareFields(TClientDataSet& ds) {
    for (const zavwire::RecordField& f : zavwire::kInvoiceRecord)
        ds.AddField(FieldDefOf(f));
}

// The packet's fields; without the field `drop`, and with `retype` delivered
// as `as` when given.
inline QList<DataPacketField> packetFields(const QString& drop = {}, const QString& retype = {},
                                           TFieldType as = ftString) {
    QList<DataPacketField> fields;
    for (const zavwire::RecordField& f : zavwire::kInvoiceRecord) {
        const QString name = QLatin1StringView(f.name);
        if (name == drop)
            continue;
        fields.append({name, name == retype ? as : TFieldType(f.type), f.size});
    }
    return fields;
}

// One row per key, in the order given: NRLANCTONF is the row's arrival number.
inline DataPacket invoices(const QStringList& keys, const QList<DataPacketField>& fields = packetFields()) {
    DataPacket p(fields);
    for (int i = 0; i < keys.size(); ++i) {
        const int r = p.appendRow();
        // A field delivered with another type than the record's gets the
        // value's text when it is a string field, else stays NULL.
        auto set = [&](const char* name, const QVariant& v) {
            const int c = p.indexOf(QLatin1StringView(name));
            if (c < 0)
                return;
            const bool text = v.metaType() == QMetaType::fromType<QString>();
            if (p.fields().at(c).type == ftString)
                p.setValue(r, c, v.toString());
            else if (!text)
                p.setValue(r, c, v);
        };
        set("IDCHECK", QStringLiteral("U"));
        set("IDBLOQUEADO", QStringLiteral("N"));
        set("CDFILIEMIT", QStringLiteral("0001"));
        set("NRLANCTONF", QStringLiteral("%1").arg(i + 1, 10, 10, QLatin1Char('0')));
        set("DTEMISSAO", QDateTime(QDate(2024, 5, 1 + i % 28), QTime(0, 0)));
        set("NMRAZAO", QStringLiteral("Razão %1").arg(i));
        set("VRNOTAFISC", 100.25 + i);
        set("CDFILIAL", QStringLiteral("0001"));
        set("LANCAMENTO", keys.at(i));
        set("DSMOTIVOCANCNFE", QString(""));
        set("NRACESSONFE", QStringLiteral("3524%1").arg(i, 40, 10, QLatin1Char('0')));
    }
    return p;
}

} // namespace invoicetest
