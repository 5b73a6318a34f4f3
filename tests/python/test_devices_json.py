"""devices_json: the built-in table, store filters, preset files and their failures."""
import json

import pytest

from conftest import SOURCE_DIR, preset
from kestrelite import devices_json

KEYS = ["id", "label", "output_width", "output_height", "scale", "mobile", "platform", "store", "requirement",
        "verified", "source"]


def builtin_document():
    return json.loads((SOURCE_DIR / "core" / "presets.json").read_text(encoding="utf-8"))


def test_lists_the_46_builtin_presets_compactly_in_table_order():
    text = devices_json()
    devices = json.loads(text)
    assert len(devices) == 46
    assert [list(d) for d in devices] == [KEYS] * 46
    assert devices == [{k: d[k] for k in KEYS} for d in builtin_document()["devices"]]
    assert " " not in text.replace('" (', "").replace(") ", "").split('"label"')[0]
    assert text.endswith('{"id":"web-mobile-390","label":"Mobile 390x844 @3x","output_width":1170,'
                         '"output_height":2532,"scale":3,"mobile":true,"platform":"ios_phone","store":"web",'
                         '"requirement":"optional","verified":false,"source":""}]')
    assert '\\"' in text and ": " not in text and "\n" not in text


@pytest.mark.parametrize("store, count, first", [
    ("apple", 33, "apple-iphone-6-9-1320"), ("Apple", 33, "apple-iphone-6-9-1320"),
    ("APPSTORE", 33, "apple-iphone-6-9-1320"), ("ios", 33, "apple-iphone-6-9-1320"),
    ("play", 11, "play-feature-graphic"), ("Google", 11, "play-feature-graphic"),
    ("android", 11, "play-feature-graphic"), ("WEB", 2, "web-desktop-1440"),
])
def test_store_names_ignore_ascii_case(store, count, first):
    devices = json.loads(devices_json(store))
    assert len(devices) == count
    assert devices[0]["id"] == first


@pytest.mark.parametrize("store", [" apple", "apple ", "", "apples", "İos", "App Store"])
def test_unknown_store_keeps_the_text_as_passed(store):
    with pytest.raises(ValueError) as info:
        devices_json(store=store)
    assert info.value.args == ("unknown store: " + store,)


@pytest.mark.parametrize("kwargs, prefix", [
    ({"store": 1}, "argument 'store': "),
    ({"presets": b"x.json"}, "argument 'presets': "),
    ({"store": None, "presets": 3.5}, "argument 'presets': "),
])
def test_wrong_argument_types_raise_type_error(kwargs, prefix):
    with pytest.raises(TypeError) as info:
        devices_json(**kwargs)
    assert str(info.value).startswith(prefix)


@pytest.mark.parametrize("call", [
    lambda: devices_json("apple", None, None),
    lambda: devices_json(shop="apple"),
    lambda: devices_json("apple", store="apple"),
])
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_none_is_absent_and_keywords_work():
    assert devices_json(None, None) == devices_json()
    assert devices_json(presets=None, store="play") == devices_json("play")


def test_preset_file_replaces_the_builtin_table(write_presets):
    path = write_presets({"version": 1, "devices": [preset("a", store="apple"), preset("b", store="play")]})
    devices = json.loads(devices_json(presets=path))
    assert [d["id"] for d in devices] == ["a", "b"]
    assert devices[0]["platform"] == "web" and devices[0]["mobile"] is False
    assert devices_json("web", path) == "[]"
    assert [d["id"] for d in json.loads(devices_json("play", path))] == ["b"]


def test_preset_file_that_does_not_exist(tmp_path):
    path = str(tmp_path / "missing.json")
    with pytest.raises(FileNotFoundError) as info:
        devices_json(presets=path)
    assert info.value.args == ("cannot read presets " + path + ": No such file or directory",)


@pytest.mark.parametrize("content", [b"\xff\xfe{}", b'{"version":1,"devices":[],"note":"\xc3"}'])
def test_preset_file_that_is_not_utf8_cannot_be_read(write_presets, content):
    path = write_presets(content)
    with pytest.raises(FileNotFoundError) as info:
        devices_json(presets=path)
    assert str(info.value).startswith("cannot read presets " + path + ": ")


def test_preset_path_naming_a_directory(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        devices_json(presets=str(tmp_path))
    assert str(info.value) == f"cannot read presets {tmp_path}: Is a directory"


@pytest.mark.parametrize("document, message", [
    ("{not json", "invalid presets: json: "),
    ({"version": 2, "devices": [preset("a", scale=0)]},
     "invalid presets: unexpected response shape: preset schema version 2 is not supported by this build"),
    ({"version": 1, "devices": [preset("a", h=1921)]},
     "invalid presets: unexpected response shape: device a: output 1080x1921 does not divide by scale 3, "
     "so no integer viewport can produce it"),
    ({"version": 1, "devices": [preset("a"), preset("a")]},
     "invalid presets: unexpected response shape: duplicate device id in preset file"),
    ({"version": 1, "devices": [preset("a", platform="Web")]}, "invalid presets: json: unknown variant `Web`"),
])
def test_invalid_preset_files_raise_value_error(write_presets, document, message):
    path = write_presets(document)
    with pytest.raises(ValueError) as info:
        devices_json(presets=path)
    assert str(info.value).startswith(message)
    assert len(info.value.args) == 1


def test_invalid_file_is_reported_before_the_store_is_parsed(write_presets):
    path = write_presets("[]")
    with pytest.raises(ValueError, match="^invalid presets: json: invalid length 0"):
        devices_json("nowhere", path)


def test_listing_a_written_list_round_trips(write_presets):
    text = devices_json()
    path = write_presets('{"version":1,"devices":' + text + "}")
    assert devices_json(presets=path) == text
