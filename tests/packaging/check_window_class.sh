#!/usr/bin/env bash
# Starts the installed program on a virtual X display and checks that the desktop entry's
# StartupWMClass is the class its window really carries, so docks group the window with its
# launcher instead of showing an anonymous second icon.
set -euo pipefail

# On the virtual display: start the program and print its top-level window's WM_CLASS.
if [[ $1 == --on-display ]]; then
  "$2" & pid=$!
  trap 'kill $pid' EXIT
  for _ in $(seq 100); do
    # the titled window that carries a class; Qt's client leader has the name but no class
    window=$(xwininfo -root -tree | awk '/"Tavrix ZODIVO[^"]*": \("/ { print $1; exit }')
    [[ -n $window ]] && break
    sleep 0.1
  done
  [[ -n $window ]] || { echo "no window appeared" >&2; exit 1; }
  xprop -id "$window" WM_CLASS
  exit
fi

stage=$1
wanted=$(sed -n 's/^StartupWMClass=//p' "$stage/usr/share/applications/tavrix-zodivo.desktop")
actual=$(QT_QPA_PLATFORM=xcb xvfb-run -a "$0" --on-display "$stage/usr/bin/tavrix-zodivo")
# WM_CLASS(STRING) = "instance", "class"
class=$(sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\(.*\)"$/\1/p' <<<"$actual")
[[ $class == "$wanted" ]] || { echo "window class '$class' ($actual), entry says '$wanted'" >&2; exit 1; }
