# Helpers for end-to-end tests: a private X server, throwaway settings and temporary folder, and the
# real program started in them. Source this file; call e2e_setup first.
set -euo pipefail

E2E_PIDS=()

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    [ -n "${E2E_ROOT:-}" ] && rm -rf "$E2E_ROOT"
}

fail() {
    echo "FAIL: $*" >&2
    if [ -s "${E2E_ROOT:-/nonexistent}/quarnel.out" ]; then
        echo "--- what the program printed:" >&2
        tail -n 20 "$E2E_ROOT/quarnel.out" >&2
    fi
    exit 1
}

# Starts Xvfb on a display of its own and points DISPLAY at it. Numbers are drawn from a range of
# their own and never one whose lock is still held, so a server that is still going away from an
# earlier test is never taken for this one's.
e2e_start_x() {
    local number pid
    for _ in $(seq 1 20); do
        number=$((200 + RANDOM % 700))
        [ -e "/tmp/.X${number}-lock" ] || [ -e "/tmp/.X11-unix/X${number}" ] && continue
        # -noreset: without it the server starts over whenever its last client leaves, and refuses the
        # next one meanwhile.
        Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
        pid=$!
        export DISPLAY=":$number"
        for _ in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            if xdpyinfo >/dev/null 2>&1; then
                E2E_PIDS+=("$pid")
                return 0
            fi
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
    done
    fail "no X server could be started"
}

# Throwaway settings and folders, and no display at all.
e2e_setup_headless() {
    E2E_ROOT=$(mktemp -d)
    trap e2e_cleanup EXIT
    export XDG_CONFIG_HOME="$E2E_ROOT/config"
    export TEMP="$E2E_ROOT/temp"
    export HOME="$E2E_ROOT/home"
    export XDG_RUNTIME_DIR="$E2E_ROOT/runtime"
    # No desktop bus: the tests must not reach a session's services.
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_ROOT/no-bus"
    unset QT_QPA_PLATFORM DISPLAY WAYLAND_DISPLAY
    mkdir -p "$XDG_CONFIG_HOME" "$TEMP" "$HOME/Desktop" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
}

# The same, with an X server of its own.
e2e_setup() {
    e2e_setup_headless
    e2e_start_x
}

# A Wayland compositor without a display (weston's headless back end), a session bus of the test's
# own and an accessibility bus on it, through which a11y.py presses the windows' buttons: no program
# may inject input into another on Wayland.
e2e_setup_wayland() {
    e2e_setup_headless
    command -v weston >/dev/null || fail "weston is not installed (scripts/install-deps.sh installs it)"
    local socket="wayland-quarnel-$$" bus
    weston --backend=headless-backend.so --socket="$socket" --idle-time=0 >"$E2E_ROOT/weston.out" 2>&1 &
    E2E_PIDS+=("$!")
    e2e_until 20 test -S "$XDG_RUNTIME_DIR/$socket" || fail "weston did not start: $(tail -n 5 "$E2E_ROOT/weston.out")"
    bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 --address="unix:path=$E2E_ROOT/bus") \
        || fail "no session bus could be started"
    E2E_PIDS+=("$(sed -n 2p <<<"$bus")")
    export DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
    /usr/libexec/at-spi-bus-launcher --launch-immediately >"$E2E_ROOT/a11y.out" 2>&1 &
    E2E_PIDS+=("$!")
    export WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
    # The desktop's settings in a file of the test's own, so GNOME's shortcut list can be offered.
    export GSETTINGS_BACKEND=keyfile
    # A panel's notification area: the items that register are listed in $TRAY_ITEMS.
    TRAY_ITEMS="$E2E_ROOT/tray-items"
    /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/tray_host.py" "$TRAY_ITEMS" >"$E2E_ROOT/tray.out" 2>&1 &
    E2E_PIDS+=("$!")
    e2e_until 10 sh -c 'gdbus introspect --session --dest org.kde.StatusNotifierWatcher \
        --object-path /StatusNotifierWatcher >/dev/null 2>&1' || fail "the tray host did not start"
}

# Stands in for systemd's notify socket: every datagram to the socket at $1 is a line "SECONDS STATE"
# in the file $2 (a state's own line breaks become "|").
e2e_notify_socket() {
    /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a") as out:
    while True:
        data = s.recv(65536).decode("utf-8", "replace")
        out.write("%.3f %s\n" % (time.monotonic(), data.replace("\n", "|")))
        out.flush()
' "$1" "$2" &
    E2E_PIDS+=("$!")
    e2e_until 10 test -S "$1" || fail "the notify socket was not made"
}

# How many copies of the program this test runs (others may run on the machine): those with its TEMP.
e2e_own_copies() {
    local pid count=0
    for pid in $(pgrep -x quarnel || true); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "TEMP=$TEMP" && count=$((count + 1))
    done
    echo "$count"
}

# Starts the program in the background; its pid is in QUARNEL_PID.
e2e_start_quarnel() {
    "$QUARNEL" >"$E2E_ROOT/quarnel.out" 2>&1 &
    QUARNEL_PID=$!
    E2E_PIDS+=("$QUARNEL_PID")
}

# Waits for a visible window with this exact title; prints its id.
e2e_wait_window() {
    local title="$1" id=""
    for _ in $(seq 1 150); do
        kill -0 "$QUARNEL_PID" 2>/dev/null || fail "the program ended before its window showed"
        id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    fail "no window titled '$title' appeared"
}

# Sends SIGTERM and waits for the program to end.
e2e_stop_quarnel() {
    kill -TERM "$QUARNEL_PID"
    for _ in $(seq 1 100); do
        kill -0 "$QUARNEL_PID" 2>/dev/null || { wait "$QUARNEL_PID" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    fail "the program did not end on SIGTERM"
}

settings_file() {
    echo "$XDG_CONFIG_HOME/Vantorell/Quarnel.conf"
}

# Clicks at a point given in the window's own coordinates.
e2e_click() {
    local window="$1" x="$2" y="$3"
    xdotool mousemove --window "$window" "$x" "$y" click 1
}

# Waits until a second top-level window with this title shows (a message box); prints its id.
e2e_wait_other_window() {
    local title="$1" main="$2" tries="${3:-100}" id=""
    for _ in $(seq 1 "$tries"); do
        id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | grep -v "^${main}\$" | head -n 1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    return 1
}

# Clicks a point of the window until a message box titled like it appears (a window that has just
# been mapped may not take the first click); prints the box's id.
e2e_click_for_box() {
    local window="$1" x="$2" y="$3" box=""
    for _ in 1 2 3 4 5; do
        e2e_click "$window" "$x" "$y"
        if box=$(e2e_wait_other_window Quarnel "$window" 15); then
            echo "$box"
            return 0
        fi
    done
    fail "clicking ($x, $y) brought up no message box"
}

# Gives a window the keyboard focus and types keys into it.
e2e_keys() {
    local window="$1"
    shift
    xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
    xdotool key --clearmodifiers "$@"
}

# A window manager (to minimise windows) and a tray host (to dock the icon), as a desktop has them.
e2e_start_desktop() {
    openbox --sm-disable >/dev/null 2>&1 &
    E2E_PIDS+=($!)
    trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 32 >/dev/null 2>&1 &
    E2E_PIDS+=($!)
    for _ in $(seq 1 50); do
        xdotool search --name '^panel$' >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    fail "the tray host did not start"
}

# Waits until a command succeeds, polling every 0.2 s for at most the given seconds.
e2e_until() {
    local seconds="$1"
    shift
    for _ in $(seq 1 $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

# The ids (decimal) of the viewable windows with this exact name, as the X server sees them now.
visible_windows() {
    local id
    for id in $(xwininfo -root -tree | grep -F "\"$1\": " | awk '{print $1}'); do
        xwininfo -id "$id" 2>/dev/null | grep -q 'IsViewable' && printf '%d\n' "$id"
    done
    return 0
}
