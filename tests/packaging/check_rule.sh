#!/usr/bin/env bash
# The access rule must match exactly the hidraw nodes of 0483:5750 and grant nothing but the
# seat user's ACL: any extra key (MODE, GROUP, OWNER, RUN, another match) fails here.
set -euo pipefail
rule_file=$1

name=$(basename "$rule_file")
# uaccess becomes an ACL only if the tag is set before the seat rules run.
first=$(printf '%s\n' "$name" 71-seat.rules | LC_ALL=C sort | head -n1)
[[ $first == "$name" ]] || { echo "$name sorts after 71-seat.rules" >&2; exit 1; }

mapfile -t rules < <(grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' "$rule_file")
((${#rules[@]} == 1)) || { echo "expected one rule, found ${#rules[@]}" >&2; exit 1; }
[[ ${rules[0]} != *\\ ]] || { echo "rule continues on the next line" >&2; exit 1; }

actual=$(tr ',' '\n' <<<"${rules[0]}" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//' | LC_ALL=C sort)
expected=$(LC_ALL=C sort <<'KEYS'
SUBSYSTEM=="hidraw"
ATTRS{idVendor}=="0483"
ATTRS{idProduct}=="5750"
TAG+="uaccess"
KEYS
)
if [[ $actual != "$expected" ]]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
