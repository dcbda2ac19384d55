#!/usr/bin/env bash
# Builds a minimal shared Qt 6 (Core, Gui, Widgets, Test) for x86_64-w64-mingw32 from Debian's own
# qt6-base source package, with Debian's native Qt of the same version as the host tools, into a cache
# folder outside the tree. A cache that is already complete is reused as it is.
#   scripts/build-qt-windows.sh          builds if needed, then prints the prefix
# The prefix is $LIAISON_CACHE/qt-<version>-x86_64-w64-mingw32 (LIAISON_CACHE defaults to
# ~/.cache/liaison-serie). Takes about a quarter of an hour on 2 cores the first time.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

version=6.4.2
cache=${LIAISON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/liaison-serie}
prefix=$cache/qt-$version-x86_64-w64-mingw32
stamp=$prefix/.complete

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

"$here/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix dpkg-dev qt6-base-dev-tools >&2

# The source package needs a deb-src entry; add one beside the machine's own sources once.
if ! apt-get source --print-uris qt6-base >/dev/null 2>&1 || \
   [ -z "$(apt-get source --print-uris qt6-base 2>/dev/null | grep -F .dsc)" ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    cat <<'SRC' | "${sudo[@]}" tee /etc/apt/sources.list.d/liaison-serie-deb-src.sources >/dev/null
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    "${sudo[@]}" apt-get update -qq >&2
fi

work=$cache/build-qt-$version
rm -rf "$work" "$prefix"
mkdir -p "$work"
cd "$work"
echo "Fetching Debian's qt6-base source into $work" >&2
apt-get source -qq qt6-base >&2
src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
[ -n "$src" ] && [ -f "$src/CMakeLists.txt" ] || { echo "qt6-base source not found in $work" >&2; exit 1; }
srcversion=$(basename "$src")
case "$srcversion" in
    *"$version"*) ;;
    *) echo "Debian's qt6-base is $srcversion, not $version: the host tools would not match" >&2; exit 1 ;;
esac

off=(network sql dbus opengl vulkan printsupport concurrent xml icu zstd glib freetype fontconfig jpeg
     direct2d directwrite3 tabletevent
     system_zlib system_pcre2 system_png system_jpeg system_freetype system_harfbuzz
     system_doubleconversion system_libb2 system_textmarkdownreader system_sqlite)
features=()
for f in "${off[@]}"; do features+=("-DFEATURE_$f=OFF"); done

echo "Configuring Qt $version for x86_64-w64-mingw32" >&2
cmake -G Ninja -S "$src" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr \
    -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DINPUT_opengl=no \
    "${features[@]}" >"$work/configure.log" 2>&1 || { tail -n 60 "$work/configure.log" >&2; exit 1; }
grep -E '^(  |Qt )(Gui|Widgets|Testlib|Windows|OpenGL|Direct)' "$work/configure.log" >&2 || true

echo "Building Qt (log: $work/build.log)" >&2
start=$(date +%s)
cmake --build "$work/build" >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
echo "Qt $version for Windows built in $(( $(date +%s) - start )) s; $(du -sh "$prefix" | cut -f1) installed" >&2

rm -rf "$work"
touch "$stamp"
echo "$prefix"
