#!/usr/bin/env bash
# Builds the Windows deliverables from a configured Windows build folder (the windows preset):
#   scripts/package-windows.sh [BUILD_DIR [OUT_DIR]]     (default build/windows, OUT_DIR = BUILD_DIR)
# - OUT_DIR/liaison-serie-<version>-win64/: the deployable folder: liaison-serie.exe, the technician's
#   guide guide.html beside it (where the console opens it with F1), the Qt DLLs, the platform and style
#   plugins in the subfolders Qt looks in beside the program, the mingw runtime DLLs;
# - OUT_DIR/liaison-serie-<version>-win64.zip: that folder;
# - OUT_DIR/liaison-serie-<version>-win64-setup.exe: the installer (installer/liaison-serie.nsi);
# - OUT_DIR/liaison-serie-<version>-win64.msi: the Windows Installer package, per machine, for the IT
#   services that deploy to many PCs (installer/liaison-serie.wxs, built with wixl).
# The three are made from one list of the folder's files, OUT_DIR/liaison-serie-<version>-win64-files.txt.
# Every shipped program and DLL is checked: each DLL it imports is shipped too, or is part of Windows.
# The Qt prefix is $LIAISON_QT_WINDOWS, or the one the build folder was configured with.
#
# Signing (Authenticode, with osslsigncode): when LIAISON_SIGN_PKCS12 names a PKCS#12 file (.p12, .pfx)
# holding the code-signing certificate, its chain and its key, liaison-serie.exe, the uninstaller, the
# installer and the MSI package are signed with it (SHA-256). LIAISON_SIGN_PASSWORD is that file's password (none if unset;
# it is handed to osslsigncode through a pipe, never on a command line). LIAISON_SIGN_TIMESTAMP_URL, if
# set, is a time-stamping server (RFC 3161), so that the signatures outlive the certificate. Without
# LIAISON_SIGN_PKCS12 nothing is signed.
#
# Entry points that serve the steps above and the install check:
#   scripts/package-windows.sh --installer DEPLOY_DIR VERSION SETUP_EXE   the installer of a folder
#   scripts/package-windows.sh --msi DEPLOY_DIR VERSION PACKAGE_MSI       the MSI package of a folder
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

# The one list of the files to ship: every file of a deployable folder, relative to it, '/'-separated,
# sorted. The zip, the NSIS installer (what it installs and what its uninstaller removes) and the MSI
# package (its components) are all made from this list, never from a list of their own.
write_file_list() {
    local deploy=$1 list=$2
    (cd "$deploy" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$list"
    [ -s "$list" ] || fail "no file to ship in $deploy"
}

# The folders of a file list, each after its parent ("" for the top one not printed).
list_dirs() {
    local path
    while read -r path; do
        while [[ $path == */* ]]; do
            path=${path%/*}
            echo "$path"
        done
    done <"$1" | LC_ALL=C sort -u
}

# The files of a list that sit directly in folder $2 ("" for the top).
files_in() {
    local path
    while read -r path; do
        if [ -z "$2" ]; then
            [[ $path == */* ]] || echo "$path"
        elif [[ $path == "$2"/* && ${path#"$2"/} != */* ]]; then
            echo "$path"
        fi
    done <"$1"
}

# Writes the installer of a deployable folder from its file list: the list in both directions for
# NSIS, then makensis; the uninstaller and the installer are signed when a certificate is given.
make_installer() {
    local deploy version setup list files_nsh dir windir file path dirs
    deploy=$(cd "$1" && pwd)
    version=$2
    setup=$3
    list=$4
    [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version '$version' is not x.y.z"
    files_nsh=${setup%.exe}-files.nsh
    {
        echo "; Made by scripts/package-windows.sh from $list"
        echo '!macro LIAISON_INSTALL_FILES'
        mapfile -t dirs < <(list_dirs "$list")
        for dir in "" "${dirs[@]}"; do
            windir=${dir:+\\${dir//\//\\}}
            echo "  SetOutPath \"\$INSTDIR$windir\""
            files_in "$list" "$dir" | while read -r file; do
                echo "  File \"\${DEPLOY_DIR}/$file\""
            done
        done
        echo '!macroend'
        echo '!macro LIAISON_UNINSTALL_FILES'
        while read -r path; do
            echo "  Delete \"\$INSTDIR\\${path//\//\\}\""
        done <"$list"
        list_dirs "$list" | LC_ALL=C sort -r | while read -r dir; do
            echo "  RMDir \"\$INSTDIR\\${dir//\//\\}\""
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

# A WiX identifier for a path: readable where it can be, a digest where the path is too long for one.
wix_id() {
    local id=$1_${2//[^A-Za-z0-9_.]/_}
    [ ${#id} -le 72 ] || id=$1_$(printf '%s' "$2" | sha1sum | cut -c1-40)
    echo "$id"
}

xml_escape() {
    local s=${1//&/&amp;}
    s=${s//</&lt;}
    s=${s//>/&gt;}
    echo "${s//\"/&quot;}"
}

# A name-based (SHA-1, version 5) UUID of the name $2 in the namespace UUID $1, in capitals.
uuid5() {
    local ns=${1//-/} bytes='' h i
    for ((i = 0; i < 32; i += 2)); do
        bytes+="\\x${ns:i:2}"
    done
    h=$( { printf '%b' "$bytes"; printf '%s' "$2"; } | sha1sum | cut -c1-32)
    h=${h:0:12}5${h:13:3}$(printf '%x' $(((0x${h:16:1} & 0x3) | 0x8)))${h:17:15}
    echo "${h:0:8}-${h:8:4}-${h:12:4}-${h:16:4}-${h:20:12}" | tr a-f A-F
}

# Writes the MSI package of a deployable folder from its file list: the list as a WiX fragment (a
# component per file, under INSTALLDIR), then wixl with installer/liaison-serie.wxs; the package is
# signed when a certificate is given.
make_msi() {
    local deploy version msi list files_wxs dir file parent id dirs
    deploy=$(cd "$1" && pwd)
    version=$2
    msi=$3
    list=$4
    [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version '$version' is not x.y.z"
    files_wxs=${msi%.msi}-files.wxs
    # The ProductCode is one per version, derived from the UpgradeCode: each version has its own, as a
    # major upgrade wants, and a package of a version rebuilt is still that same product.
    local upgrade_code product_code
    upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]\{36\}\)".*/\1/p' "$here/installer/liaison-serie.wxs")
    [ -n "$upgrade_code" ] || fail "no UpgradeCode in installer/liaison-serie.wxs"
    product_code=$(uuid5 "$upgrade_code" "$version")
    declare -A seen=()
    {
        echo '<?xml version="1.0" encoding="utf-8"?>'
        echo "<!-- Made by scripts/package-windows.sh from $(xml_escape "$list") -->"
        echo '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">'
        echo '  <Fragment>'
        mapfile -t dirs < <(list_dirs "$list")
        for dir in "" "${dirs[@]}"; do
            if [ -z "$dir" ]; then
                id=INSTALLDIR
                echo '    <DirectoryRef Id="INSTALLDIR">'
            else
                id=$(wix_id d "$dir")
                [[ $dir == */* ]] && parent=$(wix_id d "${dir%/*}") || parent=INSTALLDIR
                echo "    <DirectoryRef Id=\"$parent\">"
                echo "     <Directory Id=\"$id\" Name=\"$(xml_escape "${dir##*/}")\">"
            fi
            while read -r file; do
                id=$(wix_id f "$file")
                [ -z "${seen[$id]:-}" ] || fail "two files of $list have the WiX identifier $id"
                seen[$id]=1
                echo "      <Component Id=\"$id\" Guid=\"*\" Win64=\"yes\">"
                echo "        <File Id=\"$id\" Name=\"$(xml_escape "${file##*/}")\"" \
                     "Source=\"\$(var.DeployDir)/$(xml_escape "$file")\" KeyPath=\"yes\"/>"
                echo '      </Component>'
            done < <(files_in "$list" "$dir")
            [ -n "$dir" ] && echo '     </Directory>'
            echo '    </DirectoryRef>'
        done
        echo '  </Fragment>'
        echo '  <Fragment>'
        echo '    <ComponentGroup Id="LiaisonFiles">'
        while read -r file; do
            echo "      <ComponentRef Id=\"$(wix_id f "$file")\"/>"
        done <"$list"
        echo '    </ComponentGroup>'
        echo '  </Fragment>'
        echo '</Wix>'
    } >"$files_wxs"

    rm -f "$msi"
    # wixl finds source files only relative to its working folder, not by absolute paths: it runs in the
    # deployable folder. It takes the architecture from -a only (it ignores Package/@Platform).
    local icon
    icon=$(realpath --relative-to="$deploy" "$here/console/icons/liaison-serie.ico")
    (cd "$deploy" && wixl -a x64 -D Version="$version" -D ProductCode="$product_code" -D DeployDir=. \
        -D IconFile="$icon" -o "$msi" "$here/installer/liaison-serie.wxs" "$files_wxs") >&2 || fail "wixl failed"
    [ -s "$msi" ] || fail "wixl wrote no $msi"
    sign_file "$msi"
}

case "${1:-}" in
--sign)
    [ $# -eq 2 ] || fail "usage: $0 --sign FILE"
    sign_file "$2"
    exit 0
    ;;
--installer | --msi)
    [ $# -eq 4 ] || fail "usage: $0 $1 DEPLOY_DIR VERSION OUTPUT"
    deps=(nsis wixl)
    signing && deps+=(osslsigncode)
    "$here/scripts/install-deps.sh" "${deps[@]}" >&2
    target=$(realpath -m "$4")
    list=${target%.*}-files.txt
    write_file_list "$2" "$list"
    if [ "$1" = --installer ]; then
        make_installer "$2" "$3" "$target" "$list"
    else
        make_msi "$2" "$3" "$target" "$list"
    fi
    exit 0
    ;;
esac

build=$(cd "${1:-$here/build/windows}" && pwd)
out=${2:-$build}
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build folder (cmake --preset windows)"
deps=(nsis wixl zip binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix)
signing && deps+=(osslsigncode)
"$here/scripts/install-deps.sh" "${deps[@]}" >&2

qt=${LIAISON_QT_WINDOWS:-$(sed -n 's/^LIAISON_QT_WINDOWS:[A-Z]*=//p' "$build/CMakeCache.txt")}
[ -f "$qt/bin/Qt6Core.dll" ] || fail "no Qt for Windows at '$qt' (set LIAISON_QT_WINDOWS)"
version=$(sed -n 's/^project(liaison-serie VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no x.y.z version in the project() line of CMakeLists.txt"

cmake --build "$build" --target liaison-serie liaison_guide -j2 >&2
# Qt's project setup puts the programs at the top of the build folder on Windows.
exe=
for candidate in "$build/liaison-serie.exe" "$build/console/liaison-serie.exe"; do
    [ -f "$candidate" ] && exe=$candidate && break
done
[ -n "$exe" ] || fail "no liaison-serie.exe in $build after building it"
# The guide is made beside the program in the build folder, as it is shipped.
guide=$(dirname "$exe")/guide.html
[ -s "$guide" ] || fail "no guide.html beside $exe after building the guide (target liaison_guide)"

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
cp "$exe" "$guide" "$deploy/"
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

list=$out/$name-files.txt
write_file_list "$deploy" "$list"

zip=$out/$name.zip
rm -f "$zip"
(cd "$out" && sed "s|^|$name/|" "$list" | zip -q -9 -X "$zip" -@) || fail "zip failed"

setup=$out/$name-setup.exe
make_installer "$deploy" "$version" "$setup" "$list"

msi=$out/$name.msi
make_msi "$deploy" "$version" "$msi" "$list"

echo "Deployable folder ($(du -sk "$deploy" | cut -f1) KiB):" >&2
(cd "$deploy" && find . -type f | sort | sed 's|^\./|  |') >&2
ls -l "$zip" "$setup" "$msi" >&2
echo "$setup"
