// The window's colour key: pixels of exactly RGB(25, 8, 192) in the background picture are
// fully transparent and let mouse clicks through to what lies beneath the window.
#pragma once

#include <QColor>
#include <QImage>
#include <QRegion>

namespace nilvar {

inline constexpr QRgb kColourKey = qRgb(25, 8, 192);

// True when a pixel has exactly the key's red, green and blue (its alpha is ignored).
inline bool IsKeyPixel(QRgb pixel) { return (pixel & 0x00ffffffu) == (kColourKey & 0x00ffffffu); }

// The picture with every key pixel made fully transparent (ARGB32, premultiplied).
QImage ApplyColourKey(const QImage& picture);

// The part of the picture that is not key-coloured: the window's shape.
QRegion OpaqueRegion(const QImage& picture);

}  // namespace nilvar
