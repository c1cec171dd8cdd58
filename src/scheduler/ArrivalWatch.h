#pragma once

#include "folders/FolderWatch.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>

class QSocketNotifier;

namespace quarnel {

// Passes when PDFs arrive: the kernel's inotify on every watched folder. A PDF written or moved into
// one (or a new subfolder) asks for a pass once the folder has been left alone for the settle time, so
// the pass finds the PDF finished; folders inotify cannot see (network shares) keep the interval pass.
class ArrivalWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ArrivalWatch)

public:
    struct Wanted
    {
        QStringList folders; // none: nothing is watched
        IgnoreList ignore;
    };
    // `wanted` is asked again every couple of seconds and by refresh(); `arrived` asks for the pass;
    // `report` tells the user, once a run, that the kernel's limit on watches is reached.
    ArrivalWatch(std::function<Wanted()> wanted, std::function<void()> arrived,
                 std::function<void(const QString&)> report, QObject* parent = nullptr);
    ~ArrivalWatch() override;

    // Watches what is wanted now: new folders added, folders no longer wanted dropped.
    void refresh();
    int watchedFolders() const { return static_cast<int>(m_byFolder.size()); }

private:
    void readEvents();
    void unwatchAll();

    std::function<Wanted()> m_wanted;
    std::function<void()> m_arrived;
    std::function<void(const QString&)> m_report;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QHash<QString, int> m_byFolder;
    QHash<int, QString> m_byWatch;
    IgnoreList m_ignore;
    QTimer m_settle;
    QElapsedTimer m_waitingSince;
    QTimer m_refresh;
    bool m_limitReported = false;
};

} // namespace quarnel
