#!/usr/bin/env bash
# Installs the build into an empty staging directory under the /usr prefix, as the package
# does, and checks that every file lands where the desktop and udev look for it, and nothing else.
set -euo pipefail
build_dir=$1 stage=$2 has_vdev=$3

rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build_dir" --prefix /usr >/dev/null

expected=(
  usr/bin/tavrix-zodivo
  usr/lib/udev/rules.d/70-tavrix-zodivo.rules
  usr/share/applications/tavrix-zodivo.desktop
  usr/share/doc/tavrix-zodivo/changelog.gz
  usr/share/doc/tavrix-zodivo/copyright
  usr/share/icons/hicolor/scalable/apps/tavrix-zodivo.svg
)
if [[ $has_vdev == 1 ]]; then
  expected+=(usr/bin/tavrix-vdev usr/share/doc/tavrix-zodivo-vdev/changelog.gz
    usr/share/doc/tavrix-zodivo-vdev/copyright)
fi
diff <(printf '%s\n' "${expected[@]}" | LC_ALL=C sort) \
  <(cd "$stage" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)

fail() { echo "$*" >&2; exit 1; }
for f in "${expected[@]}"; do
  mode=$(stat -c %a "$stage/$f")
  case $f in
    usr/bin/*) [[ $mode == 755 ]] || fail "$f has mode $mode" ;;
    *) [[ $mode == 644 ]] || fail "$f has mode $mode" ;;
  esac
done

entry=$stage/usr/share/applications/tavrix-zodivo.desktop
desktop-file-validate "$entry"
field() { sed -n "s/^$1=//p" "$entry"; }
[[ $(field Name) == "Tavrix ZODIVO" ]] || fail "Name is '$(field Name)'"
[[ -x $stage/usr/bin/$(field Exec) ]] || fail "Exec '$(field Exec)' is not an installed program"
icon=$stage/usr/share/icons/hicolor/scalable/apps/$(field Icon).svg
[[ -f $icon ]] || fail "Icon '$(field Icon)' is not installed as a scalable icon"
convert "$icon" png:- >/dev/null

zcat "$stage/usr/share/doc/tavrix-zodivo/changelog.gz" | head -n1 | grep -q '^tavrix-zodivo ('
