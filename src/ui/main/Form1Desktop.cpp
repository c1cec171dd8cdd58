// The main window's automatic conversion, tray icon, start-at-login options and hot key.
#include "core/ErrorReport.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"
#include "desktop/Autostart.h"
#include "desktop/GnomeShortcut.h"
#include "desktop/HotKey.h"
#include "desktop/SysTray.h"
#include "ui/ApplicationIcon.h"
#include "ui/CaptionProgressBar.h"
#include "ui/WindowProcedures.h"
#include "ui/main/Form1.h"
#include "ui/options/Form2.h"
#include "ui_Form1.h"

#include <QFocusEvent>
#include <QTimer>
#include <QWindowStateChangeEvent>

namespace quarnel {

namespace {

const QString kBalloonText = QStringLiteral("has been minimized to the system tray.\r\nClick on the blue 'V' icon (V "
                                            "for Vantorell) to bring the software back.");

// The interval boxes and the keys they are stored under.
const SettingKey::Key kIntervalKeys[] = {SettingKey::Text11, SettingKey::Text22, SettingKey::Text33};

} // namespace

void Form1::connectDesktop()
{
    m_scheduler = std::make_unique<Scheduler>(*this, *m_pass, m_context.settings, m_context.services.messages);
    if (!m_context.tray)
        m_context.tray = std::make_unique<QtTrayBackend>();
    m_tray = std::make_unique<cSysTray>(std::move(m_context.tray));
    m_tray->setObjectName(QStringLiteral("cSysTray1"));
    m_tray->setTrayIcon(ApplicationIcon()); // the blue "V" the balloon speaks of
    m_hotKey = std::move(m_context.hotKey);
    connect(m_ui->PushButton8, &QPushButton::clicked, m_scheduler.get(), &Scheduler::PushButton8_Click);
    connect(m_tray.get(), &cSysTray::MouseUp, this, &Form1::cSysTray1_MouseUp);
    if (m_hotKey) {
        connect(m_hotKey.get(), &GlobalHotKey::pressed, m_scheduler.get(), &Scheduler::PushButton8_Click);
        connect(m_hotKey.get(), &GlobalHotKey::unavailable, this, [this](const QString& why) {
            setStatusLine(
                QStringLiteral("Ctrl+Shift+T is not available (") + why
                + QStringLiteral("): bind \"quarnel --toggle-automatic\" in the desktop's keyboard settings."));
        });
    }
    connect(m_ui->Check3, &QCheckBox::toggled, this, &Form1::Check3_Click);
    connect(m_ui->Check8, &QCheckBox::toggled, this, &Form1::Check8_Click);
    QLineEdit* const boxes[] = {m_ui->Text11, m_ui->Text22, m_ui->Text33};
    for (int box = 0; box < 3; ++box) {
        connect(boxes[box], &QLineEdit::textChanged, this, [this, box](const QString& text) {
            try {
                m_context.settings.SaveSetting(kIntervalKeys[box], text);
            } catch (const RuntimeError& error) {
                qWarning("Quarnel: the interval was not stored: %s", error.what());
            }
        });
        boxes[box]->installEventFilter(this);
    }
}

void Form1::ApplyStoredSettings()
{
    GuardedProcedure guard(Location::Form1_Form_Load, m_context.services.messages);
    restoreSavingOption(guard);
    QLineEdit* const boxes[] = {m_ui->Text11, m_ui->Text22, m_ui->Text33};
    for (int box = 0; box < 3; ++box)
        boxes[box]->setText(m_context.settings.GetSetting(kIntervalKeys[box]));
    options().RestoreConversionOptions(guard);
    // Start at login and automatic conversion change as a click on their controls changes them.
    const bool atLogin = m_context.settings.GetSetting(SettingKey::WindowsStartup) == QStringLiteral("On");
    if (m_ui->Check3->isChecked() != atLogin)
        m_ui->Check3->setChecked(atLogin);
    const bool automatic = m_context.settings.GetSetting(SettingKey::StartStopState) == QStringLiteral("On");
    if (m_scheduler->isOn() != automatic)
        m_scheduler->PushButton8_Click();
}

void Form1::restoreDesktop(GuardedProcedure& guard)
{
    guard.step(230, [&] { m_tray->setTrayTip(QString::fromLatin1(kProductName)); });
    guard.step(232, [&] { m_tray->setInTray(true); });
    m_scheduler->Restore(guard);
    guard.step(270, [&] {
        m_ui->Check3->setChecked(m_context.settings.GetSetting(SettingKey::WindowsStartup) == QStringLiteral("On"));
    });
    guard.step(272, [&] {
        m_ui->Check8->setChecked(m_context.settings.GetSetting(SettingKey::Minimized) == QStringLiteral("On"));
    });
    if (guard.test(274, [&] { return m_ui->Check8->isChecked(); }))
        guard.step(276, [&] { m_startInTray = true; });
    guard.step(278, [&] {
        if (m_hotKey)
            m_hotKey->InstallKeyboardHook();
    });
    // Said once, when Ctrl+Shift+T comes another way than on X11 (or not at all).
    if (m_hotKey && !m_hotKey->wayInUse().isEmpty())
        setStatusLine(m_hotKey->wayInUse());
    // Where no key press can reach the program, GNOME's own shortcut is offered, once.
    if (m_hotKey && !m_hotKey->reachesTheProgram()
        && m_context.settings.GetSetting(SettingKey::DesktopShortcut).isEmpty())
        QTimer::singleShot(0, this, [this] { offerDesktopShortcut(); });
}

void Form1::ShowAtStart()
{
    if (!m_startInTray) {
        show();
        return;
    }
    // Never shown normally: minimised, and the minimise handling takes it into the tray (or, with no
    // tray on this desktop, leaves it minimised where the user can find it).
    showMinimized();
    Form_Resize();
}

void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        QTimer::singleShot(0, this, &Form1::Form_Resize);
}

void Form1::Form_Resize()
{
    if (!(windowState() & Qt::WindowMinimized) || m_minimizedToTray)
        return;
    // Without a notification area a hidden window could never be brought back: it stays minimised.
    if (!m_tray->available())
        return;
    // The state goes back to normal when the window is shown again: changing it while hidden would have
    // the window manager map the window once more.
    hide();
    m_minimizedToTray = true;
    m_tray->ShowBalloon(kBalloonText, QString::fromLatin1(kProductName), 5, true);
}

void Form1::cSysTray1_MouseUp(short, int)
{
    bringToFront();
}

void Form1::offerDesktopShortcut()
{
    if (!GnomeShortcut::available())
        return; // not GNOME: README says how to bind the command
    const bool wanted = m_context.services.messages.ask(
        QStringLiteral("On this desktop Ctrl+Shift+T cannot reach Quarnel by itself.\r\nAdd a GNOME keyboard "
                       "shortcut Ctrl+Shift+T that turns automatic conversion on or off?\r\n(quarnel --set "
                       "desktop-shortcut=off takes it away again.)"));
    try {
        m_context.settings.SaveSetting(SettingKey::DesktopShortcut,
                                       wanted ? QStringLiteral("On") : QStringLiteral("Off"));
    } catch (const RuntimeError&) {
        return;
    }
    if (!wanted)
        return;
    const QString problem = GnomeShortcut::FollowDesktopShortcut(m_context.settings);
    if (problem.isEmpty())
        setStatusLine(QStringLiteral("Ctrl+Shift+T is a GNOME keyboard shortcut now."));
    else
        m_context.services.messages.inform(problem.left(1).toUpper() + problem.mid(1) + u'.');
}

void Form1::bringToFront(const QByteArray& activationToken)
{
    // On Wayland only a window activated with a token the compositor handed out may take the focus: the
    // token of the start that asked, spent by the window system when the window is activated.
    if (!activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", activationToken);
    showNormal();
    raise();
    activateWindow();
    m_minimizedToTray = false;
}

void Form1::Check3_Click()
{
    if (m_loading)
        return;
    try {
        if (m_ui->Check3->isChecked()) {
            m_ui->Check8->setVisible(true);
            m_context.settings.SaveSetting(SettingKey::WindowsStartup, QStringLiteral("On"));
            EnableWindowsStartup(m_context.programFile);
        } else {
            m_ui->Check8->setChecked(false);
            m_ui->Check8->setVisible(false);
            m_context.settings.SaveSetting(SettingKey::WindowsStartup, QStringLiteral("Off"));
            DisableWindowsStartup(m_context.programFile);
        }
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: the start-up option was not fully stored: %s", error.what());
    }
}

void Form1::Check8_Click()
{
    try {
        m_context.settings.SaveSetting(SettingKey::Minimized,
                                       m_ui->Check8->isChecked() ? QStringLiteral("On") : QStringLiteral("Off"));
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: the start-in-tray option was not stored: %s", error.what());
    }
}

bool Form1::handleIntervalFocus(QObject* watched, QEvent* event)
{
    auto* box = qobject_cast<QLineEdit*>(watched);
    if (!box || (box != m_ui->Text11 && box != m_ui->Text22 && box != m_ui->Text33))
        return false;
    if (event->type() == QEvent::FocusIn) {
        // After the click that gave the focus has placed the caret.
        QTimer::singleShot(0, box, &QLineEdit::selectAll);
    } else if (event->type() == QEvent::FocusOut && !m_refocusing && !IsNumericEntry(box->text())) {
        m_refocusing = true;
        QTimer::singleShot(0, this, [this, box] {
            m_context.services.messages.inform(QStringLiteral("Must be a numeric entry."));
            box->setFocus();
            m_refocusing = false;
        });
    }
    return false;
}

QString Form1::toggleCaption() const
{
    return m_ui->PushButton8->text();
}

void Form1::setToggleCaption(const QString& caption)
{
    m_ui->PushButton8->setText(caption);
}

void Form1::setStatusLine(const QString& text)
{
    m_ui->Frame8->setTitle(text);
}

void Form1::setCountdown(qint32 maximum, qint32 value)
{
    SetCountdownBar(*m_ui->ProgressBar2, maximum, value);
}

QString Form1::intervalText(int box) const
{
    const QLineEdit* const boxes[] = {m_ui->Text11, m_ui->Text22, m_ui->Text33};
    return boxes[box]->text();
}

void Form1::setIntervalText(int box, const QString& text)
{
    QLineEdit* const boxes[] = {m_ui->Text11, m_ui->Text22, m_ui->Text33};
    boxes[box]->setText(text);
}

void Form1::resetPointer()
{
    setMousePointer(MousePointer::Default);
}

void Form1::setPassProgress(int value)
{
    m_ui->ProgressBar1->setBarValue(value);
}

void Form1::setPassProgressCaption(const QString& caption)
{
    m_ui->ProgressBar1->setCaption(caption);
}

} // namespace quarnel
