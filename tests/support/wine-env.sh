# Shared Wine set-up for tests, the demo and benchmarks (sourced, not run).
# One prefix per run directory, shared by every program of the run; one idle program keeps
# Wine's service processes alive so that each start costs well under a second; one Xvfb display.
#
#   TOVRIN_WINE_DIR   run directory (default: <repo>/build/wine)

TOVRIN_REPO=${TOVRIN_REPO:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
TOVRIN_WINE_DIR=${TOVRIN_WINE_DIR:-$TOVRIN_REPO/build/wine}
export WINEPREFIX=$TOVRIN_WINE_DIR/prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

wine_binary() {
    local candidate
    for candidate in wine64 /usr/lib/wine/wine64 wine; do
        if command -v "$candidate" >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "wine64 not found: run scripts/setup.sh" >&2
    return 1
}

wineserver_binary() {
    local candidate
    for candidate in wineserver64 /usr/lib/wine/wineserver64 wineserver /usr/lib/wine/wineserver; do
        if command -v "$candidate" >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

WINE=$(wine_binary) || return 1
WINESERVER=$(wineserver_binary) || return 1

# Whether this machine executes 32-bit programs: the suite's answer when it gave one
# (TOVRIN_EXEC32, "yes" or "no: reason"), otherwise the 32-bit loader asked for its version.
# Some machines cannot ("Exec format error"), though package wine32 is installed.
wine_runs_32bit() {
    case "${TOVRIN_EXEC32:-}" in
    yes) return 0 ;;
    no*) return 1 ;;
    esac
    local loader32
    loader32=$(dirname "$WINE")/wine
    [ -x "$loader32" ] && "$loader32" --version >/dev/null 2>&1
}

# The loader for a Windows program: the 32-bit one (package wine32) for an i686 program. The
# 64-bit loader would hand it on through start.exe, which cannot start a program whose path is
# longer than 260 characters.
wine_loader_for() {
    local offset machine loader32
    loader32=$(dirname "$WINE")/wine
    offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    machine=$(od -An -tx2 -j$((${offset:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    if [ "$machine" = 014c ] && [ -x "$loader32" ]; then
        echo "$loader32"
    else
        echo "$WINE"
    fi
}

# A display of our own for the whole run (windows need one).
wine_start_display() {
    local n pidfile=$TOVRIN_WINE_DIR/xvfb.pid
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        return 0
    fi
    for n in $(seq 91 140); do
        if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then
            Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 9>&- &
            echo $! >"$pidfile"
            echo ":$n" >"$TOVRIN_WINE_DIR/display"
            local i
            for i in $(seq 1 100); do
                [ -e /tmp/.X11-unix/X$n ] && return 0
                sleep 0.05
            done
        fi
    done
    echo "could not start Xvfb" >&2
    return 1
}

wine_registry_defaults() {
    # No window manager: without this Wine waits about 2 s for every destroyed window.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 &&
        # A crash ends the process instead of waiting for a click.
        "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
}

# A new prefix with our registry defaults; its server has ended when this returns.
wine_make_prefix() {
    "$WINE" wineboot -i </dev/null >/dev/null 2>&1 && wine_registry_defaults && "$WINESERVER" -w
}

# The idle program of this run dir runs: the prefix is in use.
wine_idle_runs() {
    [ -f "$TOVRIN_WINE_DIR/idle.pid" ] && kill -0 "$(cat "$TOVRIN_WINE_DIR/idle.pid")" 2>/dev/null
}

wine_start_idle() {
    local idle=$TOVRIN_WINE_DIR/idle.exe
    if [ ! -f "$idle" ]; then
        # It makes one hidden window, so that Wine's desktop process starts here, with no
        # test's output pipe to inherit (ctest would wait for that pipe to close).
        printf '#include <windows.h>\nint main(void){ CreateWindowExA(0, "STATIC", "idle", 0, 0, 0, 0, 0, 0, 0, 0, 0); Sleep(INFINITE); return 0; }\n' >"$TOVRIN_WINE_DIR/idle.c"
        x86_64-w64-mingw32-gcc -O1 -o "$idle" "$TOVRIN_WINE_DIR/idle.c" -luser32 || return 1
    fi
    wine_idle_runs && return 0
    # A server that is still running (a program that has just ended) refuses -p: the idle
    # program keeps that one alive as well.
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 9>&- || true
    setsid "$WINE" "$idle" </dev/null >/dev/null 2>&1 9>&- &
    echo $! >"$TOVRIN_WINE_DIR/idle.pid"
    local i
    for i in $(seq 1 200); do
        wine_prefix_has_desktop && return 0
        sleep 0.05
    done
}

# Wine's desktop process of this prefix runs (other prefixes of the machine have their own).
wine_prefix_has_desktop() {
    local pid
    for pid in $(pgrep -f 'explorer.exe'); do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}

# Makes the prefix (once) and starts the display and the idle program (idempotent, locked).
wine_start() {
    mkdir -p "$TOVRIN_WINE_DIR"
    (
        flock 9
        wine_start_display || exit 1
        export DISPLAY=$(cat "$TOVRIN_WINE_DIR/display")
        # A prefix made where 32-bit programs could not run lacks the 32-bit system, and
        # `wineboot -u` does not add it. Where they run now (the i686 build runs under WoW64),
        # the prefix is made again, before any program of this run uses it. Never where they
        # cannot: nothing could make that half, and an update at every start rewrote the
        # prefix's system DLLs under programs starting beside it ("could not load
        # kernel32.dll, status c0000043": a box never shown).
        if [ -f "$TOVRIN_WINE_DIR/prefix.ready" ] && ! wine_idle_runs &&
            [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] && wine_runs_32bit; then
            echo "wine-env: $WINEPREFIX lacks the 32-bit system: making it again" >&2
            "$WINESERVER" -k >/dev/null 2>&1 || true
            rm -rf "$WINEPREFIX" "$TOVRIN_WINE_DIR/prefix.ready"
        fi
        if [ ! -f "$TOVRIN_WINE_DIR/prefix.ready" ]; then
            # Making a prefix fails now and then (seen once in a whole suite run): a second try
            # starts from nothing, and a second failure says so.
            if ! wine_make_prefix; then
                echo "wine-env: making the prefix $WINEPREFIX failed; trying once more" >&2
                "$WINESERVER" -k >/dev/null 2>&1 || true
                rm -rf "$WINEPREFIX"
                wine_make_prefix || { echo "wine-env: cannot make the prefix $WINEPREFIX" >&2; exit 1; }
            fi
            touch "$TOVRIN_WINE_DIR/prefix.ready"
        fi
        wine_start_idle
    ) 9>"$TOVRIN_WINE_DIR/lock"
    export DISPLAY=$(cat "$TOVRIN_WINE_DIR/display")
}

wine_stop() {
    [ -d "$TOVRIN_WINE_DIR" ] || return 0
    "$WINESERVER" -k >/dev/null 2>&1 || true
    local f
    for f in idle xvfb; do
        if [ -f "$TOVRIN_WINE_DIR/$f.pid" ]; then
            kill "$(cat "$TOVRIN_WINE_DIR/$f.pid")" 2>/dev/null || true
            rm -f "$TOVRIN_WINE_DIR/$f.pid"
        fi
    done
}
