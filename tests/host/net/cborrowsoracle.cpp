#include "cborrowsoracle.h"

#include <QCborArray>
#include <QCborStreamReader>
#include <QCborValue>
#include <QDateTime>

#include "services/exceptions.h"

namespace zavtest {

namespace {

struct Refused {};

void check(QCborStreamReader& reader) {
    if (reader.lastError() != QCborError::NoError)
        throw Refused{};
}

QString readText(QCborStreamReader& reader) {
    QString text;
    auto r = reader.readString();
    while (r.status == QCborStreamReader::Ok) {
        text += r.data;
        r = reader.readString();
    }
    check(reader);
    if (text.toUtf8().size() > DataPacket::kMaxTextBytes)
        throw Refused{};
    return text;
}

// A day, "YYYY-MM-DD", with its time of day or not.
QDateTime dayOf(const QString& text) {
    const QDate day = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    if (!day.isValid())
        throw Refused{};
    if (text.size() == 10)
        return QDateTime(day, QTime(0, 0));
    if (text.at(10) != u'T')
        throw Refused{};
    QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss.zzz"));
    if (!time.isValid())
        time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss"));
    if (!time.isValid())
        throw Refused{};
    return QDateTime(day, time);
}

// An integer as the amount it is, however wide.
double amountOf(QCborStreamReader& reader) {
    if (reader.isUnsignedInteger())
        return double(reader.toUnsignedInteger());
    const auto magnitude = quint64(reader.toNegativeInteger()); // 0 stands for 2^64
    return magnitude == 0 ? -18446744073709551616.0 : -double(magnitude);
}

void readCell(QCborStreamReader& reader, DataPacket& p, int row, int column) {
    if (reader.isNull()) {
        reader.next();
        return;
    }
    switch (p.fields().at(column).type) {
    case ftString:
        if (!reader.isString())
            throw Refused{};
        p.setValue(row, column, readText(reader));
        return;
    case ftDateTime:
        if (!reader.isString())
            throw Refused{};
        p.setValue(row, column, dayOf(readText(reader)));
        return;
    case ftFloat: {
        double v = 0;
        if (reader.isDouble())
            v = reader.toDouble();
        else if (reader.isFloat())
            v = double(reader.toFloat());
        else if (reader.isFloat16())
            v = double(float(reader.toFloat16()));
        else if (reader.isInteger())
            v = amountOf(reader);
        else
            throw Refused{};
        reader.next();
        p.setValue(row, column, v);
        return;
    }
    case ftInteger:
        if (!reader.isInteger())
            throw Refused{};
        // Beyond 64 bits, wrapped as Qt's reader gives it.
        p.setValue(row, column, qlonglong(reader.toInteger()));
        reader.next();
        return;
    }
}

DataPacket readPacket(QCborStreamReader& reader) {
    if (!reader.isMap())
        throw Refused{};
    reader.enterContainer();
    std::optional<DataPacket> p;
    while (reader.hasNext()) {
        check(reader);
        const QString key = readText(reader);
        if (key == u"fields") {
            QList<DataPacketField> fields;
            const QCborValue list = QCborValue::fromCbor(reader);
            check(reader);
            const QCborArray described = list.toArray();
            for (qsizetype i = 0; i < described.size(); ++i) {
                const QCborValue f = described.at(i);
                DataPacketField field;
                field.name = f[QLatin1StringView("name")].toString();
                field.size = int(f[QLatin1StringView("size")].toInteger());
                if (!DataPacket::typeFromName(f[QLatin1StringView("type")].toString(), &field.type))
                    throw Refused{};
                fields.append(field);
            }
            p = DataPacket(fields);
        } else if (key == u"rows") {
            if (!p || !reader.isArray())
                throw Refused{};
            reader.enterContainer();
            while (reader.hasNext()) {
                check(reader);
                if (!reader.isArray())
                    throw Refused{};
                const int row = p->appendRow();
                reader.enterContainer();
                int c = 0;
                while (reader.hasNext()) {
                    if (c == p->fieldCount())
                        throw Refused{};
                    readCell(reader, *p, row, c++);
                    check(reader);
                }
                check(reader);
                if (c != p->fieldCount())
                    throw Refused{};
                reader.leaveContainer();
                check(reader);
            }
            check(reader);
            reader.leaveContainer();
        } else {
            reader.next();
        }
        check(reader);
    }
    reader.leaveContainer();
    check(reader);
    if (!p)
        throw Refused{};
    return *p;
}

} // namespace

std::optional<DataPacket> cborRowsOracle(const QByteArray& answer) {
    QCborStreamReader reader(answer);
    try {
        check(reader);
        if (!reader.isMap())
            return std::nullopt;
        reader.enterContainer();
        std::optional<DataPacket> packet;
        while (reader.hasNext()) {
            check(reader);
            const QString key = readText(reader);
            if (key == u"result")
                packet = readPacket(reader);
            else
                reader.next();
            check(reader);
        }
        return packet;
    } catch (const Refused&) {
        return std::nullopt;
    } catch (const EZavError&) {
        return std::nullopt; // a value the packet's setters refuse
    }
}

} // namespace zavtest
