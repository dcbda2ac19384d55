#!/usr/bin/env bash
# Checks the Windows installer under wine, in a fresh wine prefix, on a virtual display:
#   scripts/check-windows-install.sh [BUILD_DIR]          (default build/windows, after cmake --build)
# - packages the build again into BUILD_DIR/install-check/ with scripts/package-windows.sh, signed with a
#   throw-away self-signed certificate made here; each signature (program, installer, uninstaller) must
#   verify against that certificate; an older installer made without a certificate must be unsigned;
# - the older installer (a lower version, from the same folder plus files that only it ships) is
#   installed, then this version over it, in both kinds of installation:
#   for the current user ("/S /CURRENTUSER", then "/S", which must update that installation) and for
#   every user ("/S", then "/S /ALLUSERS"); after each, the installed files must be exactly the shipped
#   ones (none of the older version's left), with one Start-menu shortcut and one Add/Remove Programs
#   entry, showing the version installed, under HKCU or HKLM as fits the kind, and none under the other;
#   the technician's guide guide.html beside the program, with its own Start-menu shortcut
#   "Guide de Test liaison série" pointing at it;
# - the program, started through the shortcut, must show its window "Test liaison série" with a 433 x 193
#   client area (BUILD_DIR/window-wine.png is a picture of it), then RUNS times directly (default 5); the
#   time from start to window shown is printed for each start, with the median;
# - uninstalling (the entry's QuietUninstallString, or uninstall.exe /S) must remove every file, both
#   shortcuts and the entry, and leave the file a user put into the folder;
# - the MSI package (signed; the older one unsigned), per machine with "msiexec /i … /qn": the older
#   version, then this one over it (the older one's files gone, one Add/Remove Programs entry; the guide
#   and its shortcut as above), started through its shortcut; the same package again repairs a deleted
#   file; the older package over this one is refused (1603), and so is the NSIS installer over the MSI
#   installation (1638), and the MSI package over an NSIS installation for every user; "msiexec /x
#   {ProductCode} /qn" and "msiexec /x <package> /qn" each remove everything it installed (the Windows
#   Installer's records too) and nothing else.
#   Each msiexec writes its verbose log (/l*v) into BUILD_DIR/install-check/.
# Needs no display (it runs its own Xvfb and openbox) and no locale. Exits non-zero, with the reason, on
# any missing or left-over item. Prints how long it took.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/windows}" && pwd)
runs=${RUNS:-5}
SECONDS=0

fail() {
    echo "check-windows-install: FAILED: $*" >&2
    exit 1
}
step() {
    echo "== $*"
}

version=$(sed -n 's/^project(liaison-serie VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no x.y.z version in the project() line of CMakeLists.txt"
# A lower version to update from: the last non-zero part one less, the parts after it 9.
IFS=. read -r major minor patch <<<"$version"
if [ "$patch" -gt 0 ]; then
    old_version=$major.$minor.$((patch - 1))
elif [ "$minor" -gt 0 ]; then
    old_version=$major.$((minor - 1)).9
elif [ "$major" -gt 0 ]; then
    old_version=$((major - 1)).9.9
else
    fail "version $version has no lower version to update from"
fi
# fonts-wine: Tahoma and the other faces of a Windows desktop; Qt's default font is Tahoma under wine.
# unzip reads the zip back (zip only recommends it).
"$here/scripts/install-deps.sh" wine wine64 fonts-wine xvfb xdotool openbox imagemagick osslsigncode openssl \
    nsis zip unzip wixl msitools >&2

title="Test liaison série"
guide_title="Guide de $title"
# Wine makes Windows file names from Unix ones in the locale's encoding: in the C locale it cannot make
# "Test liaison série", and the silent installer then ends with status 0 having installed nothing.
# C.UTF-8 is on every Debian system, whatever locale the caller has.
export LC_ALL=C.UTF-8
export WINEPREFIX=$here/build/wine-install
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
drive_c=$WINEPREFIX/drive_c
# Where each kind of installation goes; the user's folders are known once the prefix is made.
declare -A instdir startmenu hive
instdir[AllUsers]="$drive_c/Program Files/$title"
startmenu[AllUsers]="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
hive[AllUsers]=HKLM
hive[CurrentUser]=HKCU
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\liaison-serie'
# The MSI package installs per machine, into the same folder as the NSIS installer's for every user.
instdir[Msi]=${instdir[AllUsers]}
hive[Msi]=HKLM
# The kind of installation whose folder, shortcut and entry must not be there beside one of kind $1.
other() {
    case $1 in
    AllUsers) echo CurrentUser ;;
    CurrentUser) echo AllUsers ;;
    Msi) echo CurrentUser ;;
    esac
}

xvfb='' openbox='' program=''
cleanup() {
    set +e # stop everything, whatever fails
    [ -n "$program" ] && kill "$program" 2>/dev/null
    timeout 20 wineserver -k 2>/dev/null
    [ -n "$openbox" ] && kill "$openbox" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    echo "check-windows-install: $SECONDS s" >&2
    return 0
}
trap cleanup EXIT

work=$build/install-check
rm -rf "$work"
mkdir -p "$work"

step "throw-away code-signing certificate"
openssl req -x509 -newkey rsa:3072 -sha256 -days 2 -nodes -subj "/CN=liaison-serie throw-away test signer" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$work/signer.key" -out "$work/signer.pem" 2>/dev/null || fail "openssl could not make a certificate"
password=$(openssl rand -hex 16)
openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -out "$work/signer.p12" \
    -passout "pass:$password" || fail "openssl could not make the PKCS#12 file"
rm -f "$work/signer.key"
openssl x509 -in "$work/signer.pem" -noout -subject -fingerprint -sha256

step "signed package of version $version"
start=$SECONDS
LIAISON_SIGN_PKCS12=$work/signer.p12 LIAISON_SIGN_PASSWORD=$password \
    "$here/scripts/package-windows.sh" "$build" "$work/new" >/dev/null 2>"$work/package.log" ||
    { cat "$work/package.log" >&2; fail "scripts/package-windows.sh failed"; }
deploy=$work/new/liaison-serie-$version-win64
setup=$work/new/liaison-serie-$version-win64-setup.exe
[ -f "$setup" ] || fail "scripts/package-windows.sh made no $setup"
msi=$work/new/liaison-serie-$version-win64.msi
[ -f "$msi" ] || fail "scripts/package-windows.sh made no $msi"
echo "packaged in $((SECONDS - start)) s; installer $(stat -c %s "$setup") bytes," \
    "MSI package $(stat -c %s "$msi") bytes"

step "unsigned installer of the older version $old_version"
old_deploy=$work/old/liaison-serie-$old_version-win64
old_setup=$work/old/liaison-serie-$old_version-win64-setup.exe
mkdir -p "$work/old"
cp -a "$deploy" "$old_deploy"
# Files that only the older version ships, one of them in a folder of its own: the update removes them.
old_only=(ancienne-notice.txt imageformats/qancien.dll)
echo "notice de la version $old_version" >"$old_deploy/ancienne-notice.txt"
mkdir -p "$old_deploy/imageformats"
cp "$deploy/platforms/qwindows.dll" "$old_deploy/imageformats/qancien.dll"
env -u LIAISON_SIGN_PKCS12 "$here/scripts/package-windows.sh" --installer "$old_deploy" "$old_version" \
    "$old_setup" >/dev/null 2>>"$work/package.log" ||
    { cat "$work/package.log" >&2; fail "the older installer could not be made"; }
old_msi=$work/old/liaison-serie-$old_version-win64.msi
env -u LIAISON_SIGN_PKCS12 "$here/scripts/package-windows.sh" --msi "$old_deploy" "$old_version" \
    "$old_msi" >/dev/null 2>>"$work/package.log" ||
    { cat "$work/package.log" >&2; fail "the older MSI package could not be made"; }

# Signed files must verify against the throw-away certificate as their only trusted root.
check_signed() {
    local output
    output=$(osslsigncode verify -CAfile "$work/signer.pem" -in "$1" 2>&1) ||
        fail "the signature of $1 does not verify: $(tail -n 5 <<<"$output")"
    grep -q '^Signature verification: ok' <<<"$output" || fail "no verified signature in $1"
    grep -q 'Subject: /CN=liaison-serie throw-away test signer' <<<"$output" ||
        fail "$1 is not signed by the throw-away certificate"
    echo "signed, verified: ${1#"$build"/}"
}
check_unsigned() {
    local output
    if output=$(osslsigncode verify -CAfile "$work/signer.pem" -in "$1" 2>&1); then
        fail "$1 carries a signature, though no certificate was given"
    fi
    grep -qE 'No signature found|MSI file has no signature' <<<"$output" ||
        fail "$1: not a plain unsigned file: $output"
    echo "unsigned: ${1#"$build"/}"
}
step "signatures"
check_signed "$deploy/liaison-serie.exe"
check_signed "$setup"
check_unsigned "$old_setup"
check_signed "$msi"
check_unsigned "$old_msi"
unzip -p "$work/new/liaison-serie-$version-win64.zip" "liaison-serie-$version-win64/liaison-serie.exe" |
    cmp -s - "$deploy/liaison-serie.exe" || fail "the zip does not hold the signed program"
echo "the zip holds the signed program"
# The guide, as the build made it beside the program.
built_guide=$build/guide.html
[ -f "$built_guide" ] || built_guide=$build/console/guide.html
[ -s "$deploy/guide.html" ] || fail "the deployable folder has no guide.html beside liaison-serie.exe"
cmp -s "$deploy/guide.html" "$built_guide" ||
    fail "the deployable folder's guide.html is not the one the build made ($built_guide)"
unzip -p "$work/new/liaison-serie-$version-win64.zip" "liaison-serie-$version-win64/guide.html" |
    cmp -s - "$deploy/guide.html" || fail "the zip holds no guide.html beside the program"
echo "the deployable folder and the zip hold the guide beside the program"

step "MSI packages, as msitools reads them"
# A property of an MSI package's Property table.
msi_property() {
    msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'
}
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]\{36\}\)".*/{\1}/p' "$here/installer/liaison-serie.wxs")
product_code=$(msi_property "$msi" ProductCode)
old_product_code=$(msi_property "$old_msi" ProductCode)
for package in "$msi" "$old_msi"; do
    [ "$(msi_property "$package" ALLUSERS)" = 1 ] || fail "$package does not install per machine (ALLUSERS)"
    [ "$(msi_property "$package" UpgradeCode)" = "$upgrade_code" ] ||
        fail "$package does not carry the UpgradeCode $upgrade_code of installer/liaison-serie.wxs"
    [ "$(msi_property "$package" ProductName)" = "$title" ] || fail "$package is not named \"$title\""
    # Its files: one a component, as many as the deployable folder it was made from.
    shipped=$(msiinfo export "$package" File | tail -n +4 | wc -l)
    from=$deploy
    [ "$package" = "$old_msi" ] && from=$old_deploy
    [ "$shipped" -eq "$(find "$from" -type f | wc -l)" ] || fail "$package holds $shipped files, not those of $from"
done
[ "$(msi_property "$msi" ProductVersion)" = "$version" ] || fail "$msi is not of version $version"
[ "$(msi_property "$old_msi" ProductVersion)" = "$old_version" ] || fail "$old_msi is not of version $old_version"
[ "$product_code" != "$old_product_code" ] || fail "two versions with the one ProductCode $product_code"
# (Whole tables read first: grep -q ending a pipe early would fail it, under pipefail.)
table=$(msiinfo export "$msi" Shortcut | tr -d '\r')
awk -F '\t' '$2 == "ProgramMenuFolder" { found = 1 } END { exit !found }' <<<"$table" ||
    fail "$msi puts no shortcut into ProgramMenuFolder"
awk -F '\t' -v name="$guide_title" '$2 == "ProgramMenuFolder" && $5 == "[INSTALLDIR]guide.html" &&
    ($3 == name || $3 ~ ("\\|" name "$")) { found = 1 } END { exit !found }' <<<"$table" ||
    fail "$msi puts no shortcut \"$guide_title\" to [INSTALLDIR]guide.html into ProgramMenuFolder"
table=$(msiinfo export "$msi" LaunchCondition)
grep -q 'plus récente' <<<"$table" || fail "$msi has no message for a downgrade"
echo "per machine (ALLUSERS 1), UpgradeCode $upgrade_code; $version: $product_code, $old_version: $old_product_code"

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

# A display of our own: Xvfb picks a free number and writes it once it accepts connections.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$displayfile" ] && break
    kill -0 "$xvfb" 2>/dev/null || fail "Xvfb did not start"
    sleep 0.1
done
[ -s "$displayfile" ] || fail "Xvfb gave no display number"
DISPLAY=:$(head -n 1 "$displayfile")
export DISPLAY
rm -f "$displayfile"
openbox >/dev/null 2>&1 &
openbox=$!
step "display $DISPLAY (Xvfb $xvfb, openbox $openbox)"

step "fresh wine prefix $WINEPREFIX"
start=$(now_ms)
timeout 20 wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
timeout 300 wineboot -i >/dev/null 2>&1 || fail "wineboot could not make the prefix"
timeout 60 wineserver -w || fail "the prefix's wineserver did not settle"
# Debian's wine 8.0 looks for its own fonts under "/usr/share/wine/../fonts", a path it cannot open, and
# would fall back to a serif face: put them where Windows keeps its fonts.
cp /usr/share/wine/fonts/* "$drive_c/windows/Fonts/"
unix_path() {
    realpath -m "$(timeout 60 winepath -u "$1" 2>/dev/null)"
}
windows_path() {
    timeout 60 winepath -w "$1" 2>/dev/null
}
# The user's folders, as wine names them (after the Unix account).
windows_variable() {
    timeout 60 wine cmd /c "echo %$1%" 2>/dev/null | tr -d '\r'
}
local_appdata=$(unix_path "$(windows_variable LOCALAPPDATA)")
appdata=$(unix_path "$(windows_variable APPDATA)")
[ -d "$local_appdata" ] && [ -d "$appdata" ] ||
    fail "no user folders in the prefix ($local_appdata, $appdata)"
instdir[CurrentUser]="$local_appdata/Programs/$title"
startmenu[CurrentUser]="$appdata/Microsoft/Windows/Start Menu/Programs"
echo "made in $(($(now_ms) - start)) ms"

# Prints an uninstall entry (HKLM or HKCU) as UTF-8 lines; fails when there is none. reg query prints in
# the OEM code page; reg export writes UTF-16, which keeps the "é".
read_entry() {
    read_key "$1\\$uninstall_key"
}
# Prints a registry key as UTF-8 lines; fails when there is none.
read_key() {
    local file=$WINEPREFIX/key.reg
    rm -f "$file"
    timeout 60 wine reg export "$1" 'C:\key.reg' /y >/dev/null 2>&1 || return 1
    mv "$drive_c/key.reg" "$file"
    iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r'
}
# The string value $2 of the registry text $1, with the .reg escapes undone.
entry_value() {
    sed -n "s/^\"$2\"=\"\\(.*\\)\"\$/\\1/p" <<<"$1" | sed 's/\\\\/\\/g; s/\\"/"/g'
}
# Every Start-menu shortcut that names the file $1 (default the program), in both Start menus (and where
# wine puts the MSI package's, once known).
shortcuts() {
    find "${startmenu[AllUsers]}" "${startmenu[CurrentUser]}" ${startmenu[Msi]:+"${startmenu[Msi]}"} -name '*.lnk' \
        -print0 2>/dev/null | xargs -0 -r grep -laF "${1:-liaison-serie.exe}" | sort -u || true
}

# A little-endian number of $3 bytes at offset $2 of file $1.
file_number() {
    od -An -t "u$3" --endian=little -j "$2" -N "$3" "$1" | tr -d ' '
}
# The local file a shortcut (.lnk) points at, as Windows names it: the path of its LinkInfo, in Unicode
# where the shortcut carries it, else in the ANSI code page. Fails when it names no local file.
lnk_target() {
    local lnk=$1 flags info header
    [ "$(file_number "$lnk" 0 4)" = 76 ] || return 1
    flags=$(file_number "$lnk" 20 4)
    info=76
    # HasLinkTargetIDList: the item list and its size come first.
    ((flags & 1)) && info=$((info + 2 + $(file_number "$lnk" 76 2)))
    # HasLinkInfo, and in it VolumeIDAndLocalBasePath.
    ((flags & 2)) || return 1
    (($(file_number "$lnk" $((info + 8)) 4) & 1)) || return 1
    header=$(file_number "$lnk" $((info + 4)) 4)
    if [ "$header" -ge 36 ]; then
        dd if="$lnk" bs=1 skip=$((info + $(file_number "$lnk" $((info + 28)) 4))) count=1040 status=none |
            iconv -f UTF-16LE -t UTF-8 | tr '\0' '\n' | sed -n 1p
    else
        dd if="$lnk" bs=1 skip=$((info + $(file_number "$lnk" $((info + 16)) 4))) count=520 status=none |
            tr '\0' '\n' | sed -n 1p | iconv -f WINDOWS-1252 -t UTF-8
    fi
}

# Checks the guide of installation $1 (a name for failures) in folder $2 with its shortcut in Start menu
# $3: guide.html beside the program, and one Start-menu shortcut to it, "Guide de Test liaison série".
check_guide() {
    local what=$1 dir=$2 want_link=$3/$guide_title.lnk links target want_target
    [ -s "$dir/guide.html" ] || fail "$what: no guide.html beside liaison-serie.exe in $dir"
    links=$(shortcuts guide.html)
    [ -n "$links" ] || fail "$what: no Start-menu shortcut to the guide (expected $want_link)"
    [ "$links" = "$want_link" ] ||
        fail "$what: the guide's Start-menu shortcuts are [${links//$'\n'/, }], not [$want_link]"
    target=$(lnk_target "$want_link") || fail "$what: the guide's shortcut $want_link names no local file"
    want_target=$(windows_path "$dir/guide.html")
    [ "${target,,}" = "${want_target,,}" ] ||
        fail "$what: the guide's shortcut points at [$target], not at the installed guide [$want_target]"
    echo "  guide: ${dir#"$drive_c"/}/guide.html; shortcut ${want_link#"$drive_c"/} -> $target"
}

# Checks that the folder $2 holds exactly the files of the deployable folder $3, the same, and the files
# named after it (relative to $2), and no empty folder; $1 names the installation in a failure.
check_files() {
    local what=$1 dir=$2 from=$3 expected actual
    shift 3
    [ -d "$dir" ] || fail "$what: nothing installed in $dir"
    expected=$( (cd "$from" && find . -type f; for f in "$@"; do echo "./$f"; done) | sed 's|^\./||' | sort)
    actual=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
    if [ "$expected" != "$actual" ]; then
        local missing leftover
        missing=$(comm -23 <(echo "$expected") <(echo "$actual") | tr '\n' ' ')
        leftover=$(comm -13 <(echo "$expected") <(echo "$actual") | tr '\n' ' ')
        fail "$what in $dir: missing: ${missing:-none}; not shipped: ${leftover:-none}"
    fi
    while read -r file; do
        cmp -s "$from/$file" "$dir/$file" || fail "$what: the installed $file is not the shipped one"
    done < <(cd "$from" && find . -type f)
    local empty
    empty=$(cd "$dir" && find . -mindepth 1 -type d -empty | tr '\n' ' ')
    [ -z "$empty" ] || fail "$what: empty folders left in $dir: $empty"
}

# Checks an installation of kind $1 (AllUsers or CurrentUser) of version $2 from deployable folder $3;
# further arguments are files the user added to the folder, which must be there too.
check_installed() {
    local kind=$1 want_version=$2 from=$3
    shift 3
    local dir=${instdir[$kind]} actual
    check_files "$kind $want_version" "$dir" "$from" uninstall.exe "$@"
    actual=$(cd "$dir" && find . -type f)

    local links want_link=${startmenu[$kind]}/$title.lnk
    links=$(shortcuts)
    [ "$links" = "$want_link" ] ||
        fail "$kind $want_version: the Start-menu shortcuts are [${links//$'\n'/, }], not [$want_link]"

    local registry
    registry=$(read_entry "${hive[$kind]}") || fail "$kind $want_version: no uninstall entry under ${hive[$kind]}"
    if read_entry "${hive[$(other "$kind")]}" >/dev/null; then
        fail "$kind $want_version: an uninstall entry under ${hive[$(other "$kind")]} too"
    fi
    for value in DisplayName DisplayVersion DisplayIcon Publisher InstallLocation UninstallString \
                 QuietUninstallString; do
        [ -n "$(entry_value "$registry" "$value")" ] || fail "$kind: the uninstall entry lacks $value"
    done
    [ "$(entry_value "$registry" DisplayName)" = "$title" ] || fail "$kind: DisplayName is not \"$title\""
    local shown
    shown=$(entry_value "$registry" DisplayVersion)
    [ "$shown" = "$want_version" ] || fail "$kind: the uninstall entry shows version $shown, not $want_version"
    local location
    location=$(entry_value "$registry" InstallLocation)
    [ "$(unix_path "$location")" = "$(realpath -m "$dir")" ] ||
        fail "$kind: InstallLocation $location is not $dir"
    [ "$(entry_value "$registry" DisplayIcon)" = "$location\\liaison-serie.exe,0" ] ||
        fail "$kind: DisplayIcon does not name the installed program"
    echo "$kind $want_version: $(wc -l <<<"$actual") files, $(du -sk "$dir" | cut -f1) KiB in ${dir#"$drive_c"/}"
    echo "  shortcut ${want_link#"$drive_c"/}; ${hive[$kind]} entry:" \
        "$(grep -E '^"(DisplayVersion|InstallLocation|QuietUninstallString)"' <<<"$registry" | tr '\n' ' ')"
    check_guide "$kind $want_version" "$dir" "${startmenu[$kind]}"
}

# Checks that no installation of either kind is left: no program folder (but for the files the user
# added to the folder of kind $1, given after it), no shortcut, no uninstall entry under HKLM or HKCU.
check_removed() {
    local kind=$1
    shift
    local dir=${instdir[$kind]} expected actual
    expected=$(for f in "$@"; do echo "$f"; done | sort)
    actual=$(if [ -d "$dir" ]; then cd "$dir" && find . -mindepth 1 | sed 's|^\./||' | sort; fi)
    [ "$expected" = "$actual" ] || fail "left after uninstalling, in $dir: [${actual//$'\n'/ }]" \
        "(only [${expected//$'\n'/ }] should be)"
    [ ! -e "${instdir[$(other "$kind")]}" ] || fail "a program folder ${instdir[$(other "$kind")]} exists"
    local links
    links=$(shortcuts)
    [ -z "$links" ] || fail "Start-menu shortcuts left after uninstalling: $links"
    links=$(shortcuts guide.html)
    [ -z "$links" ] || fail "the guide's Start-menu shortcut left after uninstalling: $links"
    for h in HKLM HKCU; do
        if read_entry "$h" >/dev/null; then
            fail "an uninstall entry is left under $h after uninstalling"
        fi
    done
    local kept=''
    [ $# -gt 0 ] && kept=" (kept: the user's $*)"
    echo "removed: program files and guide, both shortcuts, HKLM and HKCU uninstall entries$kept"
}

# Runs an installer silently with the options given.
run_installer() {
    local exe=$1
    shift
    local begin status=0
    begin=$(now_ms)
    timeout 120 wine "$exe" "$@" || status=$?
    [ "$status" -eq 0 ] || fail "$(basename "$exe") $* exited with status $status"
    timeout 60 wineserver -w || fail "$(basename "$exe") $* did not finish within 60 s"
    echo "$(basename "$exe") $*: $(($(now_ms) - begin)) ms"
}

# Runs an uninstall command line (a Windows one, as the uninstall entry holds it).
uninstall() {
    local command=$1 exe args begin status=0
    exe=$(sed -n 's/^"\([^"]*\)".*/\1/p' <<<"$command")
    args=${command#\""$exe"\"}
    [ -n "$exe" ] || fail "cannot read the uninstall command $command"
    begin=$(now_ms)
    # shellcheck disable=SC2086 # the options are separate words
    timeout 120 wine "$exe" $args || status=$?
    [ "$status" -eq 0 ] || fail "$command exited with status $status"
    # The uninstaller runs on from a copy of itself in the temporary folder: wait for every wine process.
    timeout 60 wineserver -w || fail "the uninstaller did not finish within 60 s"
    echo "$command: $(($(now_ms) - begin)) ms"
}

# Starts the program with the command given, waits for its window, and leaves the milliseconds that took
# in $elapsed, the window's id in $window and the program's process in $app. With detached=1 the command
# only launches the program and returns at once (wine start with a shortcut).
window='' app='' elapsed=0 detached=0
start_program() {
    local begin
    begin=$(now_ms)
    "$@" >/dev/null 2>&1 &
    program=$!
    window=''
    while [ $(($(now_ms) - begin)) -lt 60000 ]; do
        window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && break
        [ "$detached" -eq 1 ] || kill -0 "$program" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.02
    done
    [ -n "$window" ] || fail "no window \"$title\" within 60 s"
    elapsed=$(($(now_ms) - begin))
    app=$(xdotool getwindowpid "$window") || fail "the window names no process"
}

# Closes the window as a user would (Alt+F4 on the focused window) and waits for the program to end.
close_program() {
    xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
    xdotool key --clearmodifiers alt+F4
    for _ in $(seq 200); do
        kill -0 "$app" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$app" 2>/dev/null && fail "the program did not end within 10 s of Alt+F4"
    local status=0
    wait "$program" || status=$?
    program=''
    [ "$status" -eq 0 ] || fail "the program ended with status $status"
}

# Starts the program of kind $1 through its Start-menu shortcut and checks its window; with a picture
# file as $2, takes a picture of it.
start_through_shortcut() {
    local shortcut=${startmenu[$1]}/$title.lnk
    # wine start opens the shortcut as Explorer would and returns at once.
    detached=1
    start_program timeout 120 wine start /unix "$shortcut"
    detached=0
    echo "$1: window shown after $elapsed ms (through the shortcut)"
    local geometry
    geometry=$(xdotool getwindowgeometry "$window" | sed -n 's/^ *Geometry: //p')
    [ "$geometry" = "433x193" ] || fail "the window's client area is $geometry, not 433x193"
    echo "client area $geometry"
    if [ -n "${2:-}" ]; then
        sleep 1 # let the first paint land
        import -window "$window" "$2" || fail "no picture of the window"
        echo "picture: $2 ($(identify -format '%wx%h' "$2"))"
    fi
    close_program
}

# A file the user keeps beside the program: neither an update nor the uninstaller may remove it.
user_file="mes réglages.txt"

# After an update over the older version: the new version installed, the older version's own files gone,
# the user's file kept, the new uninstaller signed.
check_updated() {
    local kind=$1 file
    check_installed "$kind" "$version" "$deploy" "$user_file"
    for file in "${old_only[@]}"; do
        [ ! -e "${instdir[$kind]}/$file" ] || fail "the update left the older version's $file"
    done
    echo "the older version's ${old_only[*]} removed"
    check_signed "${instdir[$kind]}/uninstall.exe"
}

step "for the current user: $(basename "$old_setup") /S /CURRENTUSER"
run_installer "$old_setup" /S /CURRENTUSER
check_installed CurrentUser "$old_version" "$old_deploy"
check_unsigned "${instdir[CurrentUser]}/uninstall.exe"
echo "gardé" >"${instdir[CurrentUser]}/$user_file"

step "update for the current user: $(basename "$setup") /S finds the older installation and replaces it"
run_installer "$setup" /S
check_updated CurrentUser

step "start through the current user's Start-menu shortcut"
start_through_shortcut CurrentUser "$build/window-wine.png"

step "$runs direct starts"
times=()
for i in $(seq "$runs"); do
    start_program timeout 120 wine "${instdir[CurrentUser]}/liaison-serie.exe"
    times+=("$elapsed")
    echo "start $i: window shown after $elapsed ms"
    close_program
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }')
echo "start to window shown: median $median ms over $runs starts (${times[*]} ms)"

step "uninstall for the current user, as Add/Remove Programs would (QuietUninstallString)"
registry=$(read_entry HKCU) || fail "no HKCU uninstall entry"
uninstall "$(entry_value "$registry" QuietUninstallString)"
check_removed CurrentUser "$user_file"
rm -r "${instdir[CurrentUser]}"

step "for every user: $(basename "$old_setup") /S (wine runs it with administrator rights)"
run_installer "$old_setup" /S
check_installed AllUsers "$old_version" "$old_deploy"
echo "gardé" >"${instdir[AllUsers]}/$user_file"

step "update for every user: $(basename "$setup") /S /ALLUSERS"
run_installer "$setup" /S /ALLUSERS
check_updated AllUsers

step "start through the common Start-menu shortcut"
start_through_shortcut AllUsers

step "uninstall for every user: uninstall.exe /S, which finds its entry from its folder"
uninstall "\"$(timeout 60 winepath -w "${instdir[AllUsers]}/uninstall.exe" 2>/dev/null)\" /S"
check_removed AllUsers "$user_file"
rm -r "${instdir[AllUsers]}"
check_removed AllUsers

# The MSI package. Windows Installer writes its Add/Remove Programs entry under the ProductCode, and
# keeps its own records of the product (Installer\Products, C:\windows\Installer\{ProductCode}).
msi_uninstall_root='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# The ProductCodes of the Add/Remove Programs entries of the MSI package.
msi_entries() {
    local key code registry
    while read -r key; do
        code=${key##*\\}
        [[ $code =~ ^\{[0-9A-F-]{36}\}$ ]] || continue
        registry=$(read_key "$msi_uninstall_root\\$code") || continue
        if [ "$(entry_value "$registry" DisplayName)" = "$title" ]; then
            echo "$code"
        fi
    done < <(timeout 60 wine reg query "$msi_uninstall_root" 2>/dev/null | tr -d '\r' | grep '^HKEY')
}
# Windows Installer's key of a product under Installer\Products: the GUID's digits in its own order.
packed_guid() {
    local g=${1//[\{\}-]/} out='' i
    out=$(rev <<<"${g:0:8}")$(rev <<<"${g:8:4}")$(rev <<<"${g:12:4}")
    for ((i = 16; i < 32; i += 2)); do
        out+=${g:i+1:1}${g:i:1}
    done
    echo "$out"
}
products_key='HKLM\Software\Classes\Installer\Products'
# A property as an msiexec log (/l*v, in the ANSI code page) shows it.
log_property() {
    iconv -f WINDOWS-1252 -t UTF-8 "$work/$1" | tr -d '\r' | sed -n "s/^Property(S): $2 = //p" | head -n 1
}

# Runs msiexec silently with the arguments given and a verbose log into $work/LOG, expecting Windows
# exit code $1 (wine hands it on modulo 256: 1603 is 67).
run_msiexec() {
    local want=$1 log=$2 begin status=0
    shift 2
    begin=$(now_ms)
    rm -f "$drive_c/$log"
    timeout 120 wine msiexec "$@" /qn /l*v "C:\\$log" || status=$?
    timeout 60 wineserver -w || fail "msiexec $* did not finish within 60 s"
    [ -f "$drive_c/$log" ] && mv "$drive_c/$log" "$work/$log"
    [ "$status" -eq $((want % 256)) ] ||
        fail "msiexec $* /qn exited with status $status, not $want ($((want % 256)) under wine); log $work/$log"
    echo "msiexec ${*##*\\} /qn: exit code $want, $(($(now_ms) - begin)) ms (log ${work#"$build"/}/$log)"
}

# Checks the MSI installation of package $1 made from deployable folder $2; further arguments are files
# the user added to the folder.
check_msi_installed() {
    local package=$1 from=$2 want_version code dir=${instdir[Msi]}
    shift 2
    want_version=$(msi_property "$package" ProductVersion)
    code=$(msi_property "$package" ProductCode)
    check_files "MSI $want_version" "$dir" "$from" "$@"

    local links want_link=${startmenu[Msi]}/$title.lnk
    links=$(shortcuts)
    [ "$links" = "$want_link" ] ||
        fail "MSI $want_version: the Start-menu shortcuts are [${links//$'\n'/, }], not [$want_link]"

    local entries
    entries=$(msi_entries)
    [ "$entries" = "$code" ] ||
        fail "MSI $want_version: the Add/Remove Programs entries are [${entries//$'\n'/ }], not [$code]"
    for h in HKLM HKCU; do
        if read_entry "$h" >/dev/null; then
            fail "MSI $want_version: an NSIS uninstall entry under $h too"
        fi
    done
    local registry location uninstall_string
    registry=$(read_key "$msi_uninstall_root\\$code")
    [ "$(entry_value "$registry" DisplayVersion)" = "$want_version" ] ||
        fail "MSI: the entry shows version $(entry_value "$registry" DisplayVersion), not $want_version"
    [ "$(entry_value "$registry" Publisher)" = "liaison-serie maintainers" ] ||
        fail "MSI: the entry names no publisher"
    grep -q '^"WindowsInstaller"=dword:00000001$' <<<"$registry" ||
        fail "MSI: the entry is not a Windows Installer one"
    location=$(entry_value "$registry" InstallLocation)
    [ "$(unix_path "$location")" = "$(realpath -m "$dir")" ] || fail "MSI: InstallLocation $location is not $dir"
    uninstall_string=$(timeout 60 wine reg query "$msi_uninstall_root\\$code" /v UninstallString 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *UninstallString *REG_EXPAND_SZ *//p')
    [ "${uninstall_string,,}" = "msiexec.exe /x${code,,}" ] || fail "MSI: UninstallString is [$uninstall_string]"
    # Add/Remove Programs shows an MSI product's icon from its ProductIcon, a copy the Installer keeps.
    local icon
    icon=$(read_key "$products_key\\$(packed_guid "$code")" | sed -n 's/^"ProductIcon"="\(.*\)"$/\1/p' |
        sed 's/\\\\/\\/g')
    [ -n "$icon" ] || fail "MSI: the product has no ProductIcon"
    cmp -s "$(unix_path "$icon")" "$here/console/icons/liaison-serie.ico" ||
        fail "MSI: the ProductIcon $icon is not the application icon"
    # The mark the NSIS installer looks for.
    registry=$(read_key 'HKLM\Software\liaison-serie') || registry=''
    grep -qF "\"MsiProductCode\"=\"$code\"" <<<"$registry" ||
        fail "MSI: no MsiProductCode $code under HKLM\\Software\\liaison-serie"
    echo "MSI $want_version: $(find "$dir" -type f | wc -l) files in ${dir#"$drive_c"/}; shortcut" \
        "${want_link#"$drive_c"/}; entry $code: version $want_version, InstallLocation $location," \
        "UninstallString $uninstall_string, ProductIcon $icon"
    check_guide "MSI $want_version" "$dir" "${startmenu[Msi]}"
}

# Checks that the MSI product $1 has left nothing: no file (but the user's, given after it), shortcut or
# entry (check_removed), and none of the Installer's records of it.
check_msi_removed() {
    local code=$1
    shift
    check_removed Msi "$@"
    [ -z "$(msi_entries)" ] || fail "Add/Remove Programs entries of the MSI package left: $(msi_entries)"
    if read_key "$products_key\\$(packed_guid "$code")" >/dev/null; then
        fail "the Installer still records the product $code"
    fi
    [ ! -e "$drive_c/windows/Installer/$code" ] || fail "the Installer's folder of $code is left"
    if read_key 'HKLM\Software\liaison-serie' >/dev/null; then
        fail "HKLM\\Software\\liaison-serie is left"
    fi
    echo "removed: the Installer's records of $code, HKLM\\Software\\liaison-serie"
}

step "MSI package for the whole PC: msiexec /i $(basename "$old_msi") /qn"
run_msiexec 0 msi-install-old.log /i "$(windows_path "$old_msi")"
[ "$(log_property msi-install-old.log ALLUSERS)" = 1 ] || fail "msiexec did not install per machine (ALLUSERS)"
# Windows resolves ProgramMenuFolder to the common Start menu when ALLUSERS is 1; wine 8 leaves it at the
# user's. The shortcut is checked where the log shows wine put ProgramMenuFolder.
menu=$(log_property msi-install-old.log ProgramMenuFolder)
[ -n "$menu" ] || fail "the log shows no ProgramMenuFolder"
startmenu[Msi]=$(unix_path "$menu")
where=''
[ "${startmenu[Msi]}" = "$(realpath -m "${startmenu[AllUsers]}")" ] || where=" (wine's; Windows: the common Start menu)"
echo "ALLUSERS 1; ProgramMenuFolder: $menu$where"
check_msi_installed "$old_msi" "$old_deploy"
echo "gardé" >"${instdir[Msi]}/$user_file"

step "MSI upgrade: msiexec /i $(basename "$msi") /qn replaces $old_version in place"
run_msiexec 0 msi-upgrade.log /i "$(windows_path "$msi")"
[ "$(log_property msi-upgrade.log WIX_UPGRADE_DETECTED)" = "$old_product_code" ] ||
    fail "the upgrade did not find $old_version ($old_product_code)"
check_msi_installed "$msi" "$deploy" "$user_file"
for file in "${old_only[@]}"; do
    [ ! -e "${instdir[Msi]}/$file" ] || fail "the upgrade left the older version's $file"
done
read_key "$products_key\\$(packed_guid "$old_product_code")" >/dev/null &&
    fail "the Installer still records $old_version after the upgrade"
echo "the older version's ${old_only[*]} removed, and its product $old_product_code"

step "start through the MSI package's shortcut"
start_through_shortcut Msi

step "the same package again repairs: platforms/qwindows.dll deleted, msiexec /i $(basename "$msi") /qn"
rm "${instdir[Msi]}/platforms/qwindows.dll"
run_msiexec 0 msi-repair.log /i "$(windows_path "$msi")"
check_msi_installed "$msi" "$deploy" "$user_file"
# Wine's Installer puts a missing file back on any installation over the product; Windows' does only
# when REINSTALL is set, which the package's RepairWhenInstalledAgain action does.
[ "$(log_property msi-repair.log REINSTALL)" = ALL ] || fail "the package installed again did not set REINSTALL=ALL"
echo "platforms/qwindows.dll put back; REINSTALL=ALL set by the package, one entry"

step "MSI downgrade refused: msiexec /i $(basename "$old_msi") /qn over $version"
run_msiexec 1603 msi-downgrade.log /i "$(windows_path "$old_msi")"
[ "$(log_property msi-downgrade.log WIX_DOWNGRADE_DETECTED)" = "$product_code" ] ||
    fail "the older package did not see the newer version installed"
check_msi_installed "$msi" "$deploy" "$user_file"
echo "refused with the message: $(msiinfo export "$old_msi" LaunchCondition | tr -d '\r' |
    awk -F '\t' '$1 == "NOT WIX_DOWNGRADE_DETECTED" { print $2 }')"

step "the NSIS installer over the MSI installation: refused"
status=0
timeout 120 wine "$setup" /S || status=$?
timeout 60 wineserver -w || fail "$(basename "$setup") did not finish within 60 s"
[ "$status" -eq $((1638 % 256)) ] ||
    fail "$(basename "$setup") /S exited with status $status, not 1638 ($((1638 % 256)) under wine)"
check_msi_installed "$msi" "$deploy" "$user_file"
echo "$(basename "$setup") /S: exit code 1638, nothing changed"

step "MSI uninstall as Add/Remove Programs or an IT tool would: msiexec /x $product_code /qn"
run_msiexec 0 msi-uninstall.log /x "$product_code"
check_msi_removed "$product_code" "$user_file"
rm -r "${instdir[Msi]}"

step "the MSI package over an NSIS installation for every user: refused"
run_installer "$setup" /S /ALLUSERS
run_msiexec 1603 msi-over-nsis.log /i "$(windows_path "$msi")"
nsis_found=$(log_property msi-over-nsis.log NSIS_INSTALL_LOCATION)
[ "$(unix_path "$nsis_found")" = "$(realpath -m "${instdir[AllUsers]}")" ] ||
    fail "the MSI package did not find the NSIS installation (NSIS_INSTALL_LOCATION: $nsis_found)"
echo "refused: the package found the NSIS installation in $nsis_found"
[ -z "$(msi_entries)" ] || fail "the MSI package installed over the NSIS installation"
check_installed AllUsers "$version" "$deploy"
uninstall "\"$(windows_path "${instdir[AllUsers]}/uninstall.exe")\" /S"
check_removed AllUsers

step "MSI: install on a clean PC, then msiexec /x $(basename "$msi") /qn"
run_msiexec 0 msi-install.log /i "$(windows_path "$msi")"
check_msi_installed "$msi" "$deploy"
run_msiexec 0 msi-uninstall-package.log /x "$(windows_path "$msi")"
check_msi_removed "$product_code"

step "OK: both kinds of installation, the update from $old_version to $version, uninstalling;" \
    "the MSI package: upgrade, repair, downgrade refused, uninstalling; $SECONDS s"
