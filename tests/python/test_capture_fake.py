"""The capture procedure on the wire, against the scripted DevTools peer."""
import base64
import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fake_browser"))
from fakes import make_fake_browser, read_log  # noqa: E402

from conftest import preset  # noqa: E402
from kestrelite import capture_json  # noqa: E402

PLATFORM_DEVICES = [
    preset("phone", 1320, 2868, 3, mobile=True, platform="ios_phone"),
    preset("phone-not-mobile", 1320, 2868, 3, mobile=False, platform="ios_phone"),
    preset("tablet", 2064, 2752, 2, mobile=True, platform="ios_tablet"),
    preset("watch", 422, 514, 2, mobile=True, platform="ios_watch"),
    preset("android", 1080, 1920, 3, mobile=True, platform="android_phone"),
    preset("android-tablet", 1440, 2560, 2, mobile=True, platform="android_tablet"),
    preset("mac", 2880, 1800, 2, platform="macos"),
    preset("tv", 1920, 1080, 1, platform="tv"),
    preset("web", 1024, 500, 1, platform="web"),
]
TOUCH = {"ios_phone": (True, 5), "ios_tablet": (True, 5), "ios_watch": (True, 1), "android_phone": (True, 5),
         "android_tablet": (True, 5), "macos": (False, 1), "tv": (False, 1), "web": (False, 1)}


def capture(tmp_path, browser, devices, **kwargs):
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": devices}))
    return json.loads(capture_json("http://127.0.0.1:9/app.html", str(tmp_path / "out"),
                                   [d["id"] for d in devices], browser=browser, presets=str(presets),
                                   **kwargs))


def sessions(log):
    """The logged requests split per browser: each launch starts again at id 1."""
    out = []
    for message in log:
        if message["id"] == 1:
            out.append([])
        out[-1].append(message)
    return out


def test_every_platform_sends_its_commands_in_order(tmp_path):
    log = tmp_path / "log.jsonl"
    report = capture(tmp_path, make_fake_browser(tmp_path, log=str(log)), PLATFORM_DEVICES,
                     timezone="Asia/Tokyo", locale="ja-JP")
    assert report["exact"] == len(PLATFORM_DEVICES), report
    raw = log.read_text().splitlines()
    assert raw[0] == '{"id":1,"method":"Page.enable","params":{}}'
    for device, session in zip(PLATFORM_DEVICES, sessions(read_log(log))):
        methods = [m["method"] for m in session]
        has_ua = device["platform"] not in ("tv", "web")
        assert methods == ["Page.enable", "Runtime.enable", "Network.enable", "Emulation.setDeviceMetricsOverride",
                           "Emulation.setUserAgentOverride", "Emulation.setTouchEmulationEnabled",
                           "Emulation.setTimezoneOverride", "Emulation.setLocaleOverride",
                           "Page.addScriptToEvaluateOnNewDocument", "Page.navigate", "Runtime.evaluate",
                           "Runtime.evaluate", "Runtime.evaluate", "Page.captureScreenshot"]
        assert [m["id"] for m in session] == list(range(1, len(session) + 1))
        params = {m["method"]: m["params"] for m in session}
        scale = device["scale"]
        assert params["Emulation.setDeviceMetricsOverride"] == {
            "width": device["output_width"] // scale, "height": device["output_height"] // scale,
            "deviceScaleFactor": scale, "mobile": device.get("mobile", False)}
        enabled, points = TOUCH[device["platform"]]
        assert params["Emulation.setTouchEmulationEnabled"] == {"enabled": enabled, "maxTouchPoints": points}
        assert params["Emulation.setUserAgentOverride"]["acceptLanguage"] == "ja-JP"
        if has_ua:
            metadata = params["Emulation.setUserAgentOverride"]["userAgentMetadata"]
            assert metadata["mobile"] is (device["platform"] != "macos")
            assert metadata["brands"] == [] and metadata["model"] == ""
        assert params["Emulation.setTimezoneOverride"] == {"timezoneId": "Asia/Tokyo"}
        assert params["Emulation.setLocaleOverride"] == {"locale": "ja-JP"}
        assert params["Page.navigate"] == {"url": "http://127.0.0.1:9/app.html"}
        assert params["Page.captureScreenshot"] == {"captureBeyondViewport": False, "format": "png"}
        settle, probe, status = [m["params"] for m in session if m["method"] == "Runtime.evaluate"]
        assert settle["awaitPromise"] is True and settle["returnByValue"] is True
        assert probe == {"expression": "({w:innerWidth,h:innerHeight,d:devicePixelRatio,"
                                       "t:(navigator.maxTouchPoints||0)})", "returnByValue": True}
        assert status == {"expression": "(performance.getEntriesByType('navigation')[0]||{}).responseStatus",
                          "returnByValue": True}


@pytest.mark.parametrize("key, message, outcome, error", [
    ("Emulation.setLocaleOverride", "'Emulation.setLocaleOverride' wasn't found", "exact", None),
    ("Emulation.setTouchEmulationEnabled", "Touch emulation not supported", "exact", None),
    ("Emulation.setUserAgentOverride", "'Emulation.setUserAgentOverride' wasn't found", "exact", None),
    ("Emulation.setTimezoneOverride", "Not supported", "failed", "cdp Emulation.setTimezoneOverride: Not supported"),
    ("Emulation.setTimezoneOverride", "Invalid timezone ID", "failed",
     "cdp Emulation.setTimezoneOverride: Invalid timezone ID"),
    ("Page.navigate", "'Page.navigate' wasn't found", "failed", "cdp Page.navigate: 'Page.navigate' wasn't found"),
    ("Emulation.setDeviceMetricsOverride", "not supported", "failed",
     "cdp Emulation.setDeviceMetricsOverride: not supported"),
    ("Runtime.evaluate#1", "Inspected target navigated or closed", "failed",
     "cdp Runtime.evaluate: Inspected target navigated or closed"),
])
def test_error_replies(tmp_path, key, message, outcome, error):
    browser = make_fake_browser(tmp_path, replies={key: {"error": {"code": -32000, "message": message}}})
    result = capture(tmp_path, browser, PLATFORM_DEVICES[:1])["results"][0]
    assert result["outcome"] == outcome
    assert result.get("error") == error


def png_of(width, height):
    import struct
    return b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sII", 13, b"IHDR", width, height) + b"\x08\x02\x00\x00\x00"


@pytest.mark.parametrize("result, error", [
    ({}, "unexpected response shape: captureScreenshot returned no data"),
    ({"data": 12}, "unexpected response shape: captureScreenshot returned no data"),
    ({"data": None}, "unexpected response shape: captureScreenshot returned no data"),
    ({"data": "iVBORw0KGgo*"}, "unexpected response shape: screenshot was not valid base64: "),
    ({"data": "iVBORw0KGgp="}, "unexpected response shape: screenshot was not valid base64: "),
    ({"data": "iVBO RwoK"}, "unexpected response shape: screenshot was not valid base64: "),
    ({"data": ""}, "unexpected response shape: png too short: 0 bytes"),
    ({"data": base64.b64encode(b"GIF89a" + b"\0" * 30).decode()}, "unexpected response shape: not a png (bad magic)"),
    ({"data": base64.b64encode(png_of(1, 1)[:20]).decode()}, "unexpected response shape: png too short: 20 bytes"),
])
def test_screenshot_faults(tmp_path, result, error):
    browser = make_fake_browser(tmp_path, replies={"Page.captureScreenshot": {"result": result}})
    report = capture(tmp_path, browser, PLATFORM_DEVICES[:1])
    assert report["results"][0]["error"].startswith(error)
    assert not (tmp_path / "out" / "phone.png").exists()


def test_a_wrong_size_is_still_captured(tmp_path):
    browser = make_fake_browser(tmp_path, replies={
        "Page.captureScreenshot": {"result": {"data": base64.b64encode(png_of(1320, 2867)).decode()}}})
    result = capture(tmp_path, browser, PLATFORM_DEVICES[:1])["results"][0]
    assert result["outcome"] == "off-size"
    assert result["capture"]["actual"] == [1320, 2867] and result["capture"]["exact"] is False
    assert (tmp_path / "out" / "phone.png").read_bytes() == png_of(1320, 2867)


@pytest.mark.parametrize("reply", [{"result": {}}, {"result": {"result": {"type": "object"}}},
                                   {"result": {"result": 5}}, {"error": {"message": "boom"}}])
def test_a_failed_probe_leaves_the_environment_out(tmp_path, reply):
    browser = make_fake_browser(tmp_path, replies={"Runtime.evaluate#2": reply})
    result = capture(tmp_path, browser, PLATFORM_DEVICES[:1])["results"][0]
    assert result["outcome"] == "exact"
    assert "environment" not in result["capture"]


def test_environment_reports_what_the_page_sees(tmp_path):
    browser = make_fake_browser(tmp_path, replies={"Runtime.evaluate#2": {"result": {"result": {"type": "object", "value": {
        "w": 980, "h": 2133.7, "d": 2.625, "t": "5"}}}}})
    env = capture(tmp_path, browser, PLATFORM_DEVICES[:1])["results"][0]["capture"]["environment"]
    assert env == {"inner_width": 980, "inner_height": 2133, "device_pixel_ratio": 2, "touch_points": 0,
                   "viewport_honoured": False}


def test_error_without_message_and_reply_without_result(tmp_path):
    browser = make_fake_browser(tmp_path, replies={"Page.navigate": {"error": {"code": 1}}})
    assert capture(tmp_path, browser, PLATFORM_DEVICES[:1])["results"][0]["error"] == "cdp Page.navigate: unknown"
    browser = make_fake_browser(tmp_path, replies={"Page.navigate": {}, "Runtime.evaluate#1": {}})
    assert capture(tmp_path, browser, PLATFORM_DEVICES[:1])["results"][0]["outcome"] == "exact"


def test_events_and_stray_replies_are_skipped_and_fragments_reassembled(tmp_path):
    noise = [{"method": "Page.frameNavigated", "params": {"frame": {"id": "F1"}}},
             {"id": 999, "result": {}}, {"id": -1, "error": {"message": "x"}}, [1, 2], "null",
             {"id": 1.0, "result": {}}]
    browser = make_fake_browser(tmp_path, before_reply={"*": noise}, fragment_replies=True)
    report = capture(tmp_path, browser, PLATFORM_DEVICES[:2])
    assert report["exact"] == 2, report
