#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>

class QWidget;

namespace quarnel {

// Message boxes. Tests replace this so that nothing ever blocks on a modal window.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // OK button only, no icon, the application title.
    virtual void inform(const QString& text) = 0;
    // Yes and No, no icon, the application title; true for Yes.
    virtual bool ask(const QString& text) = 0;
    // OK button only, the exclamation icon, a title of its own.
    virtual void warn(const QString& title, const QString& text) = 0;
};

// Hands documents, folders and web addresses to the desktop's opener.
class DesktopOpener
{
public:
    virtual ~DesktopOpener() = default;
    virtual bool open(const QUrl& url) = 0;
};

// The folder picker and the file-open dialog.
class FileDialogs
{
public:
    virtual ~FileDialogs() = default;
    // The chosen folder without a trailing separator (a root keeps its own), or empty when cancelled.
    virtual QString browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) = 0;
    // The chosen files' full paths, or an empty list when cancelled.
    virtual QStringList openFiles(QWidget* owner, const QString& title, const QStringList& filters) = 0;
};

class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    // Lets this much time pass while the window's events are served.
    virtual void waitServingEvents(std::chrono::milliseconds duration) = 0;
};

class RandomSource
{
public:
    virtual ~RandomSource() = default;
    // A whole number from 1 to 100.
    virtual int percent() = 0;
};

// Ends the program at once; tests record the call instead.
class ProgramEnd
{
public:
    virtual ~ProgramEnd() = default;
    virtual void endNow() = 0;
};

// The services the windows and procedures are given rather than reach for.
struct Services
{
    MessageBoxes& messages;
    DesktopOpener& opener;
    FileDialogs& dialogs;
    Clock& clock;
    RandomSource& random;
    ProgramEnd& programEnd;
};

} // namespace quarnel
