#pragma once

// The web service's central binary log: one file a UTC day for every site of the server, as IIS 6
// writes it when CentralBinaryLoggingEnabled is on (<LogFileDirectory>\W3SVC\raYYMMDD.ibl).
//
// The file format is this project's own. All numbers are little-endian.
//
// File header, 32 bytes:
//   offset  size  field
//        0     8  magic "VLMRIBL\x1A"
//        8     2  format version (2; version 1 files differ only in their checksums)
//       10     2  header size in bytes (32); a reader skips what it does not know
//       12     4  UTC day of the file as yyyymmdd, 0 when the writer was not told
//       16     8  creation time, UTC milliseconds since the epoch
//       24     4  reserved, 0
//       28     4  checksum of bytes 0 to 27
// A file of 0 bytes is an empty day (a writer that stopped before its header); a file with a
// header and no records is an empty day too.
//
// Record, repeated to the end of the file:
//   offset  size  field
//        0     4  record marker 0x4352FEFF (bytes FF FE 52 43: never found in UTF-8 text)
//        4     4  record length in bytes, marker and checksum included (at least 56)
//        8     4  site identifier
//       12     8  time, UTC milliseconds since the epoch
//       20     2  server port
//       22     2  protocol status
//       24     2  protocol substatus
//       26     2  reserved, 0
//       28     4  Win32 status
//       32     4  time taken, milliseconds
//       36     8  bytes sent
//       44     8  bytes received
//       52     -  eleven texts, each a 2-byte length and that many bytes of UTF-8: client IP, user
//                 name, server IP, method, URI stem, URI query, protocol version, host, user agent,
//                 cookie, referrer (a text longer than 65535 bytes is cut at a character boundary)
//   length-4   4  checksum of bytes 4 to length-5 (everything but the marker and the checksum)
//
// Checksums are CRC-32C (Castagnoli; computed by the processor where it can) in version 2 and
// CRC-32 (IEEE 802.3) in version 1.
//
// A reader checks every record's checksum, also of the records of sites it is not looking for,
// so that damage anywhere is found and reported. A record cut off by a crash is detected: the file
// ends inside it, or its marker, length or checksum does not hold. So is a sound checksum over an
// impossible record (a time before year 1 or after 9999). The reader then searches forward from the
// byte after the damaged record's start for the next marker whose record passes its checksum, so
// a damaged record is never read as data and records appended after it (by a writer started after
// the crash) are still found. The search costs a bounded amount of work per byte, however many
// false markers claiming whatever lengths the damaged bytes hold.
//
// Writers append whole records in one write() per batch to a file opened for appending, under an
// exclusive advisory lock (flock), so the web service and velmora-machine may log into one day's
// file at the same time. A writer that opens an existing file whose last record is cut off cuts the
// file back to its last whole record before it appends.

#include <QDate>
#include <QString>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace iislog {

namespace format {
enum class Crc;
class StretchChecksums;
} // namespace format

// One request as the web service logs it.
struct LogRecord {
    qint64 timeMs = 0; // UTC, milliseconds since the epoch
    quint32 siteId = 0;
    QString clientIp;
    QString userName;
    QString serverIp;
    quint16 serverPort = 0;
    QString method;
    QString uriStem;
    QString uriQuery;
    quint16 status = 0;
    quint16 substatus = 0;
    quint32 win32Status = 0;
    quint64 bytesSent = 0;
    quint64 bytesReceived = 0;
    quint32 timeTaken = 0; // milliseconds
    QString protocolVersion;
    QString host;
    QString userAgent;
    QString cookie;
    QString referrer;

    bool operator==(const LogRecord&) const = default;
};

// One record's fields where they lie in the reader's buffer: the numbers decoded, the texts as their
// UTF-8 bytes. For readers that pass the texts on without making strings of them.
struct RecordView {
    enum Text {
        ClientIp,
        UserName,
        ServerIp,
        Method,
        UriStem,
        UriQuery,
        ProtocolVersion,
        Host,
        UserAgent,
        Cookie,
        Referrer,
        TextCount
    };
    qint64 timeMs = 0;
    quint32 siteId = 0;
    quint16 serverPort = 0;
    quint16 status = 0;
    quint16 substatus = 0;
    quint32 win32Status = 0;
    quint32 timeTaken = 0;
    quint64 bytesSent = 0;
    quint64 bytesReceived = 0;
    std::string_view text[TextCount];
};

// The file name of a UTC day's log: "raYYMMDD.ibl".
QString fileName(QDate utcDay);

// The version new files are written in; files of version 1 are read (and appended to) as well.
inline constexpr quint16 FormatVersion = 2;

// Appends records to one day's log file. Records are gathered in memory and written in one write()
// per batch: when the batch reaches its size, on flush(), and on close or destruction.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Opens (creating it and its header when missing or empty) the log file at a host path. The
    // folder must exist. An existing file with a damaged header is refused; a record cut off at the
    // file's end is cut away. utcDay goes into a new file's header.
    bool open(const QString& hostPath, QDate utcDay = {});
    bool isOpen() const { return m_fd >= 0; }
    void append(const LogRecord& record);
    // Writes the gathered records. False when a write since the last flush() failed, also one that
    // happened by itself in append() (errorString() says why, lostRecords() how many); the
    // records of a failed batch are dropped rather than written twice.
    bool flush();
    void close();
    QString errorString() const { return m_error; }
    // The records of failed writes since the last flush(), as flush() found them.
    quint64 lostRecords() const { return m_lostReported; }
    // Whether open() refused the path for being no regular file (a named pipe, a device).
    bool notAFile() const { return m_notAFile; }

    // Records gathered before a write happens by itself.
    static constexpr qsizetype BatchBytes = 256 * 1024;

private:
    bool writeBatch();

    int m_fd = -1;
    quint16 m_version = FormatVersion; // of the file appended to
    QString m_path;
    QString m_error;
    QByteArray m_batch;
    quint64 m_pending = 0;      // records in the batch
    quint64 m_lost = 0;         // records of failed batches since the last flush()
    quint64 m_lostReported = 0; // what the last flush() found lost
    bool m_notAFile = false;
};

// What a reader found at a file's start.
struct FileHeader {
    quint16 version = 0;
    quint32 day = 0; // yyyymmdd, 0 when unknown
    qint64 createdMs = 0;
};

// Reads one day's log file from start to end, optionally only one site's records.
class Reader {
public:
    enum class OpenError { None, Missing, Unreadable, DamagedHeader, NewerVersion, NotAFile };

    Reader();
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens a log file at a host path and checks its header. Anything but a regular file (a named
    // pipe, a device) is refused.
    bool open(const QString& hostPath);
    OpenError openError() const { return m_openError; }
    QString errorString() const { return m_error; }
    const FileHeader& header() const { return m_header; }

    // Opens the file another reader has open, to read it from the first sound record at or after a
    // file offset on: a part of the file read beside the other. Where it starts is no damage.
    bool openPart(const Reader& whole, qint64 from);
    // Opens the file another reader has open, to read on from exactly this offset as a reader that
    // came there would: the bytes there are checked like any record's, and damage there is damage.
    bool openAt(const Reader& whole, qint64 offset);

    // Only records of this site are returned from now on; 0 returns every site's records.
    void setSiteFilter(quint32 siteId) { m_site = siteId; }
    // Reading ends in front of the first record that starts at or after this file offset (the
    // file's end unless set).
    void setEnd(qint64 offset) { m_stopAt = offset; }
    // The file offset of the next record to look at: where a part read by openPart() started before
    // its first next(), where reading ended after next() returned false.
    qint64 position() const { return m_bufferPos + m_begin; }
    // The file's size when it was opened.
    qint64 fileSize() const { return m_fileSize; }

    // The next record (of the filtered site), or false at the end of the file or on a read error
    // (errorString() is then not empty).
    bool next(LogRecord& record);
    // The same, as a view of the record's bytes that holds until the next call.
    bool next(RecordView& record);

    // Damaged or cut-off stretches found and passed over so far.
    quint64 damagedRecords() const { return m_damaged; }
    // The bytes the reader's checksums have taken so far: a few times the bytes read, whatever the
    // file holds.
    quint64 summedBytes() const { return m_summed; }

private:
    // The next sound record of the filtered site, laid over the buffer.
    bool nextRecord(RecordView& view);
    bool fill(qsizetype need);
    bool resync(qint64 fromFilePos);
    bool seekSound(qint64 fromFilePos);
    bool openOn(const Reader& whole, qint64 from, bool exact);
    void reset();
    bool checkAhead(qsizetype size);
    bool checkLong(qsizetype size);

    int m_fd = -1;
    QString m_error;
    OpenError m_openError = OpenError::None;
    FileHeader m_header;
    quint32 m_site = 0;
    quint64 m_damaged = 0;
    std::vector<char> m_buffer;
    qsizetype m_begin = 0;  // first unread byte in the buffer
    qsizetype m_end = 0;    // end of valid bytes in the buffer
    qint64 m_bufferPos = 0; // file offset of m_buffer[0]
    bool m_eof = false;
    qint64 m_stopAt = std::numeric_limits<qint64>::max();
    qint64 m_fileSize = 0;
    format::Crc m_crc{};
    // The checksums of the stretch of the file a search for the next sound record looks at: they
    // cover the file's bytes [m_sumsFrom, m_sumsEnd).
    std::unique_ptr<format::StretchChecksums> m_sums;
    qint64 m_sumsFrom = -1;
    qint64 m_sumsEnd = -1;
    qint64 m_checkedTo = -1; // the records before this file offset passed their checksums
    quint64 m_summed = 0;
    std::vector<qint64> m_hits; // where the filtered site's records among them start
    std::size_t m_nextHit = 0;
};

// Decodes one record from its bytes (marker to checksum) as a file of that version holds it;
// nullopt when it is not a whole, sound record. Exposed for the tests and the tool.
std::optional<LogRecord> decodeRecord(const char* data, qsizetype size, quint16 version = FormatVersion);
// Lays a view over one record's bytes; false when it is not a whole, sound record.
bool viewRecord(const char* data, qsizetype size, RecordView& view, quint16 version = FormatVersion);
// Encodes one record, marker to checksum, as the newest version (or the version given) writes it,
// and appends it to out.
void encodeRecord(const LogRecord& record, QByteArray& out);
void encodeRecord(const LogRecord& record, QByteArray& out, quint16 version);

} // namespace iislog
