"""Hostile preset files: each gives its error, never a crash or an unbounded stack."""
import json

import pytest

from conftest import preset
from kestrelite import devices_json

DEPTH = 100_000


CASES = {
    "deep_devices": ('{"version":1,"devices":' + "[" * DEPTH + "]" * DEPTH + "}",
     "invalid presets: json: invalid type: sequence, expected a string"),
    "deep_unclosed_devices": ('{"version":1,"devices":' + "[" * DEPTH,
                              "invalid presets: json: invalid type: sequence, expected a string"),
    "deep_unknown_keys": ('{"version":1,"devices":[],"x":' + "[" * DEPTH + "]" * DEPTH + ',"y":' + '{"a":' * DEPTH
                          + "1" + "}" * DEPTH + "}", None),
    "deep_unclosed_unknown_key": ('{"version":1,"devices":[],"x":' + '{"a":' * DEPTH,
                                  "invalid presets: json: syntax error"),
    "exponent_overflow": ('{"version":1e400,"devices":[]}', "invalid presets: json: "),
    "five_thousand_digits": ('{"version":' + "9" * 5000 + ',"devices":[]}', "invalid presets: json: "),
    "huge_negative": ('{"version":-' + "9" * 30 + ',"devices":[]}', "invalid presets: json: "),
    "just_above_u64": ('{"version":1,"devices":[{"id":"a","label":"L","output_width":18446744073709551616,'
                       '"output_height":1,"scale":1,"requirement":"optional"}]}',
                       "invalid presets: json: invalid type: floating point"),
    "largest_u64": ('{"version":1,"devices":[{"id":"a","label":"L","output_width":18446744073709551615,'
                    '"output_height":1,"scale":1,"requirement":"optional"}]}',
                    "invalid presets: json: invalid value: integer `18446744073709551615`, expected u32"),
}


@pytest.mark.parametrize("name", CASES)
def test_deep_and_huge_values(write_presets, name):
    text, message = CASES[name]
    path = write_presets(text)
    if message is None:
        assert devices_json(presets=path) == "[]"
        return
    with pytest.raises(ValueError) as info:
        devices_json(presets=path)
    assert str(info.value).startswith(message)
    assert " at line 1 column " in str(info.value)


@pytest.mark.parametrize("content", [b'{"version":1,"devices":[],"note":"\xff"}', b"\xc0\xaf", b"\xed\xa0\x80"])
def test_invalid_utf8_cannot_be_read(write_presets, content):
    path = write_presets(content)
    with pytest.raises(FileNotFoundError) as info:
        devices_json(presets=path)
    assert str(info.value).startswith(f"cannot read presets {path}: ")


def test_a_fifty_megabyte_file(write_presets):
    devices = [preset(f"device-{i:06d}", 1080, 1920, 3, source="x" * 400) for i in range(100_000)]
    text = json.dumps({"version": 1, "note": "n" * 5_000_000, "devices": devices})
    assert len(text) > 50_000_000
    listed = json.loads(devices_json(presets=write_presets(text)))
    assert len(listed) == 100_000 and listed[-1]["id"] == "device-099999"
    devices.append(preset("device-000000"))
    with pytest.raises(ValueError, match="duplicate device id in preset file"):
        devices_json(presets=write_presets(json.dumps({"version": 1, "devices": devices})))
