#!/usr/bin/env bash
# Builds the Windows deliverables from a configured Windows build folder (the windows preset):
#   scripts/package-windows.sh [BUILD_DIR [OUT_DIR]]     (default build/windows, OUT_DIR = BUILD_DIR)
# - OUT_DIR/liaison-serie-<version>-win64/: the deployable folder: liaison-serie.exe, the Qt DLLs, the
#   platform and style plugins in the subfolders Qt looks in beside the program, the mingw runtime DLLs;
# - OUT_DIR/liaison-serie-<version>-win64.zip: that folder;
# - OUT_DIR/liaison-serie-<version>-win64-setup.exe: the installer (installer/liaison-serie.nsi).
# Every shipped program and DLL is checked: each DLL it imports is shipped too, or is part of Windows.
# The Qt prefix is $LIAISON_QT_WINDOWS, or the one the build folder was configured with.
#
# Signing (Authenticode, with osslsigncode): when LIAISON_SIGN_PKCS12 names a PKCS#12 file (.p12, .pfx)
# holding the code-signing certificate, its chain and its key, liaison-serie.exe, the uninstaller and the
# installer are signed with it (SHA-256). LIAISON_SIGN_PASSWORD is that file's password (none if unset;
# it is handed to osslsigncode through a pipe, never on a command line). LIAISON_SIGN_TIMESTAMP_URL, if
# set, is a time-stamping server (RFC 3161), so that the signatures outlive the certificate. Without
# LIAISON_SIGN_PKCS12 nothing is signed.
#
# Two entry points serve the steps above and the install check:
#   scripts/package-windows.sh --installer DEPLOY_DIR VERSION SETUP_EXE   the installer of a folder
#   scripts/package-windows.sh --sign FILE                                 signs FILE in place, if asked
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
self=$here/scripts/package-windows.sh

fail() {
    echo "package-windows: $*" >&2
    exit 1
}

signing() {
    [ -n "${LIAISON_SIGN_PKCS12:-}" ]
}

# Signs one program in place (SHA-256 Authenticode), when a certificate is given.
sign_file() {
    local file=$1 signed=$1.signed
    signing || return 0
    [ -f "$LIAISON_SIGN_PKCS12" ] || fail "LIAISON_SIGN_PKCS12: no file '$LIAISON_SIGN_PKCS12'"
    [ -f "$file" ] || fail "nothing to sign at $file"
    local timestamp=()
    [ -n "${LIAISON_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$LIAISON_SIGN_TIMESTAMP_URL")
    rm -f "$signed"
    osslsigncode sign -pkcs12 "$LIAISON_SIGN_PKCS12" -readpass <(printf '%s' "${LIAISON_SIGN_PASSWORD:-}") \
        -h sha256 -n "Test liaison série" "${timestamp[@]}" -in "$file" -out "$signed" >&2 ||
        { rm -f "$signed"; fail "osslsigncode could not sign $file"; }
    mv "$signed" "$file"
    echo "package-windows: signed $file" >&2
}

# Writes the installer of a deployable folder: its file list for both directions, then makensis; the
# uninstaller and the installer are signed when a certificate is given.
make_installer() {
    local deploy version setup files_nsh
    deploy=$(cd "$1" && pwd)
    version=$2
    setup=$3
    [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version '$version' is not x.y.z"
    files_nsh=${setup%.exe}-files.nsh
    {
        echo "; Made by scripts/package-windows.sh from $deploy"
        echo '!macro LIAISON_INSTALL_FILES'
        (cd "$deploy" && find . -type d | sort) | while read -r dir; do
            windir=${dir#.}
            echo "  SetOutPath \"\$INSTDIR${windir//\//\\}\""
            (cd "$deploy/$dir" && find . -maxdepth 1 -type f | sort) | while read -r file; do
                echo "  File \"\${DEPLOY_DIR}${windir}/${file#./}\""
            done
        done
        echo '!macroend'
        echo '!macro LIAISON_UNINSTALL_FILES'
        (cd "$deploy" && find . -type f | sort) | while read -r file; do
            path=${file#./}
            echo "  Delete \"\$INSTDIR\\${path//\//\\}\""
        done
        (cd "$deploy" && find . -mindepth 1 -type d | sort -r) | while read -r dir; do
            path=${dir#./}
            echo "  RMDir \"\$INSTDIR\\${path//\//\\}\""
        done
        echo '!macroend'
    } >"$files_nsh"

    local sign=()
    signing && sign=(-DSIGN_SCRIPT="$self")
    rm -f "$setup"
    makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DDEPLOY_DIR="$deploy" -DFILES_NSH="$files_nsh" \
        -DOUTFILE="$setup" "${sign[@]}" "$here/installer/liaison-serie.nsi" >&2 || fail "makensis failed"
    sign_file "$setup"
}

case "${1:-}" in
--sign)
    [ $# -eq 2 ] || fail "usage: $0 --sign FILE"
    sign_file "$2"
    exit 0
    ;;
--installer)
    [ $# -eq 4 ] || fail "usage: $0 --installer DEPLOY_DIR VERSION SETUP_EXE"
    deps=(nsis)
    signing && deps+=(osslsigncode)
    "$here/scripts/install-deps.sh" "${deps[@]}" >&2
    make_installer "$2" "$3" "$4"
    exit 0
    ;;
esac

build=$(cd "${1:-$here/build/windows}" && pwd)
out=${2:-$build}
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build folder (cmake --preset windows)"
deps=(nsis zip binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix)
signing && deps+=(osslsigncode)
"$here/scripts/install-deps.sh" "${deps[@]}" >&2

qt=${LIAISON_QT_WINDOWS:-$(sed -n 's/^LIAISON_QT_WINDOWS:[A-Z]*=//p' "$build/CMakeCache.txt")}
[ -f "$qt/bin/Qt6Core.dll" ] || fail "no Qt for Windows at '$qt' (set LIAISON_QT_WINDOWS)"
version=$(sed -n 's/^project(liaison-serie VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no x.y.z version in the project() line of CMakeLists.txt"

cmake --build "$build" --target liaison-serie -j2 >&2
# Qt's project setup puts the programs at the top of the build folder on Windows.
exe=
for candidate in "$build/liaison-serie.exe" "$build/console/liaison-serie.exe"; do
    [ -f "$candidate" ] && exe=$candidate && break
done
[ -n "$exe" ] || fail "no liaison-serie.exe in $build after building it"

name=liaison-serie-$version-win64
deploy=$out/$name
rm -rf "$deploy"
mkdir -p "$deploy/platforms" "$deploy/styles"

cxx=x86_64-w64-mingw32-g++-posix
runtime() {
    local path
    path=$("$cxx" -print-file-name="$1")
    [ -f "$path" ] || fail "$cxx does not know where $1 is"
    echo "$path"
}
cp "$exe" "$deploy/"
for lib in Qt6Core Qt6Gui Qt6Widgets; do
    cp "$qt/bin/$lib.dll" "$deploy/"
done
cp "$qt/plugins/platforms/qwindows.dll" "$deploy/platforms/"
# The native style: Qt 6.4's Windows Vista style plugin, which Qt 6.7 on names for the Windows 11 style it
# holds beside it.
style=$qt/plugins/styles/qwindowsvistastyle.dll
[ -f "$style" ] || style=$qt/plugins/styles/qmodernwindowsstyle.dll
cp "$style" "$deploy/styles/"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$(runtime "$dll")" "$deploy/"
done
# Symbols are of no use to the users; without them the Qt DLLs are a third smaller.
find "$deploy" -name '*.exe' -o -name '*.dll' | while read -r file; do
    x86_64-w64-mingw32-strip --strip-unneeded "$file"
done

# DLLs that every Windows from 10 on carries in System32 (mingw links msvcrt.dll, not the UCRT), and the
# API set that Qt 6.8's Qt6Core.dll imports (Windows resolves those names itself).
declare -A system_dll
for dll in advapi32 api-ms-win-core-synch-l1-2-0 authz comctl32 comdlg32 d2d1 d3d9 d3d11 d3d12 dwmapi dwrite \
           dxgi gdi32 imm32 kernel32 mpr msvcrt netapi32 ole32 oleaut32 setupapi shcore shell32 shlwapi user32 \
           userenv uxtheme version winmm ws2_32 wtsapi32; do
    system_dll[$dll.dll]=1
done
missing=0
while read -r file; do
    while read -r dll; do
        lower=${dll,,}
        [ -n "${system_dll[$lower]:-}" ] && continue
        [[ $lower == api-ms-win-* ]] && continue
        # Imported DLLs are looked up beside the program, whichever subfolder the importer sits in.
        [ -f "$deploy/$dll" ] && continue
        echo "package-windows: ${file#"$deploy"/} needs $dll, which is neither shipped nor part of Windows" >&2
        missing=1
    done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$deploy" -name '*.exe' -o -name '*.dll')
[ "$missing" -eq 0 ] || exit 1
# Signed before it goes into the zip and the installer.
sign_file "$deploy/liaison-serie.exe"

zip=$out/$name.zip
rm -f "$zip"
(cd "$out" && zip -q -r -9 -X "$zip" "$name")

setup=$out/$name-setup.exe
make_installer "$deploy" "$version" "$setup"

echo "Deployable folder ($(du -sk "$deploy" | cut -f1) KiB):" >&2
(cd "$deploy" && find . -type f | sort | sed 's|^\./|  |') >&2
ls -l "$zip" "$setup" >&2
echo "$setup"
