// The help document of the window, "nilvar dic help.mht": one HTML page and the pictures it
// shows, packed into a single MIME HTML file (multipart/related, each part base64 with its
// own Content-Location) that a browser opens as one page. The build writes it beside the
// executable from the page in docs/help/ and the window's artwork.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace nilvar {

// The picture file names an HTML page shows (`src="NAME"` of its img elements), each once,
// in order of first appearance.
QStringList PicturesOfPage(const QString& html);

// The MIME HTML document of `html`: the page first, then every picture it shows, looked up
// by file name in `picture_folders` (the first folder that has it). Raises
// std::runtime_error naming a picture no folder has.
QByteArray MimeHtmlDocument(const QString& html, const QStringList& picture_folders);

}  // namespace nilvar
