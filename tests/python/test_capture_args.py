"""capture_json and find_browser: argument conversion, selection and the failures
that come before any browser starts."""
import json
import os

import numpy
import pytest

from conftest import preset
from kestrelite import capture_json, find_browser

MISSING_BROWSER = "/nonexistent/kestrelite-browser"


def run(tmp_path, *args, **kwargs):
    kwargs.setdefault("browser", MISSING_BROWSER)
    return json.loads(capture_json("about:blank", str(tmp_path / "out"), *args, **kwargs))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("kwargs, exc, message", [
    ({}, ValueError, "specify either device_ids or store"),
    ({"device_ids": ["apple-mac-1280", "nope", "also-nope"]}, ValueError, "unknown device id: nope"),
    ({"device_ids": ["APPLE-MAC-1280"]}, ValueError, "unknown device id: APPLE-MAC-1280"),
    ({"store": "itunes"}, ValueError, "unknown store: itunes"),
    ({"store": " web"}, ValueError, "unknown store:  web"),
    ({"device_ids": "apple-mac-1280"}, TypeError, "argument 'device_ids': Can't extract `str` to `Vec`"),
    ({"device_ids": 5}, TypeError, "argument 'device_ids': "),
    ({"device_ids": ["apple-mac-1280", 5]}, TypeError, "argument 'device_ids': "),
    ({"store": "apple", "seed": None}, TypeError, "argument 'seed': "),
    ({"store": "apple", "seed": "1"}, TypeError, "argument 'seed': "),
    ({"store": "apple", "seed": 1.0}, TypeError, "argument 'seed': "),
    ({"store": "apple", "seed": -1}, OverflowError, "argument 'seed': "),
    ({"store": "apple", "seed": 2 ** 64}, OverflowError, "argument 'seed': "),
    ({"store": "apple", "fail_fast": None}, TypeError, "argument 'fail_fast': "),
    ({"store": "apple", "fail_fast": 1}, TypeError, "argument 'fail_fast': "),
    ({"store": "apple", "locale": 1}, TypeError, "argument 'locale': "),
    ({"store": "apple", "timezone": b"UTC"}, TypeError, "argument 'timezone': "),
    ({"store": "apple", "browser": 0}, TypeError, "argument 'browser': "),
    ({"store": "apple", "presets": 0}, TypeError, "argument 'presets': "),
])
def test_refused_arguments(tmp_path, kwargs, exc, message):
    with pytest.raises(exc) as info:
        run(tmp_path, **kwargs)
    assert str(info.value).startswith(message)
    assert len(info.value.args) == 1
    if exc is ValueError:
        assert str(info.value) == message
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("call", [
    lambda: capture_json("about:blank"),
    lambda: capture_json(out_dir="x", url="about:blank", shop="apple"),
    lambda: capture_json("u", "o", None, None, 42, None, None, None, False, None, "extra"),
    lambda: capture_json(1, "o", store="apple"),
    lambda: capture_json("u", None, store="apple"),
])
def test_binding_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_the_preset_file_is_read_before_the_selection_is_checked(write_presets, tmp_path):
    with pytest.raises(ValueError, match="^invalid presets: json: "):
        run(tmp_path, presets=write_presets("{"))


def test_a_store_without_presets_in_the_file(write_presets, tmp_path):
    path = write_presets({"version": 1, "devices": [preset("a", store="apple")]})
    with pytest.raises(ValueError) as info:
        run(tmp_path, store="web", presets=path)
    assert info.value.args == ("no presets for store web",)


def test_device_ids_make_the_store_irrelevant(tmp_path):
    report = run(tmp_path, ["apple-mac-1280", "apple-mac-1280"], "not-a-store")
    assert [r["device_id"] for r in report["results"]] == ["apple-mac-1280", "apple-mac-1280"]


def test_an_empty_selection_still_creates_the_output_directory(tmp_path):
    report = run(tmp_path, device_ids=[])
    assert (tmp_path / "out").is_dir()
    assert report["results"] == [] and report["ok"] is False
    assert (report["exact"], report["off_size"], report["failed"]) == (0, 0, 0)


def test_a_missing_browser_fails_every_device_at_launch(tmp_path):
    report = run(tmp_path, ("play-wear-os", "apple-tv-1080"))
    assert report["failed"] == 2 and report["ok"] is False
    for result in report["results"]:
        assert list(result) == ["device_id", "outcome", "elapsed_ms", "error"]
        assert result["outcome"] == "failed"
        assert result["error"] == f"browser: could not spawn {MISSING_BROWSER}: No such file or directory"


@pytest.mark.parametrize("kwargs, seed, locale", [
    ({}, 42, "en-US"),
    ({"seed": 0, "locale": None, "timezone": None}, 0, "en-US"),
    ({"seed": 2 ** 64 - 1, "locale": "de-DE"}, 2 ** 64 - 1, "de-DE"),
    ({"seed": Index(7), "fail_fast": numpy.bool_(True)}, 7, "en-US"),
    ({"seed": True, "fail_fast": numpy.bool_(False)}, 1, "en-US"),
])
def test_report_carries_the_seed_and_locale(tmp_path, kwargs, seed, locale):
    report = run(tmp_path, device_ids=["apple-mac-1280"], **kwargs)
    assert (report["seed"], report["locale"]) == (seed, locale)
    assert report["kestrelite"] == "0.1.14" and report["url"] == "about:blank"


def test_fail_fast_stops_after_the_first_failure(tmp_path):
    report = run(tmp_path, device_ids=["apple-mac-1280", "apple-tv-1080"], fail_fast=True)
    assert len(report["results"]) == 1 and report["failed"] == 1


def test_an_output_path_naming_a_file_fails_the_run(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(RuntimeError) as info:
        capture_json("about:blank", str(blocker / "sub"), store="apple", browser=MISSING_BROWSER)
    assert str(info.value).startswith("io: ")


def test_find_browser_returns_an_explicit_path_unchanged(tmp_path, monkeypatch):
    browser = tmp_path / "my browser"
    browser.write_text("#!/bin/sh\n")
    monkeypatch.setenv("KESTRELITE_CHROME", str(browser))
    assert find_browser() == str(browser)
    monkeypatch.setenv("KESTRELITE_CHROME", str(tmp_path))
    with pytest.raises(RuntimeError) as info:
        find_browser()
    assert info.value.args == (f"browser: KESTRELITE_CHROME points at {tmp_path}, which is not a file",)


def test_capture_json_without_a_browser_reports_discovery_failure(tmp_path, monkeypatch):
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "none"))
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(RuntimeError) as info:
        capture_json("about:blank", str(tmp_path / "out"), store="apple")
    assert str(info.value) == ("browser: no browser found. Set KESTRELITE_CHROME, or run "
                               "`kestrelite install-browser`.")
    assert not (tmp_path / "out").exists()


def test_documentation_of_the_capture_functions():
    import inspect
    from kestrelite import _native
    assert str(inspect.signature(_native.capture_json)) == (
        "(url, out_dir, device_ids=None, store=None, seed=42, locale=None, timezone=None, browser=None, "
        "fail_fast=False, presets=None)")
    assert _native.capture_json.__doc__ == "Run a capture matrix and return the report as a JSON string."
    assert _native.find_browser.__doc__ == "Path to the browser kestrelite would use."
    assert _native.__all__ == ["devices_json", "capture_json", "find_browser", "version", "__version__"]
