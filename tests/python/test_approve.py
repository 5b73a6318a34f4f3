"""kestrelite approve and review: what the baseline takes, what is refused, what the review page can do."""
import hashlib
import http.client
import json
from pathlib import Path
from types import SimpleNamespace

import pytest

from conftest import BROWSER, make_fake_browser, needs_browser, run_cli
from kestrelite import Session, review

DEVICES = ["apple-watch-s3", "play-wear-os", "apple-watch-ultra-3"]
JSON, ONE = {"Content-Type": "application/json"}, {"pairs": ["apple-watch-s3"]}


@pytest.fixture
def runs(tmp_path, fake_captures):
    """make(kind, name, version, devices, screens): a run of the page in `version` into tmp_path/name."""
    browser = make_fake_browser(tmp_path)

    def make(kind, name, version, devices=DEVICES, screens=("home", "tides")):
        argv = ["capture", f"about:blank#{version}", *[a for d in devices for a in ("-d", d)]]
        if kind == "set":
            (tmp_path / "set.toml").write_text(
                f"devices = {json.dumps(list(devices))}\nlocales = [\"en-US\", \"de-DE\"]\n" + "".join(
                    f'[[screen]]\nname = "{s}"\npage = "about:blank#{version}-{s}-{{locale}}"\n' for s in screens))
            argv = ["run", tmp_path / "set.toml"]
        status, _, stderr = run_cli([*argv, "--out", tmp_path / name, "--browser", browser])
        assert status in (0, 1), stderr
        return tmp_path / name
    return make


def files_of(folder):
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest() for p in folder.rglob("*.png")}


def snapshot(folder):
    """Every file of a folder, with its bytes and modification time."""
    return {str(p.relative_to(folder)): (p.read_bytes(), p.stat().st_mtime_ns) for p in folder.rglob("*")
            if p.is_file()}


def consistent(folder):
    """The report names exactly the images there, with their digests."""
    report = json.loads((folder / "report.json").read_text())
    return files_of(folder) == {(Path(e["path"]).name if "results" in report else e["path"]): e["capture"]["sha256"]
                                for e in report.get("results") or report["captures"]}


@pytest.mark.parametrize("kind", ["capture", "set"])
def test_approving_everything_makes_the_base_a_fresh_run_of_the_new_page(runs, kind):
    # The new run drops a device (or a screen) and adds one, and its page changed.
    changes = {"devices": DEVICES[1:] + ["apple-mac-1280"]} if kind == "capture" else {"screens": ("home", "list")}
    base, new = runs(kind, "base", "v1"), runs(kind, "new", "v2", **changes)
    status, stdout, stderr = run_cli(["approve", base, new])
    assert (status, stderr) == (0, ""), stdout
    assert {line.split()[1] for line in stdout.splitlines()[:-1]} == {"changed", "added", "removed"}
    fresh = runs(kind, "fresh", "v2", **changes)
    assert files_of(base) == files_of(fresh) and snapshot(base).keys() == snapshot(fresh).keys() and consistent(base)
    assert run_cli(["compare", fresh, base])[0] == 0
    # Outcome, store check and what made the bytes are the fresh run's too.
    approved, again = (json.loads((f / "report.json").read_text()) for f in (base, fresh))
    assert [approved.get(m) for m in ("ok", "check", "url", "screens", "plan")] == [
        again.get(m) for m in ("ok", "check", "url", "screens", "plan")]
    assert run_cli(["approve", base, new])[1].startswith("nothing to approve")


def test_only_the_named_pairs_are_approved(runs):
    """--only takes a pair's full name or a device id (all of its pairs)."""
    base, new = runs("set", "base", "v1"), runs("set", "new", "v2")
    before, theirs = files_of(base), files_of(new)
    status, stdout, _ = run_cli(["approve", base, new, "--only", "de-DE/tides/play-wear-os",
                                 "--only", "apple-watch-ultra-3"])
    taken = {"de-DE/tides/play-wear-os"} | {f"{locale}/{screen}/apple-watch-ultra-3" for locale in
                                            ("en-US", "de-DE") for screen in ("home", "tides")}
    assert status == 0 and {line.split()[2] for line in stdout.splitlines()[:-1]} == taken
    assert files_of(base) == {path: (theirs if path[:-4] in taken else before)[path] for path in before}
    assert consistent(base)


@pytest.mark.parametrize("spoil, extra, message", [  # how BASE or NEW is spoiled (perhaps giving another NEW)
    (lambda t: t.runs("capture", "other", "v2"), [], "cannot approve a capture run"),
    (lambda t: t.fake.fail.update({"play-wear-os": "browser: it broke"})
     or t.runs("set", "failing", "v2", screens=("home", "list")), [], "failed to capture"),
    (lambda t: None, ["--only", "fr-FR/home/x"], "no pair of the two runs"),
    (lambda t: (t.new / "en-US/home/play-wear-os.png").write_bytes(b"x"), [], "is not the image"),
    (lambda t: (t.base / "en-US/list").mkdir() or (t.base / "en-US/list/play-wear-os.png").write_bytes(b"x"),
     [], "exists and was not written by kestrelite"),
    (lambda t: (t.new / "report.json").write_text((t.new / "report.json").read_text().replace(
        '"kind"', '"shard": {"index": 1, "count": 2}, "kind"', 1)), [], "holds part of a set"),
])
def test_a_refused_approval_changes_nothing(runs, fake_captures, spoil, extra, message):
    base, new = runs("set", "base", "v1"), runs("set", "new", "v2", screens=("home", "list"))
    other = spoil(SimpleNamespace(runs=runs, fake=fake_captures, base=base, new=new))
    new = other if isinstance(other, Path) else new
    before = snapshot(base)
    status, stdout, stderr = run_cli(["approve", base, new, *extra])
    assert (status, stdout) == (2, "") and message in stderr, stderr
    assert snapshot(base) == before


@pytest.fixture
def served(runs):
    base, new = runs("capture", "base", "v1"), runs("capture", "new", "v2")
    state = review.Review(base, new)
    with review.serving(state) as address:
        yield state, address, base, new
    state.close()


def request(address, method="GET", path="", host="127.0.0.1:{port}", body=None, headers=()):
    """(status, body) of a request to the served review, under its secret unless `path` starts with "/"."""
    port, secret = address.split("/")[2].split(":")[1], address.split("/")[3]
    connection = http.client.HTTPConnection("127.0.0.1", int(port), timeout=30)
    data = json.dumps(body).encode() if body is not None else None
    connection.request(method, path if path.startswith("/") else f"/{secret}/{path}", data,
                       {"Host": host.format(port=port), **dict(headers)})
    answer = connection.getresponse()
    return answer.status, answer.read()


@pytest.mark.parametrize("method, path, host, body, headers, status", [
    ("GET", "", "localhost:{port}", None, {}, 200),                      # reading only, by either name
    ("POST", "/wrong/approve", None, ONE, JSON, 403),                    # not the secret
    ("GET", "", "evil.example:{port}", None, {}, 403),                   # DNS rebinding
    ("GET", "", "localhost:1", None, {}, 403),                           # another port
    ("POST", "approve", None, ONE, {"Content-Type": "text/plain"}, 415),  # what a form can send
    ("POST", "approve", None, ONE, {**JSON, "Origin": "http://evil.example"}, 403),
    ("POST", "approve", None, {"pairs": "apple-watch-s3"}, JSON, 400),
    ("POST", "approve", None, {"pairs": ["nothing-so-named"]}, JSON, 409),
    ("GET", "file?p=/etc/passwd", None, None, {}, 404),                  # only the comparison's images
    ("GET", "approve", None, None, {}, 404),                             # GET never acts
])
def test_only_what_the_page_sends_can_act(served, method, path, host, body, headers, status):
    state, address, base, _ = served
    before = snapshot(base)
    assert request(address, method, path, host or "127.0.0.1:{port}", body, headers)[0] == status
    assert snapshot(base) == before and state.approved == []


def test_approving_through_the_server_updates_the_base(served):
    state, address, base, new = served
    assert b'class="approve" data-pair="apple-watch-s3"' in request(address)[1]
    assert all(request(address, path="file?p=" + path.replace("/", "%2F"))[0] == 200 for path in state.files)
    status, answer = request(address, "POST", "approve", body={"changed": True}, headers=JSON)
    assert status == 200 and {a["pair"] for a in json.loads(answer)["approved"]} == set(DEVICES)
    assert files_of(base) == files_of(new) and consistent(base)
    assert b'<span class="decided approved">approved</span>' in request(address)[1]
    assert request(address, "POST", "done", body={}, headers=JSON)[0] == 200 and state.finished.is_set()


@needs_browser
def test_the_approve_button_works_in_the_browser(served, tmp_path):
    """The served page's button, clicked by the headless shell: the baseline takes that pair only."""
    state, address, base, new = served
    before = files_of(base)
    with Session(browser=BROWSER) as session:
        shot = json.loads(session.capture(address, "apple-mac-1440", str(tmp_path / "shots"),
                                          steps=[{"click": 'button.approve[data-pair="play-wear-os"]'}]))
    assert shot["outcome"] == "exact" and state.approved == [("play-wear-os", "changed")], shot
    assert files_of(base) == {**before, "play-wear-os.png": files_of(new)["play-wear-os.png"]} and consistent(base)
