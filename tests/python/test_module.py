"""The module's own behaviour: its attributes, argument conversion, store
names, preset files and failures as Python exceptions, and the report as
Python sees it. What the core does with the arguments is tested in C++."""
import inspect
import json

import numpy
import pytest

import kestrelite
from conftest import SOURCE_DIR, preset
from kestrelite import _native, capture_json, devices_json, find_browser

MISSING_BROWSER = "/nonexistent/kestrelite-browser"


def capture(tmp_path, *args, **kwargs):
    kwargs.setdefault("browser", MISSING_BROWSER)
    return json.loads(capture_json("about:blank", str(tmp_path / "out"), *args, **kwargs))


class Index:
    def __index__(self):
        return 7


def test_module_attributes_and_signatures():
    assert _native.__all__ == ["devices_json", "capture_json", "find_browser", "version", "__version__"]
    assert kestrelite.__version__ == _native.__version__ == _native.version() == "0.1.14"
    assert str(inspect.signature(_native.capture_json)) == (
        "(url, out_dir, device_ids=None, store=None, seed=42, locale=None, timezone=None, browser=None, "
        "fail_fast=False, presets=None)")
    assert str(inspect.signature(_native.devices_json)) == "(store=None, presets=None)"
    assert _native.__file__.endswith("_native.abi3.so")
    with pytest.raises(TypeError, match=r"^capture_json\(\) missing 1 required positional argument: 'out_dir'$"):
        capture_json("about:blank")


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((), {}, ValueError, "specify either device_ids or store"),
    ((["apple-mac-1280", "nope"],), {}, ValueError, "unknown device id: nope"),
    ((), {"store": " web"}, ValueError, "unknown store:  web"),
    (("apple-mac-1280",), {}, TypeError, "argument 'device_ids': Can't extract `str` to `Vec`"),
    ((["apple-mac-1280", 5],), {}, TypeError, "argument 'device_ids': 'int' object cannot be converted to 'str'"),
    ((), {"store": "apple", "seed": None}, TypeError, "argument 'seed': 'NoneType' object cannot be converted"),
    ((), {"store": "apple", "fail_fast": None}, TypeError, "argument 'fail_fast': 'NoneType' object cannot be"),
    ((), {"store": "apple", "seed": "1"}, TypeError, "argument 'seed': 'str' object cannot be converted to 'int'"),
    ((), {"store": "apple", "seed": -1}, OverflowError, "argument 'seed': out of range for an unsigned 64-bit integer"),
    ((), {"store": "apple", "fail_fast": 1}, TypeError,
     "argument 'fail_fast': 'int' object cannot be converted to 'bool'"),
    ((), {"store": "apple", "presets": 0}, TypeError, "argument 'presets': 'int' object cannot be"),
    ((None,) * 8 + ("extra",), {}, TypeError,
     "capture_json() takes from 2 to 10 positional arguments but 11 were given"),
    ((), {"shop": "apple"}, TypeError, "capture_json() got an unexpected keyword argument 'shop'"),
    ((), {"url": "x"}, TypeError, "capture_json() got multiple values for argument 'url'"),
])
def test_refused_arguments_raise_before_anything_is_created(tmp_path, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        capture(tmp_path, *args, **kwargs)
    assert str(info.value).startswith(message) and len(info.value.args) == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kwargs, seed, locale, results", [
    ({}, 42, "en-US", 2),
    ({"seed": 2 ** 64 - 1, "locale": "de-DE", "timezone": None, "fail_fast": False}, 2 ** 64 - 1, "de-DE", 2),
    ({"seed": Index(), "fail_fast": numpy.bool_(True)}, 7, "en-US", 1),
    ({"seed": True, "locale": None, "fail_fast": numpy.bool_(False)}, 1, "en-US", 2),
])
def test_accepted_arguments_reach_the_report(tmp_path, kwargs, seed, locale, results):
    report = capture(tmp_path, ["apple-mac-1280", "apple-mac-1280"], "not-a-store", **kwargs)
    assert (report["seed"], report["locale"], len(report["results"])) == (seed, locale, results)
    assert report["kestrelite"] == "0.1.14" and report["url"] == "about:blank" and report["ok"] is False
    for result in report["results"]:
        assert result == {"device_id": "apple-mac-1280", "outcome": "failed", "elapsed_ms": result["elapsed_ms"],
                          "error": f"browser: could not spawn {MISSING_BROWSER}: No such file or directory"}


def test_an_empty_selection_still_creates_the_output_directory(tmp_path):
    report = capture(tmp_path, device_ids=[])
    assert (report["results"], report["ok"], report["failed"]) == ([], False, 0)
    assert (tmp_path / "out").is_dir()


@pytest.mark.parametrize("store, count, first", [
    ("Apple", 33, "apple-iphone-6-9-1320"), ("APPSTORE", 33, "apple-iphone-6-9-1320"),
    ("ios", 33, "apple-iphone-6-9-1320"), ("play", 11, "play-feature-graphic"),
    ("Google", 11, "play-feature-graphic"), ("android", 11, "play-feature-graphic"),
    ("WEB", 2, "web-desktop-1440"),
])
def test_store_names_and_their_aliases_ignore_case(store, count, first):
    devices = json.loads(devices_json(store))
    assert (len(devices), devices[0]["id"]) == (count, first)


def test_devices_json_lists_the_builtin_table_compactly():
    text = devices_json()
    table = json.loads((SOURCE_DIR / "core" / "presets.json").read_text(encoding="utf-8"))["devices"]
    assert [d["id"] for d in json.loads(text)] == [d["id"] for d in table]
    assert text == json.dumps(json.loads(text), ensure_ascii=False, separators=(",", ":"))
    assert devices_json(None, None) == text and devices_json(presets=None, store="play") == devices_json("play")
    with pytest.raises(ValueError, match="^unknown store: App Store$"):
        devices_json("App Store")


def test_a_preset_file_replaces_the_builtin_table(write_presets, tmp_path):
    path = write_presets({"version": 1, "devices": [preset("a", store="apple"), preset("b", store="play")]})
    assert [d["id"] for d in json.loads(devices_json(presets=path))] == ["a", "b"]
    assert devices_json("web", path) == "[]"
    with pytest.raises(ValueError) as info:
        capture(tmp_path, store="web", presets=path)
    assert info.value.args == ("no presets for store web",)


@pytest.mark.parametrize("content, exc, message", [
    (None, FileNotFoundError, "cannot read presets {path}: No such file or directory"),
    (b'{"version":1,"devices":[],"note":"\xff"}', FileNotFoundError,
     "cannot read presets {path}: stream did not contain"),
    ("{not json", ValueError, "invalid presets: json: "),
    ({"version": 2, "devices": []}, ValueError,
     "invalid presets: unexpected response shape: preset schema version 2 is not supported by this build"),
])
def test_preset_file_failures_raise(write_presets, tmp_path, content, exc, message):
    path = str(tmp_path / "missing.json") if content is None else write_presets(content)
    for call in (lambda: devices_json("nowhere", path), lambda: capture(tmp_path, ["x"], presets=path)):
        with pytest.raises(exc) as info:
            call()
        assert str(info.value).startswith(message.format(path=path)) and len(info.value.args) == 1


def test_browser_discovery_failures_are_runtime_errors(tmp_path, monkeypatch):
    browser = tmp_path / "my browser"
    browser.write_text("#!/bin/sh\n")
    monkeypatch.setenv("KESTRELITE_CHROME", str(browser))
    assert find_browser() == str(browser)
    monkeypatch.setenv("KESTRELITE_CHROME", str(tmp_path))
    for call in (find_browser, lambda: capture_json("about:blank", str(tmp_path / "out"), store="apple")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert info.value.args == (f"browser: KESTRELITE_CHROME points at {tmp_path}, which is not a file",)
    assert not (tmp_path / "out").exists()
    (tmp_path / "file").write_text("x")
    with pytest.raises(RuntimeError, match="^io: "):
        capture_json("about:blank", str(tmp_path / "file" / "sub"), store="apple", browser=MISSING_BROWSER)
