#include "desktop/HotKey.h"

#include "desktop/PortalHotKey.h"

#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace quarnel {

HotKeyTracker::HotKeyTracker(std::set<unsigned> controlKeys, std::set<unsigned> shiftKeys, unsigned tKey)
    : m_control(std::move(controlKeys))
    , m_shift(std::move(shiftKeys))
    , m_t(tKey)
{ }

void HotKeyTracker::seed(const std::set<unsigned>& pressed)
{
    m_held = pressed;
}

bool HotKeyTracker::anyHeld(const std::set<unsigned>& keys) const
{
    for (unsigned key : keys) {
        if (m_held.count(key))
            return true;
    }
    return false;
}

bool HotKeyTracker::press(unsigned key)
{
    const bool repeat = !m_held.insert(key).second;
    return key == m_t && !repeat && anyHeld(m_control) && anyHeld(m_shift);
}

void HotKeyTracker::release(unsigned key)
{
    m_held.erase(key);
}

namespace {

// Where there is no X11 display (Wayland without it, or no desktop at all) the hot key is absent.
class NoHotKey final : public GlobalHotKey
{
public:
    explicit NoHotKey(bool wayland)
        : m_wayland(wayland)
    { }
    void InstallKeyboardHook() override { }
    void RemoveKeyboardHook() override { }
    bool reachesTheProgram() const override { return !m_wayland; }
    QString wayInUse() const override
    {
        return m_wayland ? QStringLiteral("No desktop-wide Ctrl+Shift+T here: bind \"quarnel --toggle-automatic\" "
                                          "in the desktop's keyboard settings.")
                         : QString();
    }

private:
    bool m_wayland;
};

// Raw key events of every keyboard, selected on the root window through a connection of its own.
class X11HotKey final : public GlobalHotKey
{
public:
    ~X11HotKey() override { RemoveKeyboardHook(); }

    void InstallKeyboardHook() override
    {
        if (m_display)
            return;
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            return;
        int event = 0;
        int error = 0;
        int major = 2;
        int minor = 2; // raw events reach every client that selects them from 2.1 on
        if (!XQueryExtension(m_display, "XInputExtension", &m_opcode, &event, &error)
            || XIQueryVersion(m_display, &major, &minor) != Success) {
            RemoveKeyboardHook();
            return;
        }
        const auto code = [this](KeySym sym) { return static_cast<unsigned>(XKeysymToKeycode(m_display, sym)); };
        m_tracker
            = std::make_unique<HotKeyTracker>(std::set<unsigned> {code(XK_Control_L), code(XK_Control_R)},
                                              std::set<unsigned> {code(XK_Shift_L), code(XK_Shift_R)}, code(XK_t));
        // Keys already down now: asked once here; later the raw events say it without a race.
        char keys[32] = {};
        XQueryKeymap(m_display, keys);
        std::set<unsigned> held;
        for (unsigned i = 0; i < 256; ++i) {
            if (keys[i / 8] & (1 << (i % 8)))
                held.insert(i);
        }
        m_tracker->seed(held);

        unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(mask, XI_RawKeyPress);
        XISetMask(mask, XI_RawKeyRelease);
        XIEventMask events {XIAllMasterDevices, static_cast<int>(sizeof mask), mask};
        XISelectEvents(m_display, DefaultRootWindow(m_display), &events, 1);
        XFlush(m_display);
        m_notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(m_display), QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
        // Events Xlib already read while setting up wait in its queue, not on the socket.
        QTimer::singleShot(0, this, [this] { readEvents(); });
    }

    void RemoveKeyboardHook() override
    {
        m_notifier.reset();
        m_tracker.reset();
        if (m_display)
            XCloseDisplay(m_display);
        m_display = nullptr;
    }

private:
    void readEvents()
    {
        while (m_display && XPending(m_display)) {
            XEvent event;
            XNextEvent(m_display, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != m_opcode || !XGetEventData(m_display, cookie))
                continue;
            const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
            const auto key = static_cast<unsigned>(raw->detail);
            if (cookie->evtype == XI_RawKeyPress && m_tracker && m_tracker->press(key))
                QMetaObject::invokeMethod(this, &GlobalHotKey::pressed, Qt::QueuedConnection);
            else if (cookie->evtype == XI_RawKeyRelease && m_tracker)
                m_tracker->release(key);
            XFreeEventData(m_display, cookie);
        }
    }

    Display* m_display = nullptr;
    int m_opcode = 0;
    std::unique_ptr<HotKeyTracker> m_tracker;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

std::unique_ptr<GlobalHotKey> GlobalHotKey::create()
{
    const QString platform = QGuiApplication::platformName();
    if (platform == QStringLiteral("xcb"))
        return std::make_unique<X11HotKey>();
    const bool wayland = platform.startsWith(QStringLiteral("wayland"));
    if (wayland && PortalHotKey::available())
        return std::make_unique<PortalHotKey>();
    return std::make_unique<NoHotKey>(wayland);
}

} // namespace quarnel
