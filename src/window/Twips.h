#pragma once

#include <QRect>
#include <QtGlobal>

namespace window {

// The window is designed in twips: 1440 to the inch, 15 to a pixel at 96 dpi.
inline constexpr int TwipsPerPixel = 15;

constexpr int twips(int t) {
    return (t + TwipsPerPixel / 2) / TwipsPerPixel;
}
constexpr int toTwips(int pixels) {
    return pixels * TwipsPerPixel;
}
inline QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

} // namespace window
