#pragma once

#include "core/Services.h"
#include "desktop/HotKey.h"
#include "desktop/SysTray.h"
#include "support/QtPrinters.h"

#include <QDateTime>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <deque>
#include <functional>

namespace quarnel::test {

// Records every box; answers questions from a queue (No when it runs dry).
class FakeMessageBoxes final : public MessageBoxes
{
public:
    struct Box
    {
        enum Kind { Inform, Ask, Warn } kind;
        QString title;
        QString text;
    };
    void inform(const QString& text) override { boxes.push_back({Box::Inform, {}, text}); }
    bool ask(const QString& text) override
    {
        boxes.push_back({Box::Ask, {}, text});
        if (answers.empty())
            return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void warn(const QString& title, const QString& text) override { boxes.push_back({Box::Warn, title, text}); }

    QStringList texts() const
    {
        QStringList all;
        for (const Box& box : boxes)
            all.append(box.text);
        return all;
    }
    QStringList texts(Box::Kind kind) const
    {
        QStringList some;
        for (const Box& box : boxes)
            if (box.kind == kind)
                some.append(box.text);
        return some;
    }
    int warnings() const
    {
        int count = 0;
        for (const Box& box : boxes)
            count += box.kind == Box::Warn ? 1 : 0;
        return count;
    }

    std::vector<Box> boxes;
    std::deque<bool> answers;
};

class FakeOpener final : public DesktopOpener
{
public:
    bool open(const QUrl& url) override
    {
        opened.append(url);
        return true;
    }
    QList<QUrl> opened;
};

class FakeDialogs final : public FileDialogs
{
public:
    QString browseForFolder(QWidget*, const QString& prompt, const QString&) override
    {
        prompts.append(prompt);
        return folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
    }
    QStringList openFiles(QWidget*, const QString& title, const QStringList& filters) override
    {
        prompts.append(title);
        lastFilters = filters;
        return fileAnswers.isEmpty() ? QStringList() : fileAnswers.takeFirst();
    }
    QStringList folderAnswers;
    QList<QStringList> fileAnswers;
    QStringList prompts;
    QStringList lastFilters;
};

// Time passes only when the program waits (or a test moves it on).
class FakeClock final : public Clock
{
public:
    QDateTime now() const override { return current; }
    void waitServingEvents(std::chrono::milliseconds duration) override
    {
        current = current.addMSecs(duration.count());
        waited += duration;
        if (onWait)
            onWait();
    }
    QDateTime current = QDateTime(QDate(2026, 12, 7), QTime(6, 8, 58));
    std::chrono::milliseconds waited {0};
    std::function<void()> onWait;
};

class FakeRandom final : public RandomSource
{
public:
    int percent() override { return value; }
    int value = 50;
};

class FakeProgramEnd final : public ProgramEnd
{
public:
    void endNow() override { ++calls; }
    int calls = 0;
};

// A notification area that records what it is asked to show.
class FakeTray final : public TrayBackend
{
public:
    bool available() const override { return hasTray; }
    void show(const QIcon& icon, const QString& tip) override
    {
        ++shows;
        visible = true;
        this->icon = icon;
        this->tip = tip;
    }
    void hide() override
    {
        ++hides;
        visible = false;
    }
    void setIcon(const QIcon& icon) override { this->icon = icon; }
    void setTip(const QString& tip) override { this->tip = tip; }
    void showMessage(const QString& title, const QString& text, int milliseconds) override
    {
        messages.append(title + u'|' + text + u'|' + QString::number(milliseconds));
        if (clickBalloonAt >= 0)
            QTimer::singleShot(clickBalloonAt, this, [this] { emit messageClicked(); });
    }
    void clearMessage() override { ++clears; }

    bool hasTray = true;
    bool visible = false;
    int shows = 0;
    int hides = 0;
    QIcon icon;
    QString tip;
    QStringList messages;
    int clears = 0;
    int clickBalloonAt = 0; // the user clicks the balloon this many ms after it shows; -1 never
};

class FakeHotKey final : public GlobalHotKey
{
public:
    void InstallKeyboardHook() override { ++installs; }
    void RemoveKeyboardHook() override { ++removes; }
    int installs = 0;
    int removes = 0;
};

// One of each fake, wired into a Services value.
struct FakeServices
{
    FakeMessageBoxes messages;
    FakeOpener opener;
    FakeDialogs dialogs;
    FakeClock clock;
    FakeRandom random;
    FakeProgramEnd programEnd;
    Services services() { return {messages, opener, dialogs, clock, random, programEnd}; }
};

} // namespace quarnel::test
