#include "app/colour_key.h"

#include <QList>
#include <QPair>

namespace nilvar {

QImage ApplyColourKey(const QImage& picture) {
  QImage out = picture.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      if (IsKeyPixel(line[x])) line[x] = 0;
    }
  }
  return out.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QRegion OpaqueRegion(const QImage& picture) {
  const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
  // Runs of non-key pixels per row; rows with the same runs as the row above extend that
  // band downwards, which keeps the rectangles in the banded order QRegion expects.
  QList<QRect> rects;
  QList<QPair<int, int>> band, row;
  int band_top = 0;
  auto close_band = [&](int bottom) {
    for (const auto& [left, right] : band)
      rects.append(QRect(left, band_top, right - left, bottom - band_top));
  };
  for (int y = 0; y < argb.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    row.clear();
    for (int x = 0; x < argb.width();) {
      if (IsKeyPixel(line[x])) {
        ++x;
        continue;
      }
      const int left = x;
      while (x < argb.width() && !IsKeyPixel(line[x])) ++x;
      row.append({left, x});
    }
    if (y == 0 || row != band) {
      if (y > 0) close_band(y);
      band = row;
      band_top = y;
    }
  }
  close_band(argb.height());
  QRegion region;
  region.setRects(rects.constData(), static_cast<int>(rects.size()));
  return region;
}

}  // namespace nilvar
