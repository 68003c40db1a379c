#!/usr/bin/env bash
# Installs the build into an empty staging directory under the /usr prefix, as the package does,
# and checks the desktop entry there: valid, and naming the installed program and icon. Which
# files are installed, with which modes, the package's own check sees.
set -euo pipefail
build_dir=$1 stage=$2

rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build_dir" --prefix /usr >/dev/null

fail() { echo "$*" >&2; exit 1; }
entry=$stage/usr/share/applications/tavrix-zodivo.desktop
desktop-file-validate "$entry"
field() { sed -n "s/^$1=//p" "$entry"; }
[[ $(field Name) == "Tavrix ZODIVO" ]] || fail "Name is '$(field Name)'"
[[ -x $stage/usr/bin/$(field Exec) ]] || fail "Exec '$(field Exec)' is not an installed program"
icon=$stage/usr/share/icons/hicolor/scalable/apps/$(field Icon).svg
[[ -f $icon ]] || fail "Icon '$(field Icon)' is not installed as a scalable icon"
convert "$icon" png:- >/dev/null

zcat "$stage/usr/share/doc/tavrix-zodivo/changelog.gz" | head -n1 | grep -q '^tavrix-zodivo ('
