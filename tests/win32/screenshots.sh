#!/usr/bin/env bash
# Screenshots of the Windows program for the README: the destination dialog and the progress
# window, taken under Xvfb in a Wine virtual desktop with Debian's IPA Japanese fonts, written
# to docs/dialog.png and docs/progress.png.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$here/scripts/setup.sh"
need_packages xvfb imagemagick fonts-ipafont-gothic
"$here/scripts/build_stub.sh" >/dev/null
configure_native
cmake --build "$build" -j 2 --target mksfx >/dev/null

tmp="$(mktemp -d)"
display=":47"
cleanup() {
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
  WINEPREFIX="$tmp/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

export WINEARCH=win32 WINEPREFIX="$tmp/prefix" WINEDEBUG=-all LC_ALL=ja_JP.UTF-8 HOME="$tmp"
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d" DISPLAY="$display"
Xvfb "$display" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
wineboot -i >/dev/null 2>&1
wineserver -w
# The caption buttons are drawn with Wine's Marlett, which this Wine does not pick up from its
# data folder by itself. The dialogs ask for ＭＳ Ｐゴシック; the nearest font here is IPA P Gothic.
[ -f /usr/share/wine/fonts/marlett.ttf ] && cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
for font in "ＭＳ Ｐゴシック" "MS PGothic"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d "IPAPGothic" /f >/dev/null 2>&1
done

mkdir -p "$tmp/src/bin" "$tmp/dest"
printf 'Nivo SFX\r\n' > "$tmp/src/readme.txt"
truncate -s 1200M "$tmp/src/bin/large.dat"
"$build/tools/mksfx" --stub "$here/build/win32/sfx.exe" --title "Nivo SFX サンプル" \
  --destination 'Nivo\Sample' --program-files --target readme.txt \
  --start-menu checked --desktop offered --send-to never \
  "$tmp/setup.exe" -C "$tmp/src" readme.txt bin
rm "$tmp/src/bin/large.dat"

z() { printf 'Z:%s' "${1//\//\\}"; }
# The progress window opens below the mouse pointer, which Xvfb keeps in the screen's middle.
wine explorer /desktop=nivo,640x480 "$here/build/win32/tests/win32/driver.exe" \
  run "$(z "$tmp/setup.exe")" \
  dialog "Nivo SFX サンプル" signal "$(z "$tmp/dialog.ready")" await "$(z "$tmp/dialog.done")" \
  set-edit "$(z "$tmp/dest")" press 1 progress "Nivo SFX サンプル" member bin/large.dat \
  signal "$(z "$tmp/progress.ready")" await "$(z "$tmp/progress.done")" abort >"$tmp/driver.log" 2>&1 &
driver=$!

# Waits for the driver's signal, lets the window paint, and takes the window's rectangle of the
# virtual desktop, which fills the screen.
shoot() {
  local name=$1
  for _ in $(seq 300); do [ -e "$tmp/$name.ready" ] && break; sleep 0.1; done
  [ -e "$tmp/$name.ready" ] || { echo "screenshots: no $name window" >&2; cat "$tmp/driver.log" >&2; exit 1; }
  sleep "${2:-1}"
  import -display "$display" -window root "$tmp/$name-desktop.png"
  touch "$tmp/$name.done"
  mkdir -p "$here/docs"
  read -r width height left top < "$tmp/$name.ready"
  /usr/bin/convert "$tmp/$name-desktop.png" -crop "${width}x${height}+${left}+${top}" +repage \
    "$here/docs/$name.png"
  echo "docs/$name.png"
}
shoot dialog 1.5
shoot progress 3
wait "$driver" || { cat "$tmp/driver.log" >&2; exit 1; }
