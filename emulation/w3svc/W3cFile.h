#pragma once

#include <QByteArray>
#include <QString>

#include <string_view>

namespace w3svc {

// One W3C extended log file, appended to in whole lines. Lines gather in memory and go out in one
// write() each batch, so that a crash leaves at most the last line torn; a file whose last line a
// crash tore is ended with CRLF before anything is appended.
class W3cFile {
public:
    W3cFile() = default;
    ~W3cFile();
    W3cFile(const W3cFile&) = delete;
    W3cFile& operator=(const W3cFile&) = delete;

    // Opens (creating) the file at a host path for appending; the header is written when given.
    bool open(const QString& hostPath, const QByteArray& header);
    bool isOpen() const { return m_fd >= 0; }
    void append(const QByteArray& line);
    void flush();
    void close();

    static constexpr qsizetype BatchBytes = 64 * 1024;

private:
    int m_fd = -1;
    QByteArray m_pending;
};

// One field of a W3C line and the blank after it: "-" when empty, each blank or control
// character (of ASCII and of Unicode, as the log tool writes them) as "+", so that no value can
// end a line or shift the fields.
void appendW3cField(QByteArray& line, std::string_view utf8);
void appendW3cField(QByteArray& line, const QString& value);

} // namespace w3svc
