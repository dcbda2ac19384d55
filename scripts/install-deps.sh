#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those that are missing, on Debian 12
# (bookworm) or Debian 13 (trixie). Extra package names given as arguments are installed too; they are
# Debian 12's names, and a package that Debian 13 names otherwise is installed under its Debian 13 name.
set -euo pipefail

packages=(cmake ninja-build g++ qt6-base-dev fonts-dejavu-core pandoc "$@")

release=$(. /etc/os-release && echo "${VERSION_ID:-}")
if [ "$release" != 12 ]; then
    declare -A renamed=(
        [libmagickcore-6.q16-6-extra]=libmagickcore-7.q16-10-extra
    )
    for i in "${!packages[@]}"; do
        p=${packages[i]}
        [ -z "${renamed[$p]:-}" ] || packages[i]=${renamed[$p]}
    done
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
# Another apt-get at work on the same machine is waited for, not taken for a failure.
lock=(-o DPkg::Lock::Timeout=600)
for try in 1 2 3 4 5 6; do
    "${sudo[@]}" apt-get "${lock[@]}" update -qq && break
    [ "$try" -lt 6 ] || exit 1
    sleep 20
done
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
