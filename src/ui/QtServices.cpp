#include "ui/QtServices.h"

#include "core/ProcessLaunch.h"
#include "ui/WindowProcedures.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QShortcut>
#include <cstdio>
#include <unistd.h>

namespace quarnel {

namespace {

QMessageBox::StandardButton showBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons buttons)
{
    // The texts keep their Windows line ends; shown, a lone carriage return is a line break too.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    QMessageBox box(icon, title, shown, buttons, parent);
    // Ctrl+C copies the box's title and text, so that a report can be pasted where help is asked for.
    const QShortcut copy(QKeySequence::Copy, &box, [&] {
        QGuiApplication::clipboard()->setText(title + QStringLiteral("\n\n") + shown + u'\n');
    });
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace

void QtMessageBoxes::inform(const QString& text)
{
    showBox(m_parent, QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok);
}

bool QtMessageBoxes::ask(const QString& text)
{
    return showBox(m_parent, QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes;
}

void QtMessageBoxes::warn(const QString& title, const QString& text)
{
    showBox(m_parent, QMessageBox::Warning, title, text, QMessageBox::Ok);
}

bool QtDesktopOpener::open(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

QString QtFileDialogs::browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder)
{
    const QString chosen = QFileDialog::getExistingDirectory(owner, prompt, startFolder, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return {};
    // A root comes back with its separator, any other folder without one.
    const QString clean = QDir::cleanPath(chosen);
    return clean;
}

QStringList QtFileDialogs::openFiles(QWidget* owner, const QString& title, const QStringList& filters)
{
    QFileDialog dialog(owner, title);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(filters);
    dialog.setOption(QFileDialog::ReadOnly, true);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

QDateTime SystemClock::now() const
{
    return QDateTime::currentDateTime();
}

void SystemClock::waitServingEvents(std::chrono::milliseconds duration)
{
    WaitServingEvents([] { return false; }, duration, std::min(duration, std::chrono::milliseconds(100)));
}

int SystemRandom::percent()
{
    return static_cast<int>(QRandomGenerator::global()->bounded(100)) + 1;
}

void ProcessEnd::endNow()
{
    // Ends without running any further handler; everything worth keeping was written and synced.
    EndConverters();
    std::fflush(nullptr);
    ::_exit(0);
}

} // namespace quarnel
