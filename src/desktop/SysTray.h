#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>

class QSystemTrayIcon;
class QTimer;

namespace quarnel {

// What the tray control needs of the desktop's notification area. The Qt one is the real thing;
// tests use one that records.
class TrayBackend : public QObject
{
    Q_OBJECT

public:
    virtual bool available() const = 0;
    virtual void show(const QIcon& icon, const QString& tip) = 0;
    virtual void hide() = 0;
    virtual void setIcon(const QIcon& icon) = 0;
    virtual void setTip(const QString& tip) = 0;
    virtual void showMessage(const QString& title, const QString& text, int milliseconds) = 0;
    // Takes a balloon that is still showing away.
    virtual void clearMessage() = 0;

signals:
    // button 1 left, 2 right; the desktop reports a click as one event.
    void clicked(short button);
    void doubleClicked(short button);
    void messageClicked();
};

class QtTrayBackend final : public TrayBackend
{
    Q_OBJECT

public:
    QtTrayBackend();
    ~QtTrayBackend() override;
    bool available() const override;
    void show(const QIcon& icon, const QString& tip) override;
    void hide() override;
    void setIcon(const QIcon& icon) override;
    void setTip(const QString& tip) override;
    void showMessage(const QString& title, const QString& text, int milliseconds) override;
    void clearMessage() override;

private:
    QSystemTrayIcon* m_icon;
    // A tray that appears after the program (a panel started later at login) still gets the icon.
    QTimer* m_waitForTray;
};

// The tray icon control: one icon in the notification area, its tip, a balloon, and the mouse events.
class cSysTray final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(cSysTray)

public:
    explicit cSysTray(std::unique_ptr<TrayBackend> backend, QObject* parent = nullptr);
    ~cSysTray() override;

    bool InTray() const { return m_inTray; }
    void setInTray(bool inTray);
    QIcon TrayIcon() const { return m_icon; }
    // Only an icon is taken; anything else leaves the icon as it was.
    void setTrayIcon(const QIcon& icon);
    QString TrayTip() const { return m_tip; }
    void setTrayTip(const QString& tip);
    // Shows a balloon and waits (serving events) until it is clicked or the seconds are over, then takes
    // it away if it still shows. With `once`, only the first such balloon of this control's life is shown.
    void ShowBalloon(const QString& text, const QString& title, qint32 seconds, bool once);

    // Whether the desktop has a notification area to hide a window into.
    bool available() const { return m_backend->available(); }

signals:
    void MouseMove(int id);
    void MouseDown(short button, int id);
    void MouseUp(short button, int id);
    void MouseDblClick(short button, int id);

private:
    std::unique_ptr<TrayBackend> m_backend;
    bool m_inTray = false;
    bool m_added = false;
    QIcon m_icon;
    QString m_tip = QStringLiteral("Telnet Server");
    bool m_balloonShowing = false;
    int m_onceCounter = 0;
};

} // namespace quarnel
