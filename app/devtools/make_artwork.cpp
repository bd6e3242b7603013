// Draws every picture of the dictionary window into a folder (app/resources/images):
// the background with its key-coloured outline, the heading, the view buttons and the
// marker, the flashcard button in both states, the round launcher buttons, the font-size
// buttons and their plate, the navigation buttons of the views, the slider thumb and the
// about picture. Run by scripts/make-artwork; the output is committed.
//
// Usage: make_artwork <fonts folder> <output folder>
// Everything is drawn with QPainter from fixed geometry and fixed colours, so a run with
// the same Qt gives the same pictures.
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>
#include <cmath>
#include <cstdio>

namespace {

// Palette.
const QColor kKey(25, 8, 192);       // the window's colour key
const QColor kAmber(255, 197, 50);   // view panels
const QColor kOrange(255, 141, 13);  // transparency slider
const QColor kDeepOrange(214, 96, 8);
const QColor kBrown(110, 40, 4);
const QColor kDarkBrown(62, 22, 2);
const QColor kCream(255, 244, 214);
const QColor kGold(255, 222, 120);
const QColor kRed(196, 48, 22);

QString g_family;

QFont Font(double pixels, int weight = QFont::Normal) {
  QFont f(g_family);
  f.setPixelSize(static_cast<int>(std::lround(pixels)));
  f.setWeight(static_cast<QFont::Weight>(weight));
  f.setHintingPreference(QFont::PreferNoHinting);
  return f;
}

QImage Canvas(int w, int h, QColor fill = Qt::transparent) {
  QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
  img.fill(fill);
  return img;
}

void Begin(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
}

// Text with a soft one-pixel shadow.
void ShadowText(QPainter& p, const QRectF& r, int flags, const QString& text, const QColor& c,
                const QColor& shadow = QColor(0, 0, 0, 110), QPointF offset = {1, 1.2}) {
  p.setPen(shadow);
  p.drawText(r.translated(offset), flags, text);
  p.setPen(c);
  p.drawText(r, flags, text);
}

// A glossy orange disc, the face of every round button.
void GlossyDisc(QPainter& p, QPointF c, double r, QColor top = QColor(255, 176, 52),
                QColor bottom = QColor(222, 98, 6), QColor rim = kDarkBrown) {
  // drop shadow
  QRadialGradient shadow(c + QPointF(0, r * 0.12), r * 1.12);
  shadow.setColorAt(0.80, QColor(0, 0, 0, 90));
  shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(shadow);
  p.drawEllipse(c + QPointF(0, r * 0.12), r * 1.12, r * 1.12);
  QLinearGradient g(c.x(), c.y() - r, c.x(), c.y() + r);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  p.setBrush(g);
  p.setPen(QPen(rim, std::max(1.0, r / 18.0)));
  p.drawEllipse(c, r, r);
  // highlight
  QLinearGradient h(c.x(), c.y() - r, c.x(), c.y());
  h.setColorAt(0, QColor(255, 255, 255, 150));
  h.setColorAt(1, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(h);
  p.drawEllipse(QRectF(c.x() - r * 0.72, c.y() - r * 0.92, r * 1.44, r * 0.95));
}

// ---- writers ----------------------------------------------------------------------------

// A 32-bit BMP (BITMAPV5HEADER, BI_BITFIELDS with an alpha mask), bottom-up rows.
bool SaveBmp32(const QImage& source, const QString& file) {
  const QImage img = source.convertToFormat(QImage::Format_ARGB32);
  const quint32 header = 14, info = 124, pixels = quint32(img.width() * img.height() * 4);
  QByteArray out;
  out.reserve(int(header + info + pixels));
  auto u16 = [&](quint16 v) {
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
  };
  auto u32 = [&](quint32 v) {
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
  };
  out.append("BM", 2);
  u32(header + info + pixels);
  u32(0);
  u32(header + info);
  u32(info);
  u32(quint32(img.width()));
  u32(quint32(img.height()));  // positive: bottom-up
  u16(1);
  u16(32);
  u32(3);  // BI_BITFIELDS
  u32(pixels);
  u32(2835);  // 72 dpi
  u32(2835);
  u32(0);
  u32(0);
  u32(0x00FF0000);                     // red
  u32(0x0000FF00);                     // green
  u32(0x000000FF);                     // blue
  u32(0xFF000000);                     // alpha
  u32(0x73524742);                     // LCS_sRGB
  for (int i = 0; i < 9; ++i) u32(0);  // endpoints
  u32(0);
  u32(0);
  u32(0);  // gamma
  u32(4);  // LCS_GM_IMAGES
  u32(0);
  u32(0);
  u32(0);  // profile data, size, reserved
  for (int y = img.height() - 1; y >= 0; --y) {
    const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < img.width(); ++x) u32(line[x]);
  }
  QFile f(file);
  if (!f.open(QIODevice::WriteOnly)) return false;
  return f.write(out) == out.size();
}

QString g_out;
int g_failures = 0;

void Save(const QImage& img, const char* name, int w, int h) {
  if (img.width() != w || img.height() != h) {
    std::fprintf(stderr, "%s: drawn %dx%d, wanted %dx%d\n", name, img.width(), img.height(), w, h);
    ++g_failures;
    return;
  }
  const QString file = g_out + u'/' + QString::fromLatin1(name);
  bool ok = false;
  if (file.endsWith(u".bmp")) {
    ok = SaveBmp32(img, file);
  } else if (file.endsWith(u".jpg")) {
    ok = img.convertToFormat(QImage::Format_RGB32).save(file, "JPEG", 90);
  } else {
    ok = img.convertToFormat(QImage::Format_ARGB32).save(file, "PNG", 9);
  }
  if (!ok) {
    std::fprintf(stderr, "%s: cannot write\n", qPrintable(file));
    ++g_failures;
  }
}

// ---- the logo: an open book on an amber disc ----------------------------------------------

void Logo(QPainter& p, QPointF c, double r) {
  GlossyDisc(p, c, r, QColor(255, 214, 96), QColor(236, 128, 10));
  const double w = r * 1.2, h = r * 0.78;
  const QPointF spine(c.x(), c.y() + h * 0.42);
  auto page = [&](int side) {
    QPainterPath path;
    path.moveTo(spine);
    path.cubicTo(spine + QPointF(side * w * 0.25, -h * 0.18),
                 spine + QPointF(side * w * 0.55, -h * 0.12),
                 spine + QPointF(side * w * 0.5, -h * 0.02));
    path.lineTo(spine + QPointF(side * w * 0.5, -h * 1.0));
    path.cubicTo(spine + QPointF(side * w * 0.55, -h * 1.1),
                 spine + QPointF(side * w * 0.25, -h * 1.16), spine + QPointF(0, -h * 0.98));
    path.closeSubpath();
    return path;
  };
  p.setPen(QPen(kDarkBrown, std::max(1.0, r / 16.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(kCream);
  p.drawPath(page(-1));
  p.drawPath(page(+1));
  // lines of text on the pages
  p.setPen(QPen(QColor(178, 96, 20), std::max(0.8, r / 26.0), Qt::SolidLine, Qt::RoundCap));
  for (int i = 0; i < 3; ++i) {
    const double y = spine.y() - h * (0.75 - i * 0.2);
    p.drawLine(QPointF(c.x() - w * 0.40, y - h * 0.02), QPointF(c.x() - w * 0.1, y + h * 0.03));
    p.drawLine(QPointF(c.x() + w * 0.1, y + h * 0.03), QPointF(c.x() + w * 0.40, y - h * 0.02));
  }
}

// ---- the background -----------------------------------------------------------------------

QPainterPath BodyOutline() {
  QPainterPath card, main, tab;
  card.addRoundedRect(QRectF(1, 4, 446, 350), 26, 26);
  main.addRoundedRect(QRectF(1, 42, 736, 459), 34, 34);
  tab.addRoundedRect(QRectF(466, 1, 271, 120), 30, 30);
  return card.united(main).united(tab).simplified();
}

QImage Background() {
  const int W = 738, H = 502;
  const QPainterPath body = BodyOutline();
  QImage art = Canvas(W, H);
  {
    QPainter p(&art);
    Begin(p);
    QLinearGradient g(0, 0, W * 0.35, H);
    g.setColorAt(0.0, QColor(238, 126, 18));
    g.setColorAt(0.55, QColor(176, 68, 8));
    g.setColorAt(1.0, QColor(98, 34, 4));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawPath(body);
    p.setClipPath(body);
    // soft light spots
    auto glow = [&](QPointF c, double r, int alpha) {
      QRadialGradient rg(c, r);
      rg.setColorAt(0, QColor(255, 220, 130, alpha));
      rg.setColorAt(1, QColor(255, 220, 130, 0));
      p.setBrush(rg);
      p.drawEllipse(c, r, r);
    };
    glow({610, 40}, 190, 90);
    glow({690, 300}, 150, 40);
    glow({120, 470}, 160, 30);
    // fine diagonal weave
    p.setPen(QPen(QColor(255, 255, 255, 10), 1));
    for (int x = -H; x < W; x += 7) p.drawLine(x, 0, x + H, H);
    // the bottom shelf under the launcher buttons
    QPainterPath shelf;
    shelf.addRoundedRect(QRectF(14, 388, 710, 104), 22, 22);
    QLinearGradient sg(0, 388, 0, 492);
    sg.setColorAt(0, QColor(60, 20, 2, 150));
    sg.setColorAt(1, QColor(40, 12, 0, 185));
    p.setPen(QPen(QColor(255, 206, 110, 120), 1.5));
    p.setBrush(sg);
    p.drawPath(shelf);
    // the frame around the view panels
    QPainterPath frame;
    frame.addRoundedRect(QRectF(8, 8, 426, 324), 16, 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawPath(frame.translated(0, 3));
    QLinearGradient fg(0, 8, 0, 332);
    fg.setColorAt(0, QColor(255, 226, 140));
    fg.setColorAt(1, QColor(226, 150, 30));
    p.setBrush(fg);
    p.setPen(QPen(kDarkBrown, 1.5));
    p.drawPath(frame);
    QLinearGradient inset(0, 14, 0, 326);
    inset.setColorAt(0, QColor(170, 86, 10));
    inset.setColorAt(1, QColor(206, 124, 16));
    p.setPen(QPen(QColor(120, 48, 4), 1));
    p.setBrush(inset);
    p.drawRoundedRect(QRectF(14, 14, 414, 312), 11, 11);
    // the right column behind the view buttons and the flashcard button
    QPainterPath column;
    column.addRoundedRect(QRectF(500, 104, 226, 228), 18, 18);
    p.setBrush(QColor(255, 236, 180, 34));
    p.setPen(QPen(QColor(255, 220, 140, 90), 1.2));
    p.drawPath(column);
    // the plate behind the clock, the dates and the slider
    p.setBrush(QColor(0, 0, 0, 60));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(34, 398, 184, 88), 14, 14);
    // small print at the foot of the column
    p.setFont(Font(11));
    ShadowText(p, QRectF(500, 336, 226, 20), Qt::AlignCenter,
               QStringLiteral("English  ⇄  فارسی  ·  portable"), QColor(255, 236, 196, 200));
    // outline
    p.setClipping(false);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 214, 120), 1.4));
    p.drawPath(body.translated(0, 0));
  }
  // Binary colour key: every pixel is either opaque body or exactly the key colour, so no
  // half-keyed fringe survives along the outline.
  QImage out(W, H, QImage::Format_ARGB32);
  const QImage src = art.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < H; ++y) {
    const auto* s = reinterpret_cast<const QRgb*>(src.constScanLine(y));
    auto* d = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < W; ++x) {
      const int a = qAlpha(s[x]);
      if (a < 128) {
        d[x] = kKey.rgb();
      } else {
        // Edge pixels: finish them over the outline's dark colour.
        const double f = a / 255.0;
        d[x] = qRgb(int(qRed(s[x]) * f + kDarkBrown.red() * (1 - f)),
                    int(qGreen(s[x]) * f + kDarkBrown.green() * (1 - f)),
                    int(qBlue(s[x]) * f + kDarkBrown.blue() * (1 - f)));
        if ((d[x] & 0xffffff) == (kKey.rgb() & 0xffffff)) d[x] ^= 1;  // never the key by chance
      }
    }
  }
  return out;
}

// ---- heading ----------------------------------------------------------------------------

QImage Heading() {
  QImage img = Canvas(256, 95);
  QPainter p(&img);
  Begin(p);
  Logo(p, {40, 44}, 33);
  p.setFont(Font(36, QFont::Black));
  ShadowText(p, QRectF(80, 2, 176, 46), Qt::AlignLeft | Qt::AlignBottom, QStringLiteral("Nilvar"),
             kCream, QColor(60, 20, 0, 150), {1.5, 2});
  p.setFont(Font(21, QFont::Bold));
  ShadowText(p, QRectF(81, 44, 176, 28), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Dictionary"), kGold, QColor(60, 20, 0, 150), {1, 1.5});
  p.setFont(Font(12));
  ShadowText(p, QRectF(81, 70, 172, 22), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("فرهنگ انگلیسی و فارسی"), QColor(255, 236, 200),
             QColor(60, 20, 0, 140));
  return img;
}

// ---- view buttons and marker --------------------------------------------------------------

QImage ViewButton(const QString& title, const QString& subtitle, const QString& badge) {
  QImage img = Canvas(174, 53);
  QPainter p(&img);
  Begin(p);
  const QRectF pill(2, 2, 168, 46);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 80));
  p.drawRoundedRect(pill.translated(1.5, 3), 23, 23);
  QLinearGradient g(0, pill.top(), 0, pill.bottom());
  g.setColorAt(0, QColor(255, 224, 120));
  g.setColorAt(0.5, kAmber);
  g.setColorAt(1, QColor(240, 150, 20));
  p.setBrush(g);
  p.setPen(QPen(kDarkBrown, 1.3));
  p.drawRoundedRect(pill, 23, 23);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 90));
  p.drawRoundedRect(QRectF(14, 5, 144, 16), 8, 8);
  // badge
  GlossyDisc(p, {25, 25}, 17, QColor(150, 62, 8), QColor(92, 32, 2), kDarkBrown);
  p.setFont(Font(badge.at(0).unicode() < 0x80 ? 13 : 15, QFont::Bold));
  p.setPen(kCream);
  p.drawText(QRectF(8, 7, 34, 34), Qt::AlignCenter, badge);
  p.setFont(Font(14, QFont::Bold));
  p.setPen(kDarkBrown);
  p.drawText(QRectF(46, 4, 120, 24), Qt::AlignCenter, title);
  p.setFont(Font(12));
  p.setPen(QColor(110, 44, 4));
  p.drawText(QRectF(46, 24, 120, 20), Qt::AlignCenter, subtitle);
  return img;
}

QImage Marker() {
  QImage img = Canvas(35, 35);
  QPainter p(&img);
  Begin(p);
  GlossyDisc(p, {17.5, 16.5}, 14, QColor(255, 250, 230), QColor(255, 206, 90), kDarkBrown);
  QPainterPath arrow;
  arrow.moveTo(9.5, 16.5);
  arrow.lineTo(21, 9);
  arrow.lineTo(21, 24);
  arrow.closeSubpath();
  p.setPen(QPen(QColor(160, 60, 4), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(kOrange);
  p.drawPath(arrow);
  return img;
}

// ---- flashcard button -------------------------------------------------------------------

QImage FlashcardButton(bool selected) {
  QImage img = Canvas(100, 100);
  QPainter p(&img);
  Begin(p);
  if (selected) {
    QRadialGradient halo(50, 42, 48);
    halo.setColorAt(0.55, QColor(255, 236, 150, 170));
    halo.setColorAt(1, QColor(255, 236, 150, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(QPointF(50, 42), 48, 48);
  }
  auto card = [&](QPointF c, double angle, const QColor& fill, const QString& text, bool front) {
    p.save();
    p.translate(c);
    p.rotate(angle);
    const QRectF r(-26, -18, 52, 36);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawRoundedRect(r.translated(1.5, 2.5), 5, 5);
    p.setBrush(fill);
    p.setPen(QPen(kDarkBrown, 1.4));
    p.drawRoundedRect(r, 5, 5);
    if (front) {
      p.setPen(QPen(QColor(230, 120, 20), 1.2));
      p.drawLine(QPointF(-20, -8), QPointF(20, -8));
      p.setFont(Font(15, QFont::Bold));
      p.setPen(kBrown);
      p.drawText(QRectF(-26, -8, 52, 26), Qt::AlignCenter, text);
    }
    p.restore();
  };
  card({42, 38}, -14, selected ? QColor(255, 214, 96) : QColor(236, 168, 48), {}, false);
  card({56, 36}, 10, selected ? QColor(255, 236, 170) : QColor(246, 200, 110), {}, false);
  card({50, 42}, -2, selected ? QColor(255, 252, 236) : kCream, QStringLiteral("A ⇄ آ"), true);
  p.setFont(Font(14, QFont::Bold));
  ShadowText(p, QRectF(0, 68, 100, 26), Qt::AlignCenter, QStringLiteral("Flashcards"),
             selected ? QColor(255, 250, 220) : QColor(255, 226, 160), QColor(40, 12, 0, 170));
  if (selected) {
    p.setPen(Qt::NoPen);
    p.setBrush(kCream);
    p.drawRoundedRect(QRectF(26, 94, 48, 4), 2, 2);
  }
  return img;
}

// ---- round launcher buttons ---------------------------------------------------------------

using Glyph = void (*)(QPainter&, QPointF, double);

QPen GlyphPen(double w) { return QPen(kCream, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin); }

void PowerGlyph(QPainter& p, QPointF c, double r) {
  p.setPen(GlyphPen(r * 0.16));
  p.setBrush(Qt::NoBrush);
  const QRectF ring(c.x() - r * 0.55, c.y() - r * 0.5, r * 1.1, r * 1.1);
  p.drawArc(ring, 125 * 16, 290 * 16);
  p.drawLine(QPointF(c.x(), c.y() - r * 0.7), QPointF(c.x(), c.y() - r * 0.05));
}

void HelpGlyph(QPainter& p, QPointF c, double r) {
  p.setFont(Font(r * 1.35, QFont::Black));
  p.setPen(kCream);
  p.drawText(QRectF(c.x() - r, c.y() - r * 1.05, 2 * r, 2 * r), Qt::AlignCenter,
             QStringLiteral("?"));
}

void AboutGlyph(QPainter& p, QPointF c, double r) {
  p.setPen(Qt::NoPen);
  p.setBrush(kCream);
  p.drawEllipse(QPointF(c.x(), c.y() - r * 0.52), r * 0.13, r * 0.13);
  p.drawRoundedRect(QRectF(c.x() - r * 0.11, c.y() - r * 0.25, r * 0.22, r * 0.85), r * 0.08,
                    r * 0.08);
  p.drawRoundedRect(QRectF(c.x() - r * 0.26, c.y() + r * 0.48, r * 0.52, r * 0.14), r * 0.06,
                    r * 0.06);
  p.drawRoundedRect(QRectF(c.x() - r * 0.26, c.y() - r * 0.25, r * 0.3, r * 0.13), r * 0.06,
                    r * 0.06);
}

void ContactGlyph(QPainter& p, QPointF c, double r) {
  const QRectF env(c.x() - r * 0.6, c.y() - r * 0.4, r * 1.2, r * 0.82);
  p.setPen(GlyphPen(r * 0.09));
  p.setBrush(QColor(255, 244, 214, 60));
  p.drawRoundedRect(env, r * 0.08, r * 0.08);
  QPainterPath flap;
  flap.moveTo(env.topLeft() + QPointF(r * 0.04, r * 0.04));
  flap.lineTo(env.center().x(), env.top() + env.height() * 0.55);
  flap.lineTo(env.topRight() + QPointF(-r * 0.04, r * 0.04));
  p.setBrush(Qt::NoBrush);
  p.drawPath(flap);
}

void GrammarGlyph(QPainter& p, QPointF c, double r) {
  const QRectF book(c.x() - r * 0.5, c.y() - r * 0.6, r * 1.0, r * 1.2);
  p.setPen(GlyphPen(r * 0.08));
  p.setBrush(QColor(255, 244, 214, 50));
  p.drawRoundedRect(book, r * 0.08, r * 0.08);
  p.drawLine(QPointF(book.left() + r * 0.18, book.top()),
             QPointF(book.left() + r * 0.18, book.bottom()));
  p.setFont(Font(r * 0.62, QFont::Black));
  p.setPen(kCream);
  p.drawText(book.adjusted(r * 0.18, 0, 0, 0), Qt::AlignCenter, QStringLiteral("Aa"));
}

QImage RoundButton(Glyph glyph, const QString& caption, bool danger = false) {
  QImage img = Canvas(80, 80);
  QPainter p(&img);
  Begin(p);
  const QPointF c(40, 31);
  const double r = 25;
  if (danger) {
    GlossyDisc(p, c, r, QColor(240, 96, 54), QColor(168, 30, 10));
  } else {
    GlossyDisc(p, c, r);
  }
  glyph(p, c, r);
  p.setFont(Font(12, QFont::Bold));
  ShadowText(p, QRectF(0, 58, 80, 20), Qt::AlignCenter, caption, kCream, QColor(0, 0, 0, 160));
  return img;
}

// ---- font-size controls -------------------------------------------------------------------

QImage FontPlate() {
  QImage img = Canvas(80, 80);
  QPainter p(&img);
  Begin(p);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 70));
  p.drawRoundedRect(QRectF(4, 5, 74, 74), 16, 16);
  QLinearGradient g(0, 2, 0, 78);
  g.setColorAt(0, QColor(130, 54, 6, 230));
  g.setColorAt(1, QColor(80, 28, 2, 230));
  p.setBrush(g);
  p.setPen(QPen(QColor(255, 206, 110, 160), 1.2));
  p.drawRoundedRect(QRectF(2, 2, 74, 74), 16, 16);
  return img;
}

QImage FontButton(int w, int h, double letter, const QString& sign) {
  QImage img = Canvas(w, h);
  QPainter p(&img);
  Begin(p);
  const QRectF r(3, 3, w - 7, h - 8);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 80));
  p.drawRoundedRect(r.translated(1, 2.5), r.height() / 2, r.height() / 2);
  QLinearGradient g(0, r.top(), 0, r.bottom());
  g.setColorAt(0, QColor(255, 222, 120));
  g.setColorAt(1, QColor(244, 150, 22));
  p.setBrush(g);
  p.setPen(QPen(kDarkBrown, 1.2));
  p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
  p.setFont(Font(letter, QFont::Black));
  p.setPen(kDarkBrown);
  QFontMetricsF fm(p.font());
  const double aw = fm.horizontalAdvance(QStringLiteral("A"));
  const double sw = letter * 0.55;
  const double x0 = r.center().x() - (aw + 3 + sw) / 2;
  p.drawText(QRectF(x0, r.top(), aw + 2, r.height() - 1), Qt::AlignCenter, QStringLiteral("A"));
  p.setPen(QPen(kDarkBrown, std::max(2.0, letter / 9), Qt::SolidLine, Qt::RoundCap));
  const QPointF sc(x0 + aw + 3 + sw / 2, r.center().y());
  p.drawLine(sc - QPointF(sw / 2, 0), sc + QPointF(sw / 2, 0));
  if (sign == u"+") p.drawLine(sc - QPointF(0, sw / 2), sc + QPointF(0, sw / 2));
  return img;
}

// ---- navigation, insert and delete buttons --------------------------------------------------

enum class Nav { kFirst, kPrevious, kNext, kLast };

QImage NavButton(Nav kind) {
  QImage img = Canvas(32, 32);
  QPainter p(&img);
  Begin(p);
  const QPointF c(16, 15.5);
  GlossyDisc(p, c, 13.5);
  const bool back = kind == Nav::kFirst || kind == Nav::kPrevious;
  const bool end = kind == Nav::kFirst || kind == Nav::kLast;
  const double s = back ? -1 : 1;
  const double shift = end ? -2.2 * s : 0;
  QPainterPath tri;
  tri.moveTo(c.x() + shift + s * 6, c.y());
  tri.lineTo(c.x() + shift - s * 4.5, c.y() - 6.5);
  tri.lineTo(c.x() + shift - s * 4.5, c.y() + 6.5);
  tri.closeSubpath();
  p.setPen(QPen(kCream, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(kCream);
  p.drawPath(tri);
  if (end) {
    p.setPen(QPen(kCream, 2.6, Qt::SolidLine, Qt::RoundCap));
    const double bx = c.x() + shift + s * 8.2;
    p.drawLine(QPointF(bx, c.y() - 6.5), QPointF(bx, c.y() + 6.5));
  }
  return img;
}

QImage InsertButton() {
  QImage img = Canvas(40, 40);
  QPainter p(&img);
  Begin(p);
  // a card with a plus badge
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 70));
  p.drawRoundedRect(QRectF(4, 9, 27, 21), 3.5, 3.5);
  p.setBrush(kCream);
  p.setPen(QPen(kDarkBrown, 1.3));
  p.drawRoundedRect(QRectF(2.5, 7, 27, 21), 3.5, 3.5);
  p.setPen(QPen(QColor(230, 120, 20), 1.3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(7, 13), QPointF(23, 13));
  p.drawLine(QPointF(7, 18), QPointF(19, 18));
  p.drawLine(QPointF(7, 23), QPointF(16, 23));
  const QPointF c(28.5, 27.5);
  GlossyDisc(p, c, 9.5, QColor(120, 196, 60), QColor(52, 128, 20), QColor(24, 64, 8));
  p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(c - QPointF(4.5, 0), c + QPointF(4.5, 0));
  p.drawLine(c - QPointF(0, 4.5), c + QPointF(0, 4.5));
  return img;
}

QImage DeleteButton() {
  QImage img = Canvas(32, 32);
  QPainter p(&img);
  Begin(p);
  const QPointF c(16, 15.5);
  GlossyDisc(p, c, 13.5, QColor(240, 96, 54), kRed, QColor(90, 14, 2));
  p.setPen(QPen(kCream, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(c + QPointF(-5, -5), c + QPointF(5, 5));
  p.drawLine(c + QPointF(5, -5), c + QPointF(-5, 5));
  return img;
}

// ---- slider thumb -------------------------------------------------------------------------

QImage SliderThumb() {
  QImage img = Canvas(18, 17);
  QPainter p(&img);
  Begin(p);
  const QRectF r(1, 0.5, 16, 15.5);
  QLinearGradient g(0, 0, 0, 16);
  g.setColorAt(0, QColor(255, 252, 240));
  g.setColorAt(1, QColor(255, 214, 120));
  p.setBrush(g);
  p.setPen(QPen(kDarkBrown, 1.1));
  p.drawRoundedRect(r, 4, 4);
  p.setPen(QPen(QColor(176, 80, 8), 1.1));
  for (double x : {6.5, 9.0, 11.5}) p.drawLine(QPointF(x, 4.5), QPointF(x, 12));
  return img;
}

// ---- about picture ------------------------------------------------------------------------

QImage AboutPicture() {
  const int W = 395, H = 303;
  QImage img = Canvas(W, H, QColor(122, 50, 6));
  QPainter p(&img);
  Begin(p);
  QLinearGradient g(0, 0, W * 0.3, H);
  g.setColorAt(0, QColor(255, 226, 140));
  g.setColorAt(0.6, kAmber);
  g.setColorAt(1, QColor(244, 150, 24));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRect(0, 0, W, H);
  QRadialGradient light(300, 40, 220);
  light.setColorAt(0, QColor(255, 255, 255, 110));
  light.setColorAt(1, QColor(255, 255, 255, 0));
  p.setBrush(light);
  p.drawRect(0, 0, W, H);
  p.setPen(QPen(QColor(255, 255, 255, 26), 1));
  for (int x = -H; x < W; x += 8) p.drawLine(x, 0, x + H, H);

  Logo(p, {72, 80}, 46);
  p.setFont(Font(40, QFont::Black));
  ShadowText(p, QRectF(130, 28, 260, 50), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Nilvar"), kDarkBrown, QColor(255, 255, 255, 120), {0, 1.5});
  p.setFont(Font(23, QFont::Bold));
  ShadowText(p, QRectF(132, 74, 260, 32), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Dictionary"), kBrown, QColor(255, 255, 255, 110), {0, 1});
  p.setFont(Font(13, QFont::Bold));
  p.setPen(QColor(150, 62, 6));
  p.drawText(QRectF(134, 106, 250, 20), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Version 2.0.0.1  ·  portable"));

  p.setPen(QPen(QColor(122, 50, 6, 120), 1.2));
  p.drawLine(QPointF(24, 146), QPointF(W - 24, 146));

  p.setFont(Font(15, QFont::Bold));
  p.setPen(kDarkBrown);
  p.drawText(QRectF(20, 154, W - 40, 24), Qt::AlignCenter,
             QStringLiteral("A two-way English – Persian dictionary"));
  p.setFont(Font(16, QFont::Bold));
  p.drawText(QRectF(20, 180, W - 40, 28), Qt::AlignCenter,
             QStringLiteral("فرهنگ دوسویه انگلیسی – فارسی"));
  p.setFont(Font(12.5));
  p.setPen(QColor(92, 34, 2));
  p.drawText(QRectF(20, 214, W - 40, 20), Qt::AlignCenter,
             QStringLiteral("Look up words as you type, keep your own flashcards,"));
  p.drawText(QRectF(20, 232, W - 40, 20), Qt::AlignCenter,
             QStringLiteral("and read today's date in both calendars."));
  p.setFont(Font(11));
  p.setPen(QColor(122, 50, 6));
  p.drawText(QRectF(20, 266, W - 40, 18), Qt::AlignCenter,
             QStringLiteral("Word list: Wiktionary contributors, CC BY-SA 3.0 / GFDL"));
  p.drawText(QRectF(20, 282, W - 40, 18), Qt::AlignCenter,
             QStringLiteral("Lettering: Vazirmatn (SIL Open Font License 1.1)"));
  return img;
}

}  // namespace

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_artwork <fonts folder> <output folder>\n");
    return 2;
  }
  const QString fonts = QString::fromLocal8Bit(argv[1]);
  g_out = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(g_out);
  for (const char* f : {"Vazirmatn-Regular.ttf", "Vazirmatn-Bold.ttf", "Vazirmatn-Black.ttf"}) {
    const int id = QFontDatabase::addApplicationFont(fonts + u'/' + QString::fromLatin1(f));
    if (id < 0) {
      std::fprintf(stderr, "cannot load font %s\n", f);
      return 1;
    }
    if (g_family.isEmpty()) g_family = QFontDatabase::applicationFontFamilies(id).value(0);
  }

  Save(Background(), "background.bmp", 738, 502);
  Save(Heading(), "heading.png", 256, 95);
  Save(ViewButton(QStringLiteral("English – Persian"), QStringLiteral("انگلیسی به فارسی"),
                  QStringLiteral("En")),
       "view_english_persian.png", 174, 53);
  Save(ViewButton(QStringLiteral("Persian – English"), QStringLiteral("فارسی به انگلیسی"),
                  QStringLiteral("فا")),
       "view_persian_english.png", 174, 53);
  Save(Marker(), "marker.png", 35, 35);
  Save(FlashcardButton(false), "flashcard.png", 100, 100);
  Save(FlashcardButton(true), "flashcard_selected.png", 100, 100);
  Save(RoundButton(PowerGlyph, QStringLiteral("Exit"), true), "exit.png", 80, 80);
  Save(RoundButton(HelpGlyph, QStringLiteral("Help")), "help.png", 80, 80);
  Save(RoundButton(GrammarGlyph, QStringLiteral("Grammar")), "grammar.png", 80, 80);
  Save(RoundButton(ContactGlyph, QStringLiteral("Contact")), "contact.png", 80, 80);
  Save(RoundButton(AboutGlyph, QStringLiteral("About")), "about.png", 80, 80);
  Save(FontPlate(), "font_plate.png", 80, 80);
  Save(FontButton(51, 39, 15, QStringLiteral("-")), "font_smaller.png", 51, 39);
  Save(FontButton(71, 39, 24, QStringLiteral("+")), "font_larger.png", 71, 39);
  Save(NavButton(Nav::kFirst), "nav_first.png", 32, 32);
  Save(NavButton(Nav::kPrevious), "nav_previous.png", 32, 32);
  Save(NavButton(Nav::kNext), "nav_next.png", 32, 32);
  Save(NavButton(Nav::kLast), "nav_last.png", 32, 32);
  Save(InsertButton(), "flashcard_insert.png", 40, 40);
  Save(DeleteButton(), "flashcard_delete.png", 32, 32);
  Save(SliderThumb(), "slider_thumb.bmp", 18, 17);
  Save(AboutPicture(), "about_picture.jpg", 395, 303);
  return g_failures == 0 ? 0 : 1;
}
