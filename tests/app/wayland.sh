#!/usr/bin/env bash
# The program under a Wayland compositor (weston, headless): it talks Wayland itself rather than
# going through XWayland, and maps its window with the app id of its desktop entry, which is how
# the desktop finds the window's name and icon.
set -euo pipefail
program=$1 entry=$2
XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
log=$XDG_RUNTIME_DIR/protocol
weston --backend=headless-backend.so --socket=zodivo --idle-time=0 --log="$XDG_RUNTIME_DIR/weston" & weston=$!
trap 'kill $weston ${tool:-} 2>/dev/null; wait; rm -rf "$XDG_RUNTIME_DIR"' EXIT
for _ in $(seq 100); do [[ -S $XDG_RUNTIME_DIR/zodivo ]] && break; sleep 0.1; done

WAYLAND_DISPLAY=zodivo QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client "$program" 2>"$log" & tool=$!
# Mapped: after the compositor's first configure, a buffer is attached and committed. (libwayland
# 1.21 names objects "interface@id", later ones "interface#id".)
mapped() { sed -n '/ack_configure/,$p' "$log" | grep -q 'wl_surface[@#][0-9]*\.attach(wl_buffer'; }
for _ in $(seq 100); do mapped && break; sleep 0.1; done
mapped || { cat "$XDG_RUNTIME_DIR/weston" "$log" >&2; echo "the window was not mapped" >&2; exit 1; }
app_id=$(sed -n 's/.*xdg_toplevel[@#][0-9]*\.set_app_id("\(.*\)")$/\1/p' "$log")
[[ $app_id == "$(basename "$entry" .desktop)" ]] || { echo "app id '$app_id' does not name $entry" >&2; exit 1; }
