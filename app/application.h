// Process-wide set-up of the dictionary program: the application title, the bundled
// fonts and the window font. Called once by the entry before the window is created
// (and by the window tests).
#pragma once

#include <QFont>
#include <QString>

class QApplication;

namespace nilvar {

// Shown on the taskbar button and as the caption of error message boxes.
inline constexpr char kApplicationTitle[] = "Nilvar Dic V2.0.0.1";

// Registers the compiled-in resources and the bundled Vazirmatn fonts, and sets the
// application title. Safe to call more than once.
void InitializeApplication(QApplication& app);

// The family every text of the window uses (Vazirmatn, covering Latin and Persian).
QString UiFontFamily();

// A regular font of the window's family at a character height in pixels.
QFont UiPixelFont(int pixels, bool bold = false);
// The same at a point size (the font-size buttons work in points).
QFont UiPointFont(int points);

}  // namespace nilvar
