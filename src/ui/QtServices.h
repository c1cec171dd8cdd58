#pragma once

#include "core/Services.h"

#include <QPointer>
#include <QWidget>

namespace quarnel {

// The real services on Qt and the desktop.
class QtMessageBoxes final : public MessageBoxes
{
public:
    void setParent(QWidget* parent) { m_parent = parent; }
    void inform(const QString& text) override;
    bool ask(const QString& text) override;
    void warn(const QString& title, const QString& text) override;

private:
    QPointer<QWidget> m_parent;
};

class QtDesktopOpener final : public DesktopOpener
{
public:
    bool open(const QUrl& url) override;
};

class QtFileDialogs final : public FileDialogs
{
public:
    QString browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) override;
    QStringList openFiles(QWidget* owner, const QString& title, const QStringList& filters) override;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override;
    void waitServingEvents(std::chrono::milliseconds duration) override;
};

class SystemRandom final : public RandomSource
{
public:
    int percent() override;
};

class ProcessEnd final : public ProgramEnd
{
public:
    void endNow() override;
};

} // namespace quarnel
