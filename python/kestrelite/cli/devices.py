"""`kestrelite devices`: the device presets as a table or as JSON."""

import json

from .._native import devices_json
from ..errors import UsageError
from .options import add_presets
from .output import say, size_text


def register(commands):
    parser = commands.add_parser("devices", help="list the device presets",
                                 description="List the device presets as a table, or as the module's JSON.")
    parser.add_argument("--store", "-s", metavar="S", help="only the presets of this store")
    add_presets(parser, help="list a preset file instead of the built-in presets")
    parser.add_argument("--json", action="store_true", help="print the JSON that devices_json returns")
    parser.set_defaults(handler=run)


def run(args):
    try:
        text = devices_json(args.store, args.presets)
    except (ValueError, OSError) as e:
        raise UsageError(str(e)) from None
    if args.json:
        say(text)
        return 0
    header = ("ID", "LABEL", "OUTPUT", "SCALE", "STORE", "REQUIREMENT")
    rows = [header] + [(d["id"], d["label"], size_text([d["output_width"], d["output_height"]]),
                        str(d["scale"]), d["store"], d["requirement"]) for d in json.loads(text)]
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for row in rows:
        say("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 0
