#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// The system's ANSI code page, 936 (GBK) on a Chinese-edition Windows.
QString fromAnsi(const QByteArray& bytes);
// Characters that code page 936 cannot hold become "?", as WideCharToMultiByte makes them.
QByteArray toAnsi(const QString& text);
// The longest prefix of at most maxBytes bytes that does not end inside a double-byte character.
QByteArray truncateAnsi(const QByteArray& bytes, int maxBytes);

} // namespace platform
