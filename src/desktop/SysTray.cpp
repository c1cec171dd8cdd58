#include "desktop/SysTray.h"

#include "core/ProcessLaunch.h"

#include <QSystemTrayIcon>
#include <QTimer>

namespace quarnel {

namespace {

// The notification area's own limits on texts.
constexpr int kTipCharacters = 127;
constexpr int kBalloonTextCharacters = 255;
constexpr int kBalloonTitleCharacters = 63;

} // namespace

QtTrayBackend::QtTrayBackend()
    : m_icon(new QSystemTrayIcon(this))
    , m_waitForTray(new QTimer(this))
{
    m_waitForTray->setInterval(2000);
    connect(m_waitForTray, &QTimer::timeout, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            return;
        m_waitForTray->stop();
        m_icon->hide();
        m_icon->show();
    });
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // Qt reports the press of a click; the control raises the release the program acts on.
        switch (reason) {
        case QSystemTrayIcon::Trigger:
            emit clicked(1);
            break;
        case QSystemTrayIcon::Context:
            emit clicked(2);
            break;
        case QSystemTrayIcon::DoubleClick:
            emit doubleClicked(1);
            break;
        default:
            break;
        }
    });
    connect(m_icon, &QSystemTrayIcon::messageClicked, this, &TrayBackend::messageClicked);
}

QtTrayBackend::~QtTrayBackend() = default;

bool QtTrayBackend::available() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayBackend::show(const QIcon& icon, const QString& tip)
{
    m_icon->setIcon(icon);
    m_icon->setToolTip(tip);
    m_icon->show();
    if (!available())
        m_waitForTray->start();
}

void QtTrayBackend::hide()
{
    m_waitForTray->stop();
    m_icon->hide();
}

void QtTrayBackend::setIcon(const QIcon& icon)
{
    m_icon->setIcon(icon);
}

void QtTrayBackend::setTip(const QString& tip)
{
    m_icon->setToolTip(tip);
}

void QtTrayBackend::showMessage(const QString& title, const QString& text, int milliseconds)
{
    m_icon->showMessage(title, text, QSystemTrayIcon::NoIcon, milliseconds);
}

void QtTrayBackend::clearMessage()
{
    // A balloon without title and text replaces the one showing and is itself not shown.
    m_icon->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 1);
}

cSysTray::cSysTray(std::unique_ptr<TrayBackend> backend, QObject* parent)
    : QObject(parent)
    , m_backend(std::move(backend))
{
    connect(m_backend.get(), &TrayBackend::clicked, this, [this](short button) {
        emit MouseDown(button, 0);
        emit MouseUp(button, 0);
    });
    connect(m_backend.get(), &TrayBackend::doubleClicked, this,
            [this](short button) { emit MouseDblClick(button, 0); });
    connect(m_backend.get(), &TrayBackend::messageClicked, this, [this] { m_balloonShowing = false; });
}

cSysTray::~cSysTray()
{
    // The icon never outlives the control.
    setInTray(false);
}

void cSysTray::setInTray(bool inTray)
{
    if (inTray == m_inTray)
        return;
    if (inTray) {
        m_backend->show(m_icon, m_tip);
        m_added = true;
    } else if (m_added) {
        m_backend->hide();
        m_added = false;
    }
    m_inTray = inTray;
}

void cSysTray::setTrayIcon(const QIcon& icon)
{
    if (icon.isNull())
        return;
    if (m_added)
        m_backend->setIcon(icon);
    m_icon = icon;
}

void cSysTray::setTrayTip(const QString& tip)
{
    const QString cut = tip.left(kTipCharacters);
    if (m_added)
        m_backend->setTip(cut);
    m_tip = cut;
}

void cSysTray::ShowBalloon(const QString& text, const QString& title, qint32 seconds, bool once)
{
    if (once && m_onceCounter >= 1)
        return;
    m_backend->showMessage(title.left(kBalloonTitleCharacters), text.left(kBalloonTextCharacters),
                           seconds > 0 ? seconds * 1000 : 0);
    m_balloonShowing = true;
    if (once)
        ++m_onceCounter;
    if (seconds > 0)
        WaitServingEvents([this] { return !m_balloonShowing; }, std::chrono::seconds(seconds),
                          std::chrono::milliseconds(50));
    if (m_balloonShowing)
        m_backend->clearMessage();
    m_balloonShowing = false;
}

} // namespace quarnel
