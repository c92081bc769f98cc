// The central binary log's format: checksums, the file header, records encoded and decoded.

#include "emulation/iislog/Format.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace iislog {

using namespace Qt::Literals::StringLiterals;

namespace format {

namespace {

void putText(QByteArray& out, const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.size() > MaxText) {
        // Cut at a character boundary: never in front of a continuation byte.
        qsizetype cut = MaxText;
        while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80)
            --cut;
        bytes.truncate(cut);
    }
    put<quint16>(out, static_cast<quint16>(bytes.size()));
    out.append(bytes);
}

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QByteArray makeHeader(QDate day) {
    QByteArray header;
    header.append(Magic.data(), Magic.size());
    put<quint16>(header, FormatVersion);
    put<quint16>(header, static_cast<quint16>(HeaderSize));
    const quint32 dayCode =
        day.isValid() ? static_cast<quint32>(day.year() * 10000 + day.month() * 100 + day.day()) : 0;
    put<quint32>(header, dayCode);
    put<qint64>(header, QDateTime::currentMSecsSinceEpoch());
    put<quint32>(header, 0);
    put<quint32>(header, crc(crcOfVersion(FormatVersion), header.constData(), header.size()));
    return header;
}

HeaderCheck checkHeader(const char* p, FileHeader* out) {
    if (std::memcmp(p, Magic.data(), Magic.size()) != 0)
        return HeaderCheck::Damaged;
    // A version after this one keeps the header of version 2 and its checksum.
    const quint16 version = load<quint16>(p + 8);
    if (version == 0 || load<quint32>(p + 28) != crc(crcOfVersion(version), p, 28))
        return HeaderCheck::Damaged;
    if (version > FormatVersion)
        return HeaderCheck::Newer;
    if (load<quint16>(p + 10) != HeaderSize)
        return HeaderCheck::Damaged;
    if (out) {
        out->version = load<quint16>(p + 8);
        out->day = load<quint32>(p + 12);
        out->createdMs = load<qint64>(p + 16);
    }
    return HeaderCheck::Sound;
}

QString systemError(int error) {
    if (error == ENOSPC || error == EDQUOT)
        return u"磁盘空间不足。"_s;
    return QString::fromLocal8Bit(std::strerror(error));
}
ssize_t readFull(int fd, char* data, qsizetype size, qint64 offset) {
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, static_cast<size_t>(size - done), offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

bool layView(const char* p, qsizetype size, RecordView& v) {
    if (size < MinRecord || load<quint32>(p) != RecordMarker || load<quint32>(p + 4) != size)
        return false;
    v.siteId = load<quint32>(p + 8);
    v.timeMs = load<qint64>(p + 12);
    v.serverPort = load<quint16>(p + 20);
    v.status = load<quint16>(p + 22);
    v.substatus = load<quint16>(p + 24);
    v.win32Status = load<quint32>(p + 28);
    v.timeTaken = load<quint32>(p + 32);
    v.bytesSent = load<quint64>(p + 36);
    v.bytesReceived = load<quint64>(p + 44);
    qsizetype pos = FixedSize;
    const qsizetype end = size - 4;
    for (std::string_view& text : v.text) {
        if (end - pos < 2)
            return false;
        const qsizetype n = load<quint16>(p + pos);
        pos += 2;
        if (end - pos < n)
            return false;
        text = std::string_view(p + pos, static_cast<std::size_t>(n));
        pos += n;
    }
    return pos == end;
}

bool checksumHolds(const char* p, qsizetype size, Crc kind) {
    return load<quint32>(p + size - 4) == crc(kind, p + 4, size - 8);
}

bool plausibleTime(qint64 ms) {
    return ms >= FirstLogTime && ms <= LastLogTime;
}

LogRecord toRecord(const RecordView& v) {
    LogRecord r;
    r.timeMs = v.timeMs;
    r.siteId = v.siteId;
    r.serverPort = v.serverPort;
    r.status = v.status;
    r.substatus = v.substatus;
    r.win32Status = v.win32Status;
    r.timeTaken = v.timeTaken;
    r.bytesSent = v.bytesSent;
    r.bytesReceived = v.bytesReceived;
    r.clientIp = toQString(v.text[RecordView::ClientIp]);
    r.userName = toQString(v.text[RecordView::UserName]);
    r.serverIp = toQString(v.text[RecordView::ServerIp]);
    r.method = toQString(v.text[RecordView::Method]);
    r.uriStem = toQString(v.text[RecordView::UriStem]);
    r.uriQuery = toQString(v.text[RecordView::UriQuery]);
    r.protocolVersion = toQString(v.text[RecordView::ProtocolVersion]);
    r.host = toQString(v.text[RecordView::Host]);
    r.userAgent = toQString(v.text[RecordView::UserAgent]);
    r.cookie = toQString(v.text[RecordView::Cookie]);
    r.referrer = toQString(v.text[RecordView::Referrer]);
    return r;
}

} // namespace format

using namespace format;

QString fileName(QDate utcDay) {
    return u"ra"_s + utcDay.toString(u"yyMMdd"_s) + u".ibl"_s;
}

void encodeRecord(const LogRecord& record, QByteArray& out) {
    encodeRecord(record, out, FormatVersion);
}

void encodeRecord(const LogRecord& r, QByteArray& out, quint16 version) {
    const qsizetype start = out.size();
    put<quint32>(out, RecordMarker);
    put<quint32>(out, 0); // the length, filled in below
    put<quint32>(out, r.siteId);
    put<qint64>(out, r.timeMs);
    put<quint16>(out, r.serverPort);
    put<quint16>(out, r.status);
    put<quint16>(out, r.substatus);
    put<quint16>(out, 0);
    put<quint32>(out, r.win32Status);
    put<quint32>(out, r.timeTaken);
    put<quint64>(out, r.bytesSent);
    put<quint64>(out, r.bytesReceived);
    for (const QString* text : {&r.clientIp, &r.userName, &r.serverIp, &r.method, &r.uriStem, &r.uriQuery,
                                &r.protocolVersion, &r.host, &r.userAgent, &r.cookie, &r.referrer})
        putText(out, *text);
    const qsizetype length = out.size() - start + 4;
    store<quint32>(out.data() + start + 4, static_cast<quint32>(length));
    put<quint32>(out, crc(crcOfVersion(version), out.constData() + start + 4, length - 8));
}

bool viewRecord(const char* p, qsizetype size, RecordView& view, quint16 version) {
    return size >= MinRecord && checksumHolds(p, size, crcOfVersion(version)) && layView(p, size, view) &&
           plausibleTime(view.timeMs);
}

std::optional<LogRecord> decodeRecord(const char* p, qsizetype size, quint16 version) {
    RecordView view;
    if (!viewRecord(p, size, view, version))
        return std::nullopt;
    return toRecord(view);
}

} // namespace iislog
