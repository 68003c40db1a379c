"""python3 -m tavrix_zodivo list: the units plugged in, one line each, as the module sees them."""

import sys

import tavrix_zodivo


def main():
    if sys.argv[1:] != ["list"]:
        print("usage: python3 -m tavrix_zodivo list", file=sys.stderr)
        return 2
    try:
        listed = tavrix_zodivo.units()
    except tavrix_zodivo.ZodivoError as error:
        print(f"tavrix_zodivo: {error}", file=sys.stderr)
        return 1
    for unit in listed:
        print("\t".join([unit.node, unit.serial or "-", unit.bus, unit.identifier or "?"]))
    return 0


sys.exit(main())
