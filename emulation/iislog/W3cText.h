#pragma once

#include <QByteArray>

#include <string_view>

namespace iislog {

// Appends one value of a W3C extended log line and the blank after it: "-" when empty, each blank
// or control character written as "+", each byte that is no UTF-8 text as "%XX", so that a value
// can neither forge a line nor a field and the log stays text whatever the request held.
void appendW3cValue(QByteArray& line, std::string_view value);
// The same written at out, which has room for w3cValueRoom(value) bytes; returns the end of what
// was written.
char* writeW3cValue(char* out, std::string_view value);
// The most bytes a value and its blank can take: three for each byte ("%XX") and two more.
inline qsizetype w3cValueRoom(std::string_view value) {
    return 3 * static_cast<qsizetype>(value.size()) + 2;
}

} // namespace iislog
