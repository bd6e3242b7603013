#include "app/help_document.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <stdexcept>

namespace nilvar {
namespace {

constexpr char kBoundary[] = "----=_NextPart_NilvarHelp_2_0_0_1";
// Where the parts say they come from; the page's relative picture names resolve against it.
constexpr char kLocation[] = "file:///nilvar-help/";
constexpr int kBase64Line = 76;

QByteArray MediaType(const QString& file_name) {
  const QString suffix = QFileInfo(file_name).suffix().toLower();
  if (suffix == u"png") return "image/png";
  if (suffix == u"jpg" || suffix == u"jpeg") return "image/jpeg";
  if (suffix == u"bmp") return "image/bmp";
  if (suffix == u"gif") return "image/gif";
  if (suffix == u"svg") return "image/svg+xml";
  return "application/octet-stream";
}

// Base64 in lines of 76 characters, each ended by CRLF.
QByteArray Base64Lines(const QByteArray& bytes) {
  const QByteArray text = bytes.toBase64();
  QByteArray out;
  out.reserve(text.size() + text.size() / kBase64Line * 2 + 2);
  for (qsizetype at = 0; at < text.size(); at += kBase64Line) {
    out += text.mid(at, kBase64Line);
    out += "\r\n";
  }
  return out;
}

void AppendPart(QByteArray& out, const QByteArray& type, const QByteArray& location, const QByteArray& body) {
  out += "--";
  out += kBoundary;
  out += "\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: base64\r\nContent-Location: " + location +
         "\r\n\r\n";
  out += Base64Lines(body);
  out += "\r\n";
}

}  // namespace

QStringList PicturesOfPage(const QString& html) {
  static const QRegularExpression image(QStringLiteral(R"re(<img\b[^>]*\bsrc\s*=\s*"([^"]+)")re"),
                                        QRegularExpression::CaseInsensitiveOption);
  QStringList names;
  for (auto it = image.globalMatch(html); it.hasNext();) {
    const QString name = it.next().captured(1);
    if (!names.contains(name)) names << name;
  }
  return names;
}

QByteArray MimeHtmlDocument(const QString& html, const QStringList& picture_folders) {
  QByteArray out;
  out += "From: <Saved by Nilvar Dictionary>\r\n"
         "Subject: Nilvar Dictionary - Help\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/related;\r\n\ttype=\"text/html\";\r\n\tboundary=\"";
  out += kBoundary;
  out += "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n";
  AppendPart(out, "text/html; charset=\"utf-8\"", QByteArray(kLocation) + "index.html", html.toUtf8());
  for (const QString& name : PicturesOfPage(html)) {
    QByteArray bytes;
    bool found = false;
    for (const QString& folder : picture_folders) {
      QFile file(QDir(folder).filePath(name));
      if (!file.open(QIODevice::ReadOnly)) continue;
      bytes = file.readAll();
      found = true;
      break;
    }
    if (!found) throw std::runtime_error("the help page shows '" + name.toStdString() + "', which no picture folder has");
    AppendPart(out, MediaType(name), QByteArray(kLocation) + QUrl::toPercentEncoding(name), bytes);
  }
  out += "--";
  out += kBoundary;
  out += "--\r\n";
  return out;
}

}  // namespace nilvar
