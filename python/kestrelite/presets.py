"""The device presets a run chooses from: the module's table (built in, or a
preset file), each preset as a dict with the members of `kestrelite devices
--json` and, when the preset names them, where the upload tools put its
images ("apple_display_type", "play_image_type").

Stores are named as the module names them (apple, ios, appstore; play,
google, android; web; any letter case). A device id or a store named twice is
taken once, with a warning: the one rule for `capture --device`, set files
and the library.
"""

import json

from ._native import _presets_json, devices_json
from .errors import UsageError


def load(presets=None):
    """The preset table. Raises UsageError for a preset file that cannot be
    read or is not valid."""
    try:
        return json.loads(_presets_json(presets))
    except (ValueError, OSError) as e:
        raise UsageError(str(e)) from None


def select(table, stores=None, device_ids=None, presets=None, warn=None):
    """The chosen presets in capture order: every preset of each store in
    `stores` (the stores one after the other), or the presets named by
    `device_ids` in their order. A repeated id or store is taken once and
    `warn` (when given) is told. Raises UsageError for an unknown id or
    store, naming it."""
    by_id = {d["id"]: d for d in table}
    chosen = {}
    if stores is not None:
        for name in stores:
            try:
                found = [by_id[d["id"]] for d in json.loads(devices_json(name, presets))]
            except ValueError:
                raise UsageError(f"unknown store {name!r} (apple, play or web)") from None
            if not found:
                raise UsageError(f"no presets for store {name}")
            if all(d["id"] in chosen for d in found):
                _warn(warn, f"store {name} is named twice; capturing its devices once")
            chosen.update((d["id"], d) for d in found if d["id"] not in chosen)
        return list(chosen.values())
    for device_id in device_ids or ():
        if device_id not in by_id:
            raise UsageError(f"unknown device id {device_id!r} (`kestrelite devices` lists them)")
        if device_id in chosen:
            _warn(warn, f"device {device_id} is named twice; capturing it once")
        chosen[device_id] = by_id[device_id]
    return list(chosen.values())


def _warn(warn, message):
    if warn is not None:
        warn(message)
