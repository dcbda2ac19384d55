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
# - the program, started through the shortcut, must show its window "Test liaison série" with a 433 x 193
#   client area (BUILD_DIR/window-wine.png is a picture of it), then RUNS times directly (default 5); the
#   time from start to window shown is printed for each start, with the median;
# - uninstalling (the entry's QuietUninstallString, or uninstall.exe /S) must remove every file, the
#   shortcut and the entry, and leave the file a user put into the folder.
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
"$here/scripts/install-deps.sh" wine wine64 fonts-wine xvfb xdotool openbox imagemagick osslsigncode openssl \
    nsis zip >&2

title="Test liaison série"
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
other() {
    if [ "$1" = AllUsers ]; then echo CurrentUser; else echo AllUsers; fi
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
echo "packaged in $((SECONDS - start)) s; installer $(stat -c %s "$setup") bytes"

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
    grep -q 'No signature found' <<<"$output" || fail "$1: not a plain unsigned file: $output"
    echo "unsigned: ${1#"$build"/}"
}
step "signatures"
check_signed "$deploy/liaison-serie.exe"
check_signed "$setup"
check_unsigned "$old_setup"
unzip -p "$work/new/liaison-serie-$version-win64.zip" "liaison-serie-$version-win64/liaison-serie.exe" |
    cmp -s - "$deploy/liaison-serie.exe" || fail "the zip does not hold the signed program"
echo "the zip holds the signed program"

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
    local file=$WINEPREFIX/uninstall-key.reg
    rm -f "$file"
    timeout 60 wine reg export "$1\\$uninstall_key" 'C:\uninstall-key.reg' /y >/dev/null 2>&1 || return 1
    mv "$drive_c/uninstall-key.reg" "$file"
    iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r'
}
# The string value $2 of the registry text $1, with the .reg escapes undone.
entry_value() {
    sed -n "s/^\"$2\"=\"\\(.*\\)\"\$/\\1/p" <<<"$1" | sed 's/\\\\/\\/g; s/\\"/"/g'
}
# Every Start-menu shortcut that starts the program, in both Start menus.
shortcuts() {
    find "${startmenu[AllUsers]}" "${startmenu[CurrentUser]}" -name '*.lnk' -print0 2>/dev/null |
        xargs -0 -r grep -la 'liaison-serie.exe' || true
}

# Checks an installation of kind $1 (AllUsers or CurrentUser) of version $2 from deployable folder $3;
# further arguments are files the user added to the folder, which must be there too.
check_installed() {
    local kind=$1 want_version=$2 from=$3
    shift 3
    local dir=${instdir[$kind]} expected actual
    [ -d "$dir" ] || fail "$kind: nothing installed in $dir"
    expected=$( (cd "$from" && find . -type f; echo ./uninstall.exe; for f in "$@"; do echo "./$f"; done) |
        sed 's|^\./||' | sort)
    actual=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
    if [ "$expected" != "$actual" ]; then
        local missing leftover
        missing=$(comm -23 <(echo "$expected") <(echo "$actual") | tr '\n' ' ')
        leftover=$(comm -13 <(echo "$expected") <(echo "$actual") | tr '\n' ' ')
        fail "$kind $want_version in $dir: missing: ${missing:-none}; not shipped by $want_version: ${leftover:-none}"
    fi
    while read -r file; do
        cmp -s "$from/$file" "$dir/$file" || fail "$kind: the installed $file is not the shipped one"
    done < <(cd "$from" && find . -type f)
    local empty
    empty=$(cd "$dir" && find . -mindepth 1 -type d -empty | tr '\n' ' ')
    [ -z "$empty" ] || fail "$kind $want_version: empty folders left in $dir: $empty"

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
    for h in HKLM HKCU; do
        if read_entry "$h" >/dev/null; then
            fail "an uninstall entry is left under $h after uninstalling"
        fi
    done
    local kept=''
    [ $# -gt 0 ] && kept=" (kept: the user's $*)"
    echo "removed: program files, shortcut, HKLM and HKCU uninstall entries$kept"
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

step "OK: both kinds of installation, the update from $old_version to $version, uninstalling; $SECONDS s"
