#!/usr/bin/env bash
# Installs a built Debian package, tries the installed programs as a user would and removes
# the package again: scripts/check-package.sh build-package/tralux_1.10-1_amd64.deb
# tralux-cli balances two generated files; the window starts under xvfb and opens its help.
set -euo pipefail
package=$(realpath "$1")
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
scratch=$(mktemp -d)
removed=0
finish() {
  [ "$removed" = 1 ] || "${sudo_cmd[@]}" apt-get remove -y -qq tralux >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap finish EXIT

DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$package" >/dev/null
for file in /usr/bin/tralux /usr/bin/tralux-cli /usr/share/tralux/help/introduction.html \
  /usr/share/applications/org.tralux.Tralux.desktop /usr/share/metainfo/org.tralux.Tralux.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/org.tralux.Tralux.svg \
  /usr/share/icons/hicolor/48x48/apps/org.tralux.Tralux.png /usr/share/man/man1/tralux.1.gz \
  /usr/share/man/man1/tralux-cli.1.gz /usr/share/bash-completion/completions/tralux-cli; do
  [ -f "$file" ] || { echo "not installed: $file" >&2; exit 1; }
done

# A sine and a square wave: normalised, the square is at full scale, the sine at 70.7 %;
# balanced to the quieter, both results end near one loudness (the reduction table's steps
# leave a few percent).
cd "$scratch"
sox -n -r 44100 -c 2 -b 16 -e signed-integer quiet.wav synth 3 sine 440 gain -20
sox -n -r 44100 -c 2 -b 16 -e signed-integer loud.wav synth 3 square 660 gain -6
mkdir balanced
tralux-cli --version
tralux-cli balance --quiet --yes --output-dir balanced --csv balanced/loudness.csv \
  quiet.wav loud.wav | tee table.txt
awk 'NR > 1 { sub("%", "", $2); v[NR] = $2 }
  END { exit !(v[2] > 60 && v[2] < 75 && v[3] > 60 && v[3] < 75) }' table.txt ||
  { echo "the results are not balanced" >&2; exit 1; }
for result in balanced/quiet_tralux.wav balanced/loud_tralux.wav balanced/loudness.csv; do
  [ -s "$result" ] || { echo "no result: $result" >&2; exit 1; }
done
cmp -s quiet.wav balanced/quiet_tralux.wav && { echo "the result is the source" >&2; exit 1; }

# The installed window finds its pages under /usr/share/tralux/help and shows one.
xvfb-run -a tralux --check-help

DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get remove -y -qq tralux >/dev/null
removed=1
if [ -e /usr/bin/tralux ] || [ -e /usr/share/tralux ]; then
  echo "files left behind after removing the package" >&2
  exit 1
fi
echo "package checked: installed, used and removed"
