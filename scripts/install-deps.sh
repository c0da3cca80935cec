#!/usr/bin/env bash
# Installs the Debian 12 packages Tralux needs to build, test and run. Safe to run again.
set -euo pipefail
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
packages=(g++ cmake ninja-build qt6-base-dev libgtest-dev libebur128-dev pkg-config xvfb xauth sox
  # FLAC files are read and written with libFLAC; the tests check results with the flac tool
  libflac-dev flac
  clang-14 libclang-rt-14-dev
  locales
  # the Debian package and its checks: dpkg-shlibdeps, file type detection, lintian, and the
  # validators of the desktop entry, the AppStream metadata and the manual pages
  dpkg-dev file lintian desktop-file-utils appstream man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests check the decimal comma with a German locale; generate it once if it is missing.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  "${sudo_cmd[@]}" sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi
