#pragma once
// A data packet: what the application server sends (the invoice list, the
// failures of a cancellation) and what a client dataset sends back. Fields with
// a name, a type and a size; rows of values, each of its field's type or NULL.
//
// On the wire a packet is {"fields":[{"name","type","size"}...],"rows":[[...],...]}
// in JSON or CBOR, types "string", "datetime", "float" (and "integer"); a
// date-time travels as "YYYY-MM-DD" text, with "THH:MM:SS[.zzz]" when it has a
// time of day. Decoding checks everything and refuses a malformed packet with
// an EZavError whose text starts with "Resposta inválida do servidor:".
//
// Storage is by column and compact, because a list holds 100,000 rows: the
// strings of a column are UTF-8 bytes in one buffer (a start and a length per
// cell), date-times are milliseconds, numbers doubles. Copies share the storage
// until one of them is written (implicit sharing), so a packet travels through
// QVariant without being copied.
#include "field.h"
#include "zavhost_export.h"
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QUtf8StringView>
#include <QVariant>
#include <span>

class QCborStreamReader;
class QCborStreamWriter;
class QJsonArray;
class QJsonValue;
class DataPacketData;

struct ZAVHOST_EXPORT DataPacketField {
    QString name;
    TFieldType type = ftString;
    int size = 0; // characters of a string field; 0 for the others

    friend bool operator==(const DataPacketField&, const DataPacketField&) = default;
};

class ZAVHOST_EXPORT DataPacket {
public:
    // The longest string a cell holds, in UTF-8 bytes.
    static constexpr int kMaxTextBytes = 65534;

    DataPacket(); // no fields, no rows
    explicit DataPacket(const QList<DataPacketField>& fields);
    DataPacket(const DataPacket&);
    DataPacket(DataPacket&&) noexcept;
    DataPacket& operator=(const DataPacket&);
    DataPacket& operator=(DataPacket&&) noexcept;
    ~DataPacket();

    const QList<DataPacketField>& fields() const;
    int fieldCount() const;
    int indexOf(const QString& name) const; // names compare case-insensitively; -1 when absent
    int rowCount() const;

    // Reading. value() gives a QString, a QDateTime or a double (qlonglong for
    // integers); a NULL cell gives a null QVariant of the field's type.
    bool isNull(int row, int column) const;
    QVariant value(int row, int column) const;
    QUtf8StringView text(int row, int column) const; // a string cell's bytes; empty for NULL

    // Writing. appendRow adds a row of NULLs and returns its number; setValue
    // converts the value to the field's type (TField::convert) and throws
    // EZavError when it cannot or when a text is too long to store.
    int appendRow();
    void setValue(int row, int column, const QVariant& value);
    void setNull(int row, int column);
    void setText(int row, int column, QUtf8StringView utf8);

    // A packet of the given rows, in that order, with storage of its own.
    DataPacket select(std::span<const int> rows) const;

    // Encoding and decoding. The readers leave nothing half-built: they return
    // a whole packet or throw.
    QJsonObject toJson() const;
    static DataPacket fromJson(const QJsonValue& value);
    // Rows of a JSON packet's rows list appended, numbered in messages from
    // the packet's next line; refused as fromJson refuses them, and then the
    // packet holds some of them and is to be dropped.
    void appendJsonRows(const QJsonArray& rows);
    // Gives back what the columns' growth left unused.
    void trimStorage();
    void writeCbor(QCborStreamWriter& writer) const;
    // Positioned on the packet's map; bytes are those the reader reads (its
    // rows are read from them).
    static DataPacket readCbor(QCborStreamReader& reader, const QByteArray& bytes);
    QByteArray toCbor() const;
    static DataPacket fromCbor(const QByteArray& bytes);

    // The fields list of a CBOR packet, the reader positioned on it; throws
    // EZavError (the reader's lastError() tells a cut from a malformed list).
    static QList<DataPacketField> readCborFields(QCborStreamReader& reader);

    // Wire type names.
    static QString typeName(TFieldType type);
    static bool typeFromName(const QString& name, TFieldType* type);
    // The type as the operator's messages name it ("texto", "data"...).
    static QString describeType(TFieldType type);

    // The error every refused packet raises: "Resposta inválida do servidor: " + detail.
    [[noreturn]] static void refuse(const QString& detail);

    // Bytes held by the storage (capacity included), for measurements.
    qsizetype storageBytes() const;

private:
    friend class CborRows;
    friend class DataPacketDecoder;
    friend class DataPacketRowStream;
    QSharedDataPointer<DataPacketData> d;
};

// The rows of a CBOR packet read as its bytes arrive, in pieces of any size:
// each whole row goes straight into the column storage, and a row (or a text,
// or a character) cut by the end of a piece is read whole once the next piece
// has come. Fed the bytes that follow the rows list's head; once the list has
// ended, what came after it is kept apart (rest()). A malformed row is refused
// as DataPacket::fromCbor refuses it (EZavError, "Resposta inválida do
// servidor: ..."); nothing is taken for whole until the list's end was read.
class ZAVHOST_EXPORT DataPacketRowStream {
public:
    // count: the rows the list's head announced, when it did (lengthKnown).
    DataPacketRowStream(const QList<DataPacketField>& fields, bool lengthKnown, quint64 count);
    ~DataPacketRowStream();
    DataPacketRowStream(const DataPacketRowStream&) = delete;
    DataPacketRowStream& operator=(const DataPacketRowStream&) = delete;

    void feed(QByteArrayView piece);
    bool ended() const { return m_ended; }
    int rowCount() const;
    // The bytes after the rows list (the rest of the packet and the answer).
    const QByteArray& rest() const { return m_rest; }
    // The packet read, once ended(): its storage trimmed.
    DataPacket take();

private:
    void readWholeRows();

    DataPacket m_packet;
    bool m_lengthKnown = false;
    quint64 m_left = 0; // rows still announced, when the length is known
    bool m_ended = false;
    QByteArray m_pending; // the bytes not yet read
    QByteArray m_rest;
};

Q_DECLARE_METATYPE(DataPacket)
