#!/usr/bin/env bash
# Builds a minimal shared Qt 6 (Core, Gui, Widgets, Test) for x86_64-w64-mingw32 from Debian's own
# qt6-base source package, of the same version as the host's Qt (whose moc, rcc and uic the cross build
# uses: 6.4.2 on Debian 12, 6.8.2 on Debian 13), into a cache folder outside the tree. A cache that is
# already complete is reused as it is.
#   scripts/build-qt-windows.sh          builds if needed, then prints the prefix
# The prefix is $LIAISON_CACHE/qt-<version>-x86_64-w64-mingw32 (LIAISON_CACHE defaults to
# ~/.cache/liaison-serie). Takes a quarter of an hour (Qt 6.4) to half an hour (Qt 6.8) on 2 cores.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# The host Qt's version, as its CMake package states it: the cross build checks QT_HOST_PATH against it.
host_config=/usr/lib/x86_64-linux-gnu/cmake/Qt6/Qt6ConfigVersionImpl.cmake
host_version() {
    [ -f "$host_config" ] && sed -n 's/^set(PACKAGE_VERSION "\([0-9.]*\)")$/\1/p' "$host_config" | head -n 1
}
version=$(host_version || true)
if [ -z "$version" ]; then
    "$here/scripts/install-deps.sh" qt6-base-dev-tools >&2
    version=$(host_version || true)
fi
[ -n "$version" ] || { echo "No host Qt 6 version in $host_config" >&2; exit 1; }

cache=${LIAISON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/liaison-serie}
prefix=$cache/qt-$version-x86_64-w64-mingw32
stamp=$prefix/.complete

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

"$here/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix dpkg-dev qt6-base-dev-tools >&2

# The source of the host's own Qt: the source version of its qt6-base-dev-tools package.
srcpin=$(dpkg-query -W -f='${source:Version}' qt6-base-dev-tools)
case "$srcpin" in
    "$version"+* | "$version"-*) ;;
    *) echo "qt6-base-dev-tools is $srcpin, its CMake package says $version" >&2; exit 1 ;;
esac

has_source() { apt-get source --print-uris "qt6-base=$srcpin" 2>/dev/null | grep -qF .dsc; }

# The source package needs a deb-src entry for this release: write one beside the machine's own sources
# (same mirror, this release's suites), or rewrite it after an upgrade of the release.
ensure_source() {
    if ! has_source; then
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        [ -n "$codename" ] || { echo "no VERSION_CODENAME in /etc/os-release" >&2; exit 1; }
        mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n 1 || true)
        [ -n "$mirror" ] || mirror=$(sed -n 's/^deb  *\(\[[^]]*\]  *\)\{0,1\}\([^ ]*\).*/\2/p' /etc/apt/sources.list 2>/dev/null |
            grep -v security | head -n 1 || true)
        sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        cat <<SRC | "${sudo[@]}" tee /etc/apt/sources.list.d/liaison-serie-deb-src.sources >/dev/null
Types: deb-src
URIs: ${mirror:-http://deb.debian.org/debian}
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        "${sudo[@]}" apt-get update -qq >&2
    fi
    has_source || { echo "No deb-src of qt6-base $srcpin" >&2; exit 1; }
}

work=$cache/build-qt-$version
rm -rf "$prefix"
# A build that stopped before its end (interrupted, or failed and fixed since) goes on where it was: the
# source, once wholly unpacked, is kept, and cmake and ninja redo only what changed.
if [ "$(cat "$work/.unpacked" 2>/dev/null)" = "$srcpin" ]; then
    echo "Going on with the build in $work" >&2
else
    rm -rf "$work"
    ensure_source
    mkdir -p "$work"
    echo "Fetching Debian's qt6-base source into $work" >&2
    (cd "$work" && apt-get source -qq "qt6-base=$srcpin" >&2)
    echo "$srcpin" >"$work/.unpacked"
fi
cd "$work"
src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
[ -n "$src" ] && [ -f "$src/CMakeLists.txt" ] || { echo "qt6-base source not found in $work" >&2; exit 1; }
srcversion=$(basename "$src")
case "$srcversion" in
    *"$version"*) ;;
    *) echo "Debian's qt6-base is $srcversion, not $version: the host tools would not match" >&2; exit 1 ;;
esac

off=(network sql dbus opengl vulkan printsupport concurrent xml icu zstd glib freetype fontconfig jpeg
     directwrite3 tabletevent
     system_zlib system_pcre2 system_png system_jpeg system_freetype system_harfbuzz
     system_doubleconversion system_libb2 system_textmarkdownreader system_sqlite)
# Qt 6.8 differs: it hardens its own build by default, and -fstack-protector-strong would make every Qt
# DLL import mingw's libssp-0.dll, one DLL more to ship; and its Windows font database needs DirectWrite
# with Direct2D (it fails to compile with either off), so Qt6Gui.dll imports Windows' own d2d1.dll and
# dwrite.dll there. Qt 6.4 builds without Direct2D.
case "$version" in
    6.[0-4].*) off+=(direct2d) ;;
    *) off+=(stack_protector) ;;
esac
features=()
for f in "${off[@]}"; do features+=("-DFEATURE_$f=OFF"); done

echo "Configuring Qt $version for x86_64-w64-mingw32" >&2
# --fresh: the options of this run alone, none left in the cache by a build that stopped.
cmake --fresh -G Ninja -S "$src" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr \
    -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DINPUT_opengl=no \
    "${features[@]}" >"$work/configure.log" 2>&1 || { tail -n 60 "$work/configure.log" >&2; exit 1; }
# Qt 6.4 prints its summary, Qt 6.8 writes it to config.summary.
summary=$work/configure.log
[ ! -f "$work/build/config.summary" ] || summary=$work/build/config.summary
grep -E '^ *(Qt )?(Gui|Widgets|Testlib|Direct|OpenGL)[A-Za-z0-9 .]* \.\.|stack-protector' "$summary" >&2 || true

echo "Building Qt (log: $work/build.log)" >&2
start=$(date +%s)
cmake --build "$work/build" >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
echo "Qt $version for Windows built in $(( $(date +%s) - start )) s; $(du -sh "$prefix" | cut -f1) installed" >&2

rm -rf "$work"
touch "$stamp"
echo "$prefix"
