#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop expects to find there:
# the programs, the help pages they find relative to themselves, the desktop entry, icon,
# AppStream metadata, manual pages and completion, each passing its own validator.
# Usage: CheckInstall.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}
id=org.tralux.Tralux
for file in bin/tralux bin/tralux-cli share/tralux/help/introduction.html \
  share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
  share/icons/hicolor/scalable/apps/$id.svg share/man/man1/tralux.1.gz \
  share/man/man1/tralux-cli.1.gz share/bash-completion/completions/tralux-cli \
  share/doc/tralux/copyright share/doc/tralux/changelog.Debian.gz; do
  [ -f "$prefix/$file" ] || fail "not installed: $file"
done
for size in 16 22 24 32 48 64 128 256 512; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
  [ -f "$png" ] || fail "no ${size}px icon"
done
[ -e "$prefix/bin/help" ] && fail "help pages in bin/help"

# The installed window program finds its pages under share/tralux/help.
QT_QPA_PLATFORM=offscreen "$prefix/bin/tralux" --check-help | grep -q "$prefix/share/tralux/help/introduction.html" ||
  fail "the installed program does not open its help"

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop entry"
  grep -qx 'MimeType=audio/wav;audio/x-wav;audio/flac;audio/x-flac;' "$prefix/share/applications/$id.desktop" ||
    fail "desktop entry lacks the WAV and FLAC types"
else
  echo "desktop-file-validate not installed: desktop entry not validated"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null ||
    fail "AppStream metadata"
else
  echo "appstreamcli not installed: metadata not validated"
fi
if command -v man >/dev/null; then
  for page in tralux tralux-cli; do
    warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man page $page: $warnings"
  done
fi
bash -n "$prefix/share/bash-completion/completions/tralux-cli" || fail "bash completion"
exit $failed
