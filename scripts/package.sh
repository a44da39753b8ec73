#!/usr/bin/env bash
# Builds the release packages and lists what each holds:
#   - the Debian package of the Linux tool (tovrin, tovrin-sim, the manual page), from the
#     native-release build;
#   - Tovrin-<version>-win32.zip (i686, the reference target) and Tovrin-<version>-win64.zip
#     (x86_64): Tovrin.exe and Tovrin1.DLL without debug information, the example
#     configuration with its files, and README.txt for Windows users (Windows-1252, CR LF),
#     in one folder of the archive's name.
# Prints the packages' paths last, one a line: the Debian package, win32, win64.
#   scripts/package.sh [--windows-only]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VERSION=$(sed -n 's/^project(Tovrin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
RELEASE=$ROOT/build/release

debian_package() {
    cmake --preset native-release >/dev/null
    cmake --build --preset native-release --target tovrin tovrin-sim >/dev/null
    (cd build/native-release && cpack -G DEB >/dev/null)
    local package
    package=$(ls -t "$ROOT"/build/native-release/tovrin_*.deb | head -n 1)
    dpkg-deb --contents "$package" | awk '{print $NF}'
    paths+=("$package")
}

# The README for Windows users: the version and the build filled in, Windows-1252 (iconv
# refuses a character that the code page lacks), CR LF.
windows_readme() { # build-name
    sed -e "s/@VERSION@/$VERSION/" -e "s/@BUILD@/$1/" resources/README-windows.txt |
        iconv -f UTF-8 -t WINDOWS-1252 | sed 's/$/\r/'
}

windows_archive() { # preset build-name binutils-prefix
    local preset=$1 name=$2 tools=$3
    local folder=Tovrin-$VERSION-$name
    local stage=$RELEASE/stage/$folder zip=$RELEASE/$folder.zip
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target Tovrin Tovrin1 >/dev/null
    rm -rf "$stage" "$zip"
    mkdir -p "$stage"
    for file in Tovrin.exe Tovrin1.DLL; do
        "$tools-strip" --strip-all -o "$stage/$file" "build/$preset/bin/$file"
    done
    cp examples/* "$stage/"
    windows_readme "$name" >"$stage/README.txt"
    (cd "$RELEASE/stage" && zip -q -X -r "$zip" "$folder")
    rm -rf "$stage"
    unzip -l "$zip"
    paths+=("$zip")
}

./scripts/setup.sh >/dev/null
paths=()
[ "${1:-}" = "--windows-only" ] || debian_package
mkdir -p "$RELEASE"
windows_archive mingw-i686 win32 i686-w64-mingw32
windows_archive mingw-x64 win64 x86_64-w64-mingw32
printf '%s\n' "${paths[@]}"
