"""When the module finds no browser, the command line takes Debian's
chromium-headless-shell, a name the module does not look for, from PATH."""

import pytest

from conftest import make_fake_browser, run_cli as run


@pytest.fixture
def place(tmp_path, monkeypatch):
    """Two directories as the whole PATH, no KESTRELITE_CHROME and an empty
    managed root; returns a function that puts a fake browser into one of
    them under a name."""
    dirs = [tmp_path / "first", tmp_path / "second"]
    for d in dirs:
        d.mkdir()
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    monkeypatch.setenv("PATH", ":".join(map(str, dirs)))

    def put(index, name):
        target = dirs[index] / name
        target.symlink_to(make_fake_browser(tmp_path))
        return str(target)

    return put


@pytest.mark.parametrize("placed, chosen, note", [
    ([(1, "chromium-headless-shell")], 0, " (found on PATH)"),
    ([(1, "chromium-headless-shell"), (0, "chromium-headless-shell")], 1, " (found on PATH)"),
    # A name of the module's own search wins, wherever it is on PATH.
    ([(1, "chromium-browser"), (0, "chromium-headless-shell")], 0, ""),
])
def test_find_browser_and_capture_take_the_same_browser(place, tmp_path, placed, chosen, note):
    chosen = [place(index, name) for index, name in placed][chosen]
    status, stdout, stderr = run(["find-browser"])
    assert (status, stdout) == (0, chosen + "\n")
    assert ("found on PATH: the command line uses it" in stderr) is bool(note)

    status, stdout, _ = run(["capture", "about:blank", "--out", tmp_path / "out", "--device", "play-wear-os"])
    assert status == 0, stdout
    assert stdout.splitlines()[0].endswith(f", browser {chosen}{note}")
    assert " exact " in stdout.splitlines()[1]


def test_a_wrong_kestrelite_chrome_is_still_an_error(place, tmp_path, monkeypatch):
    place(0, "chromium-headless-shell")
    monkeypatch.setenv("KESTRELITE_CHROME", str(tmp_path / "gone"))
    status, stdout, stderr = run(["find-browser"])
    assert status == 1 and stdout == "" and "KESTRELITE_CHROME points at" in stderr
    status, _, stderr = run(["capture", "about:blank", "--out", tmp_path / "out", "--device", "play-wear-os"])
    assert status == 2 and "KESTRELITE_CHROME points at" in stderr
