#include "packetstorage.h"

#include "services/exceptions.h"
#include "wireformat.h"

#include <limits>

void PacketColumn::reserveText(qsizetype more) {
    const qsizetype needed = bytes.size() + more;
    if (needed > qsizetype(std::numeric_limits<quint32>::max()))
        DataPacket::refuse(QStringLiteral("pacote grande demais (mais de 4 GB de texto num campo)"));
    bytes.room(more);
}

void PacketColumn::reserveRows(qsizetype rows, qsizetype textBytes) {
    if (type == ftString) {
        if (width == kGeneral) {
            start.reserve(size_t(rows));
            length.reserve(size_t(rows));
        } else {
            nulls.reserve(size_t(rows));
        }
        bytes.reserve(textBytes);
        return;
    }
    nulls.reserve(size_t(rows));
    if (type == ftFloat)
        reals.reserve(size_t(rows));
    else
        integers.reserve(size_t(rows));
}

// Every row gets its offset and length; the bytes stay where they are.
void PacketColumn::toGeneral() {
    if (width == kGeneral)
        return;
    const size_t rows = nulls.size();
    start.resize(rows);
    length.resize(rows);
    const quint32 w = width < 0 ? 0 : quint32(width);
    for (size_t r = 0; r < rows; ++r) {
        start[r] = quint32(r) * w;
        length[r] = nulls[r] ? kNullLength : quint16(w);
    }
    std::vector<bool>().swap(nulls);
    nullCount = 0;
    width = kGeneral;
}

// Whether a text of n bytes in row `row` keeps the column uniform; an
// undecided column takes n as its width when the NULL slots it must then fill
// before that row cost little.
bool PacketColumn::uniformFor(qsizetype row, qsizetype n) {
    if (width >= 0)
        return n == width;
    if (width == kGeneral || row * n > kUniformWaste)
        return false;
    width = int(n);
    return true;
}

void PacketColumn::appendNull() {
    switch (type) {
    case ftString:
        if (width >= 0 && (nullCount + 1) * width > kUniformWaste + 6 * (nullCount + 1))
            toGeneral();
        if (width == kGeneral) {
            start.push_back(0);
            length.push_back(kNullLength);
            return;
        }
        if (width > 0) {
            std::memset(bytes.room(width), 0, size_t(width));
            bytes.commit(width);
        }
        nulls.push_back(true);
        ++nullCount;
        return;
    case ftFloat:
        reals.push_back(0.0);
        break;
    case ftDateTime:
    case ftInteger:
        integers.push_back(0);
        break;
    }
    nulls.push_back(true);
}

void PacketColumn::settleLastText(int row, qsizetype textStart, qsizetype n) {
    const size_t r = size_t(row);
    if (width == kUndecided && uniformFor(row, n)) {
        // The NULL rows before it get their slots of zeros, the text its own.
        if (row > 0) {
            TextBuffer laidOut;
            laidOut.reserve((row + 1) * n);
            std::memset(laidOut.room(row * n), 0, size_t(row * n));
            laidOut.commit(row * n);
            laidOut.append(bytes.constData() + textStart, n);
            bytes = std::move(laidOut);
        }
        nulls[r] = false;
        --nullCount;
        return;
    }
    if (width >= 0 && n == width) {
        // Over the row's slot of zeros, written just before the text.
        const qsizetype slot = qsizetype(row) * width;
        if (textStart != slot)
            std::memmove(bytes.data() + slot, bytes.constData() + textStart, size_t(n));
        bytes.truncate(slot + width);
        nulls[r] = false;
        --nullCount;
        return;
    }
    toGeneral();
    start[r] = quint32(textStart);
    length[r] = quint16(n);
}

void PacketColumn::dropLastRow(qsizetype textSize) {
    switch (type) {
    case ftString:
        if (width == kGeneral) {
            start.pop_back();
            length.pop_back();
            bytes.truncate(textSize);
            return;
        }
        if (nulls.back())
            --nullCount;
        nulls.pop_back();
        bytes.truncate(width > 0 ? qsizetype(nulls.size()) * width : 0);
        return;
    case ftFloat:
        reals.pop_back();
        break;
    case ftDateTime:
    case ftInteger:
        integers.pop_back();
        break;
    }
    nulls.pop_back();
}

// Gives back what growth left unused, unless it is little: a copy of the
// whole column would cost more than the few per cent it frees.
void PacketColumn::shrink() {
    auto worth = [](qsizetype size, qsizetype capacity) { return capacity > size + size / 16 + 64; };
    if (worth(bytes.size(), bytes.capacity()))
        bytes.squeeze();
    if (worth(qsizetype(start.size()), qsizetype(start.capacity())))
        start.shrink_to_fit();
    if (worth(qsizetype(length.size()), qsizetype(length.capacity())))
        length.shrink_to_fit();
    if (worth(qsizetype(reals.size()), qsizetype(reals.capacity())))
        reals.shrink_to_fit();
    if (worth(qsizetype(integers.size()), qsizetype(integers.capacity())))
        integers.shrink_to_fit();
    if (worth(qsizetype(nulls.size()), qsizetype(nulls.capacity())))
        nulls.shrink_to_fit();
}

qsizetype PacketColumn::storageBytes() const {
    return bytes.capacity() +
           qsizetype(start.capacity() * sizeof(quint32) + length.capacity() * sizeof(quint16) +
                     reals.capacity() * sizeof(double) + integers.capacity() * sizeof(qint64) +
                     nulls.capacity() / 8);
}

bool PacketColumn::isNull(int row) const {
    if (type == ftString && width == kGeneral)
        return length[size_t(row)] == kNullLength;
    return nulls[size_t(row)];
}

QUtf8StringView PacketColumn::text(int row) const {
    const size_t r = size_t(row);
    if (width != kGeneral) {
        if (nulls[r])
            return {};
        return QUtf8StringView(bytes.constData() + qsizetype(row) * width, width);
    }
    const quint16 n = length[r];
    if (n == kNullLength)
        return {};
    return QUtf8StringView(bytes.constData() + start[r], n);
}

void PacketColumn::setText(int row, QUtf8StringView utf8) {
    if (utf8.size() > DataPacket::kMaxTextBytes)
        DataPacket::refuse(QStringLiteral("texto de %1 bytes, o limite é %2")
                               .arg(utf8.size())
                               .arg(DataPacket::kMaxTextBytes));
    const size_t r = size_t(row);
    if (width != kGeneral) {
        if (width == kUndecided && uniformFor(qsizetype(nulls.size()), utf8.size())) {
            // Every row, all NULL until now, gets its slot of zeros.
            const qsizetype all = qsizetype(nulls.size()) * width;
            if (all > 0) {
                std::memset(bytes.room(all), 0, size_t(all));
                bytes.commit(all);
            }
        }
        if (utf8.size() == width) {
            if (width > 0)
                std::memcpy(bytes.data() + qsizetype(row) * width, utf8.data(), size_t(width));
            if (nulls[r]) {
                nulls[r] = false;
                --nullCount;
            }
            return;
        }
        toGeneral();
    }
    // A value no longer than the one it replaces is written over it (a tick
    // "U" -> "C" costs no memory); a longer one goes to the end of the buffer.
    if (length[r] != kNullLength && utf8.size() <= length[r]) {
        std::memcpy(bytes.data() + start[r], utf8.data(), size_t(utf8.size()));
    } else {
        reserveText(utf8.size());
        start[r] = quint32(bytes.size());
        bytes.append(utf8.data(), utf8.size());
    }
    length[r] = quint16(utf8.size());
}

void PacketColumn::setNull(int row) {
    const size_t r = size_t(row);
    if (type == ftString && width == kGeneral) {
        length[r] = kNullLength;
        return;
    }
    if (type == ftString && !nulls[r])
        ++nullCount;
    nulls[r] = true;
}

qint64 PacketColumn::dateTimeMs(const QDateTime& dt) {
    return dt.date().toJulianDay() * kMsPerDay + dt.time().msecsSinceStartOfDay();
}

QDateTime PacketColumn::dateTimeOf(qint64 ms) {
    const qint64 day = ms >= 0 ? ms / kMsPerDay : -((-ms + kMsPerDay - 1) / kMsPerDay);
    return QDateTime(QDate::fromJulianDay(day), QTime::fromMSecsSinceStartOfDay(int(ms - day * kMsPerDay)));
}

bool PacketColumn::parseDateTime(QUtf8StringView text, qint64* ms) {
    // "YYYY-MM-DD", optionally followed by "THH:MM:SS" and ".zzz".
    const char* p = text.data();
    const qsizetype n = text.size();
    if (n != 10 && n != 19 && n != 23)
        return false;
    auto digits = [p](int from, int count, int* out) {
        int v = 0;
        for (int i = from; i < from + count; ++i) {
            if (p[i] < '0' || p[i] > '9')
                return false;
            v = v * 10 + (p[i] - '0');
        }
        *out = v;
        return true;
    };
    int y, m, d;
    if (!digits(0, 4, &y) || p[4] != '-' || !digits(5, 2, &m) || p[7] != '-' || !digits(8, 2, &d))
        return false;
    const QDate date(y, m, d);
    if (!date.isValid())
        return false;
    int msOfDay = 0;
    if (n > 10) {
        int hh, mm, ss, zzz = 0;
        if (p[10] != 'T' || !digits(11, 2, &hh) || p[13] != ':' || !digits(14, 2, &mm) || p[16] != ':' ||
            !digits(17, 2, &ss))
            return false;
        if (n == 23 && (p[19] != '.' || !digits(20, 3, &zzz)))
            return false;
        const QTime time(hh, mm, ss, zzz);
        if (!time.isValid())
            return false;
        msOfDay = time.msecsSinceStartOfDay();
    }
    *ms = date.toJulianDay() * kMsPerDay + msOfDay;
    return true;
}

QByteArray PacketColumn::formatDateTime(qint64 ms) {
    const QDateTime dt = dateTimeOf(ms);
    if (dt.time().msecsSinceStartOfDay() == 0)
        return dt.date().toString(zavwire::kDateFormat).toLatin1();
    return dt.toString(dt.time().msec() ? zavwire::kDateTimeMsFormat : zavwire::kDateTimeFormat).toLatin1();
}
