// A hidden link that holds a URL and hands it to the desktop when clicked.
#pragma once

#include <QLabel>
#include <QUrl>
#include <functional>

namespace nilvar {

// Opens a document or URL with the application the desktop associates with it. The
// result is not examined by the window.
using UrlOpener = std::function<bool(const QUrl&)>;

// The desktop's own opener (QDesktopServices::openUrl).
UrlOpener DesktopUrlOpener();

class TJvHotLink : public QLabel {
  Q_OBJECT
 public:
  explicit TJvHotLink(QWidget* parent = nullptr);

  void SetUrl(const QString& url);
  const QString& Url() const { return url_; }
  void SetOpener(UrlOpener opener) { opener_ = std::move(opener); }

  // Asks the desktop to open the URL (a click on the link does the same).
  void Click();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QString url_;
  UrlOpener opener_;
};

}  // namespace nilvar
