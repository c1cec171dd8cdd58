#include "scheduler/ArrivalWatch.h"

#include "conversion/ConversionPass.h"
#include "core/Paths.h"

#include <QSet>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace quarnel {

namespace {

constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR;
// Past the settle time, so the pass finds the PDF left alone long enough to convert it at once.
constexpr int kSettleMilliseconds = kSettleSeconds * 1000 + 250;

QString withoutSeparator(QString folder)
{
    while (folder.size() > 1 && folder.endsWith(kNativeSeparator))
        folder.chop(1);
    return folder;
}

} // namespace

ArrivalWatch::ArrivalWatch(std::function<Wanted()> wanted, std::function<void()> arrived,
                           std::function<void(const QString&)> report, QObject* parent)
    : QObject(parent)
    , m_wanted(std::move(wanted))
    , m_arrived(std::move(arrived))
    , m_report(std::move(report))
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMilliseconds);
    connect(&m_settle, &QTimer::timeout, this, [this] { m_arrived(); });
    m_refresh.setInterval(2000);
    connect(&m_refresh, &QTimer::timeout, this, &ArrivalWatch::refresh);
    m_refresh.start();
}

ArrivalWatch::~ArrivalWatch()
{
    unwatchAll();
}

void ArrivalWatch::unwatchAll()
{
    if (m_fd >= 0) {
        delete m_notifier;
        m_notifier = nullptr;
        ::close(m_fd); // drops every watch with it
        m_fd = -1;
    }
    m_byFolder.clear();
    m_byWatch.clear();
}

void ArrivalWatch::refresh()
{
    const Wanted wanted = m_wanted();
    m_ignore = wanted.ignore;
    if (wanted.folders.isEmpty()) {
        unwatchAll();
        m_settle.stop();
        return;
    }
    if (m_fd < 0) {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0) {
            if (!m_limitReported && m_report)
                m_report(QStringLiteral("PDFs arriving cannot be watched (%1); the interval's passes go on.")
                             .arg(QString::fromLocal8Bit(std::strerror(errno))));
            m_limitReported = true;
            return;
        }
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &ArrivalWatch::readEvents);
    }
    QSet<QString> keep;
    for (const QString& row : wanted.folders)
        keep.insert(withoutSeparator(row));
    for (auto it = m_byFolder.begin(); it != m_byFolder.end();) {
        if (keep.contains(it.key())) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(m_fd, it.value());
        m_byWatch.remove(it.value());
        it = m_byFolder.erase(it);
    }
    for (const QString& folder : std::as_const(keep)) {
        if (m_byFolder.contains(folder))
            continue;
        const int watch = ::inotify_add_watch(m_fd, NativeName(folder).constData(), kEvents);
        if (watch >= 0) {
            m_byFolder.insert(folder, watch);
            m_byWatch.insert(watch, folder);
        } else if (errno == ENOSPC && !m_limitReported) {
            // The kernel's limit on watches (fs.inotify.max_user_watches): the rest keep the interval.
            m_limitReported = true;
            if (m_report)
                m_report(
                    QStringLiteral("Only %1 of the watched folders can be told of arriving PDFs (the system's limit "
                                   "on watches is reached); the others are converted at the interval.")
                        .arg(m_byFolder.size()));
        }
        // A folder that is gone or cannot be read is found again by a later refresh.
    }
}

void ArrivalWatch::readEvents()
{
    alignas(inotify_event) char buffer[16384];
    bool arrival = false;
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_IGNORED) {
                // The folder went away: forget it (a later refresh watches it again should it return).
                const QString folder = m_byWatch.take(event->wd);
                m_byFolder.remove(folder);
                continue;
            }
            if (event->len == 0)
                continue;
            const QString name = NameFromNative(QByteArrayView(event->name, qstrnlen(event->name, event->len)));
            if (m_ignore.matches(name))
                continue;
            const bool folder = event->mask & IN_ISDIR;
            const bool pdf = name.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive);
            // A file made is still being written: its close or its move is what counts.
            if ((folder && (event->mask & (IN_CREATE | IN_MOVED_TO)))
                || (pdf && !folder && (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))))
                arrival = true;
        }
    }
    if (!arrival)
        return;
    // Counted from the last arrival, so a burst of copies asks for one pass; but PDFs arriving without
    // end do not put it off for longer than a few settle times.
    if (!m_settle.isActive())
        m_waitingSince.start();
    if (!m_settle.isActive() || m_waitingSince.elapsed() < 3 * kSettleMilliseconds)
        m_settle.start();
}

} // namespace quarnel
