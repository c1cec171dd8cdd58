#pragma once

#include <QCursor>
#include <QFont>
#include <QString>
#include <optional>

class QWidget;

namespace quarnel {

class CaptionProgressBar;

inline constexpr auto kProductName = "Quarnel";

// The caption of every message box that has no title of its own.
QString ApplicationTitle();
// Sets the application title from the product name, shortened to 40 characters by whole words.
void SetApplicationTitle();
QString ShortenTitle(const QString& name);

// Gives the window, its option buttons, check boxes, frames and labels the system's button-face colour.
void ApplySystemColours(QWidget* window);
// Applies the skin file x/o.cjs of the program folder, when present, as a style sheet.
void ApplySkin(const QString& programFolder, QWidget* window);

// The windows' type: bold Arial at the given size (9 pt for texts, 11.25 pt for push buttons).
QFont WindowFont(qreal points);

// Sets the bar's maximum; sets its value only when it does not exceed that maximum.
void SetCountdownBar(CaptionProgressBar& bar, qint32 maximum, qint32 value);

// Reads a Windows cursor file (.cur); nothing when it is missing or cannot be read.
std::optional<QCursor> LoadCursorFile(const QString& path);
// Places the window in the middle of the screen's available area.
void CentreOnScreen(QWidget* window);
// The same for a window's custom pointer: a file that is not a cursor is the "Invalid picture" error.
QCursor LoadPointerPicture(const QString& path);

} // namespace quarnel
