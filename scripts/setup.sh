#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Tovrin (idempotent).
set -euo pipefail

# --native: only what the native build of tovrin and its tests need (no MinGW, no Wine).
NATIVE_PACKAGES=(build-essential cmake ninja-build python3 git googletest libcli11-dev locales
                 nlohmann-json3-dev libssl-dev libsqlite3-dev sqlite3 uuid-dev postgresql libpq-dev
                 libcpp-httplib-dev chromium chromium-driver python3-selenium libjs-chart.js fonts-liberation)
PACKAGES=(
    build-essential cmake ninja-build python3 git
    clang libclang-rt-14-dev clang-format
    googletest libcli11-dev
    # tovrin: JSON reports, SHA-256 of the step files, the record store, run ids.
    nlohmann-json3-dev libssl-dev libsqlite3-dev sqlite3 uuid-dev
    # The record store on a line's PostgreSQL server; the tests start their own (tests/support/pg_server.py).
    postgresql libpq-dev
    # The board's web server (tovrin board).
    libcpp-httplib-dev
    # The board's page in the tests: headless Chromium driven through chromedriver; Chart.js, which the board serves.
    chromium chromium-driver python3-selenium libjs-chart.js fonts-liberation
    # The Windows release archives.
    zip unzip
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
    wine64 xvfb xauth imagemagick
    locales
    # The i686 build's tests run under 32-bit Wine; its pty shim is built with gcc -m32.
    wine32:i386 gcc-multilib
)

[ "${1:-}" = "--native" ] && PACKAGES=("${NATIVE_PACKAGES[@]}")

missing=()
for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The user locales the tests run under: German and English, and Dutch for the locale fallback.
need_locales=0
for loc in de_DE.utf8 en_US.utf8 nl_NL.utf8; do
    locale -a 2>/dev/null | grep -qx "$loc" || need_locales=1
done
if [ $need_locales -eq 1 ]; then
    for loc in de_DE en_US nl_NL; do
        $SUDO sed -i "s/^# *\($loc.UTF-8 UTF-8\)/\1/" /etc/locale.gen
        grep -q "^$loc.UTF-8 UTF-8" /etc/locale.gen || echo "$loc.UTF-8 UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    done
    $SUDO locale-gen >/dev/null
fi
echo "setup: ready"
