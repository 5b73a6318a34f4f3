"""kestrelite approve and review: a baseline takes a new run's pictures, pair
by pair, and stays a run folder whose report matches its files; what is
refused changes nothing; the review server lets only its own page act, and
its buttons approve in the real browser."""
import hashlib
import http.client
import json
import os
from pathlib import Path

import pytest

from conftest import BROWSER, needs_browser, run_cli
from kestrelite import Session, review
from kestrelite.files import LEFTOVER

DEVICES = ["apple-watch-s3", "play-wear-os", "apple-watch-ultra-3"]


@pytest.fixture
def runs(tmp_path, fake_captures, monkeypatch):
    """make(kind, name, version, devices=..., screens=...): a run of the page
    in `version` into tmp_path/name, through the fake capture step. Set runs
    come from one set file, rewritten for each version."""
    monkeypatch.chdir(tmp_path)
    fake = tmp_path / "browser"
    fake.write_text("#!/bin/sh\necho 'Chromium 1.2.3.4'\n")
    fake.chmod(0o755)

    def make(kind, name, version, devices=DEVICES, screens=("home", "tides")):
        out = tmp_path / name
        if kind == "capture":
            argv = ["capture", f"about:blank#{version}", *[a for d in devices for a in ("-d", d)]]
        else:
            (tmp_path / "set.toml").write_text(
                f"devices = {json.dumps(list(devices))}\nlocales = [\"en-US\", \"de-DE\"]\n" + "".join(
                    f'[[screen]]\nname = "{s}"\npage = "about:blank#{version}-{s}-{{locale}}"\n' for s in screens))
            argv = ["run", tmp_path / "set.toml"]
        status, _, stderr = run_cli([*argv, "--out", out, "--browser", fake])
        assert status in (0, 1), stderr
        return out
    return make


def files_of(folder):
    """{relative path: digest} of the images in a run folder."""
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in folder.rglob("*.png")}


def snapshot(folder):
    """Every file of a folder, with its bytes and modification time."""
    return {str(p.relative_to(folder)): (p.read_bytes(), p.stat().st_mtime_ns) for p in folder.rglob("*")
            if p.is_file()}


def consistent(folder):
    """The report names exactly the images there, with their digests."""
    report = json.loads((folder / "report.json").read_text())
    entries = report.get("results") or report.get("captures")
    named = {(Path(e["path"]).name if report.get("kind", "capture") == "capture" else e["path"]):
             e["capture"]["sha256"] for e in entries}
    return named == files_of(folder)


@pytest.mark.parametrize("kind", ["capture", "set"])
def test_approving_everything_makes_the_base_a_fresh_run_of_the_new_page(runs, kind, tmp_path):
    # The new run drops a device (or a screen) and adds one, and its page changed.
    changes = {"devices": DEVICES[1:] + ["apple-mac-1280"]} if kind == "capture" else {"screens": ("home", "list")}
    base = runs(kind, "base", "v1")
    new = runs(kind, "new", "v2", **changes)
    status, stdout, stderr = run_cli(["approve", base, new])
    assert (status, stderr) == (0, ""), stdout
    assert {line.split()[1] for line in stdout.splitlines()[:-1]} == {"changed", "added", "removed"}
    fresh = runs(kind, "fresh", "v2", **changes)
    assert files_of(base) == files_of(fresh) and consistent(base)
    assert run_cli(["compare", fresh, base])[0] == 0
    # Outcome, store check and what made the bytes are the fresh run's too.
    approved, again = (json.loads((f / "report.json").read_text()) for f in (base, fresh))
    for member in ("ok", "check", "url", "screens", "plan"):
        assert approved.get(member) == again.get(member), member
    assert not [p for p in base.rglob("*") if LEFTOVER.fullmatch(p.name)]
    assert run_cli(["approve", base, new])[1].startswith("nothing to approve")


def test_only_the_named_pairs_are_approved(runs):
    base = runs("set", "base", "v1")
    new = runs("set", "new", "v2")
    before = files_of(base)
    status, stdout, _ = run_cli(["approve", base, new, "--only", "de-DE/tides/play-wear-os",
                                 "--only", "apple-watch-ultra-3"])
    assert status == 0
    approved = {line.split()[2] for line in stdout.splitlines()[:-1]}
    assert approved == {"de-DE/tides/play-wear-os"} | {f"{locale}/{screen}/apple-watch-ultra-3" for locale in
                                                       ("en-US", "de-DE") for screen in ("home", "tides")}
    after, theirs = files_of(base), files_of(new)
    for path in after:
        wanted = theirs if "apple-watch-ultra-3" in path or path == "de-DE/tides/play-wear-os.png" else before
        assert after[path] == wanted[path], path
    assert consistent(base)


REFUSALS = {  # how BASE or NEW is spoiled, the arguments after BASE NEW, and what the message says
    "kinds": (lambda runs, base, new: runs("capture", "other", "v2"), [], "cannot approve a capture run"),
    "failed": (lambda runs, base, new: runs.fail(new), [], "failed to capture"),
    "unknown-pair": (lambda runs, base, new: None, ["--only", "fr-FR/home/x"], "no pair of the two runs"),
    "tampered": (lambda runs, base, new: (new / "en-US/home/play-wear-os.png").write_bytes(b"x"), [],
                 "is not the image its report names"),
    "not-ours": (lambda runs, base, new: (base / ".kestrelite-files.json").write_text("{}"), [],
                 "is not kestrelite's list of the files it wrote"),
    "planted": (lambda runs, base, new: (base / "en-US/list").mkdir() or
                (base / "en-US/list/play-wear-os.png").write_bytes(b"mine"), [],
                "exists and was not written by kestrelite"),
    "shard": (lambda runs, base, new: runs.shard(new), [], "holds part of a set"),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_a_refused_approval_changes_nothing(runs, case, fake_captures, tmp_path):
    spoil, extra, message = REFUSALS[case]
    base = runs("set", "base", "v1")
    new = runs("set", "new", "v2", screens=("home", "list"))

    def fail(folder):
        fake_captures.fail["play-wear-os"] = "browser: it broke"
        return runs("set", folder.name, "v2", screens=("home", "list"))

    def shard(folder):
        report = json.loads((folder / "report.json").read_text())
        report["shard"] = {"index": 1, "count": 2}
        (folder / "report.json").write_text(json.dumps(report))
    runs.fail, runs.shard = fail, shard
    spoil(runs, base, new)
    before = snapshot(base)
    if case == "kinds":
        new = new.parent / "other"
    status, stdout, stderr = run_cli(["approve", base, new, *extra])
    assert status == 2 and message in stderr, stderr
    assert stdout == "" and snapshot(base) == before


# ---------------------------------------------------------------- the review server

@pytest.fixture
def served(runs):
    base = runs("capture", "base", "v1")
    new = runs("capture", "new", "v2")
    state = review.Review(base, new)
    with review.serving(state) as address:
        yield state, address, base, new
    state.close()


def request(address, method="GET", path="", host=None, body=None, headers=()):
    port = int(address.split(":")[2].split("/")[0])
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    secret = address.split("/")[3]
    target = path if path.startswith("/") else f"/{secret}/{path}"
    connection.putrequest(method, target, skip_host=True)
    connection.putheader("Host", host or f"127.0.0.1:{port}")
    for name, value in dict(headers).items():
        connection.putheader(name, value)
    data = json.dumps(body).encode() if body is not None else b""
    if body is not None:
        connection.putheader("Content-Length", str(len(data)))
    connection.endheaders(data)
    answer = connection.getresponse()
    return answer.status, answer.read()


JSON = {"Content-Type": "application/json"}


@pytest.mark.parametrize("method, path, host, body, headers, status", [
    ("GET", "/", None, None, {}, 403),
    ("GET", "/not-the-secret/", None, None, {}, 403),
    ("POST", "/wrong/approve", None, {"pairs": ["apple-watch-s3"]}, JSON, 403),
    ("GET", "", "evil.example:{port}", None, {}, 403),
    ("POST", "approve", "rebound.example:{port}", {"pairs": ["apple-watch-s3"]}, JSON, 403),
    ("GET", "", "localhost:1", None, {}, 403),
    ("POST", "approve", None, {"pairs": ["apple-watch-s3"]}, {"Content-Type": "text/plain"}, 415),
    ("POST", "approve", None, {"pairs": ["apple-watch-s3"]}, {**JSON, "Origin": "http://evil.example"}, 403),
    ("POST", "approve", None, {"pairs": "apple-watch-s3"}, JSON, 400),
    ("POST", "approve", None, {"pairs": ["nothing-so-named"]}, JSON, 409),
    ("GET", "file?p=../../base/report.json", None, None, {}, 404),
    ("GET", "approve", None, None, {}, 404),
])
def test_the_server_refuses_what_its_page_would_not_send(served, method, path, host, body, headers, status):
    state, address, base, _ = served
    before = snapshot(base)
    port = address.split(":")[2].split("/")[0]
    got, _ = request(address, method, path, host and host.format(port=port), body, headers)
    assert got == status
    assert snapshot(base) == before and state.approved == []


def test_reading_the_page_and_its_images_changes_nothing(served):
    state, address, base, _ = served
    before = snapshot(base)
    status, page = request(address)
    assert status == 200 and b'class="approve" data-pair="apple-watch-s3"' in page
    for path in state.files:
        assert request(address, path="file?p=" + path.replace("/", "%2F"))[0] == 200
    assert request(address, host=f"localhost:{address.split(':')[2].split('/')[0]}")[0] == 200
    assert snapshot(base) == before


def test_approving_through_the_server_updates_the_base(served):
    state, address, base, new = served
    status, answer = request(address, "POST", "approve", body={"changed": True}, headers=JSON)
    assert status == 200 and {a["pair"] for a in json.loads(answer)["approved"]} == set(DEVICES)
    assert files_of(base) == files_of(new) and consistent(base)
    assert b'<span class="decided approved">approved</span>' in request(address)[1]
    assert request(address, "POST", "done", body={}, headers=JSON)[0] == 200 and state.finished.is_set()


@needs_browser
def test_the_approve_button_works_in_the_browser(runs, tmp_path):
    """The page served, its button clicked by the headless shell through
    the DevTools protocol: the baseline takes that pair only."""
    base = runs("capture", "base", "v1")
    new = runs("capture", "new", "v2")
    before = files_of(base)
    state = review.Review(base, new)
    try:
        with review.serving(state) as address, Session(browser=BROWSER) as session:
            shot = json.loads(session.capture(address, "apple-mac-1440", str(tmp_path / "shots"),
                                              steps=[{"click": 'button.approve[data-pair="play-wear-os"]'}]))
    finally:
        state.close()
    assert shot["outcome"] == "exact", shot
    assert state.approved == [("play-wear-os", "changed")]
    after = files_of(base)
    assert after["play-wear-os.png"] == files_of(new)["play-wear-os.png"]
    assert {k: v for k, v in after.items() if k != "play-wear-os.png"} == {
        k: v for k, v in before.items() if k != "play-wear-os.png"}
    assert consistent(base)
    assert os.path.exists(shot["path"])
