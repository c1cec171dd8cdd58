#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <set>

namespace quarnel {

// Follows the keys held down, from raw key events, and tells when T is pressed while Ctrl and Shift
// are held. A key held down and repeating counts once.
class HotKeyTracker final
{
public:
    HotKeyTracker(std::set<unsigned> controlKeys, std::set<unsigned> shiftKeys, unsigned tKey);

    // The keys already down when watching began.
    void seed(const std::set<unsigned>& pressed);
    // True when this press is Ctrl+Shift+T.
    bool press(unsigned key);
    void release(unsigned key);

private:
    bool anyHeld(const std::set<unsigned>& keys) const;

    std::set<unsigned> m_control;
    std::set<unsigned> m_shift;
    unsigned m_t;
    std::set<unsigned> m_held;
};

// The desktop-wide hot key Ctrl+Shift+T. Watches keys without taking them from anyone: the window that
// has the focus still gets every key. Delivers `pressed` on the user-interface thread, queued, so it
// never runs inside another handler's call.
class GlobalHotKey : public QObject
{
    Q_OBJECT

public:
    virtual void InstallKeyboardHook() = 0;
    virtual void RemoveKeyboardHook() = 0;
    // How Ctrl+Shift+T reaches the program, for the user, when it is not the X11 way (which needs no
    // word); empty otherwise.
    virtual QString wayInUse() const { return {}; }
    // False where no key press can reach the program by this way (a Wayland desktop without the portal).
    virtual bool reachesTheProgram() const { return true; }

    // The X11 watcher on X11; on Wayland the desktop's portal for global shortcuts where there is one,
    // otherwise one that does nothing (and says how to bind the command instead).
    static std::unique_ptr<GlobalHotKey> create();

signals:
    void pressed();
    // The hot key cannot work after all (the desktop refused it, or never answered).
    void unavailable(const QString& why);
};

} // namespace quarnel
