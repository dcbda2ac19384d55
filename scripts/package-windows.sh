#!/usr/bin/env bash
# Builds the Windows deliverables from a configured Windows build folder (the windows preset):
#   scripts/package-windows.sh [BUILD_DIR]          (default build/windows)
# - BUILD_DIR/liaison-serie-<version>-win64/: the deployable folder: liaison-serie.exe, the Qt DLLs, the
#   platform and style plugins in the subfolders Qt looks in beside the program, the mingw runtime DLLs;
# - BUILD_DIR/liaison-serie-<version>-win64.zip: that folder;
# - BUILD_DIR/liaison-serie-<version>-win64-setup.exe: the installer (installer/liaison-serie.nsi).
# Every shipped program and DLL is checked: each DLL it imports is shipped too, or is part of Windows.
# The Qt prefix is $LIAISON_QT_WINDOWS, or the one the build folder was configured with.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/windows}" && pwd)

fail() {
    echo "package-windows: $*" >&2
    exit 1
}

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build folder (cmake --preset windows)"
"$here/scripts/install-deps.sh" nsis zip binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix >&2

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
deploy=$build/$name
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
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$deploy/styles/"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$(runtime "$dll")" "$deploy/"
done
# Symbols are of no use to the users; without them the Qt DLLs are a third smaller.
find "$deploy" -name '*.exe' -o -name '*.dll' | while read -r file; do
    x86_64-w64-mingw32-strip --strip-unneeded "$file"
done

# DLLs that every Windows from 10 on carries in System32 (mingw links msvcrt.dll, not the UCRT).
declare -A system_dll
for dll in advapi32 authz comctl32 comdlg32 d3d9 d3d11 dwmapi dxgi gdi32 imm32 kernel32 mpr msvcrt netapi32 \
           ole32 oleaut32 setupapi shcore shell32 shlwapi user32 userenv uxtheme version winmm ws2_32 wtsapi32; do
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

# The file list of the installer, in both directions.
files_nsh=$build/$name-files.nsh
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

zip=$build/$name.zip
rm -f "$zip"
(cd "$build" && zip -q -r -9 -X "$zip" "$name")

setup=$build/$name-setup.exe
rm -f "$setup"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DDEPLOY_DIR="$deploy" -DFILES_NSH="$files_nsh" \
    -DOUTFILE="$setup" "$here/installer/liaison-serie.nsi" >&2

echo "Deployable folder ($(du -sk "$deploy" | cut -f1) KiB):" >&2
(cd "$deploy" && find . -type f | sort | sed 's|^\./|  |') >&2
ls -l "$zip" "$setup" >&2
echo "$setup"
