"""One browser chooser for every command and the library: KESTRELITE_CHROME, the managed root, the usual names on PATH,
then Debian's chromium-headless-shell on PATH, which the module's own find_browser does not take; with none, or with
KESTRELITE_CHROME naming nothing, one message with each remedy once; and install-browser, filling the managed root."""
import json
import subprocess

import pytest

import kestrelite
from conftest import make_fake_browser, run_cli as run
from kestrelite import browser as browsers


@pytest.fixture
def place(tmp_path, monkeypatch):
    """PATH of two folders, no KESTRELITE_CHROME, an empty managed root; place(i, name) puts a fake browser in one."""
    dirs = [tmp_path / "first", tmp_path / "second"]
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    monkeypatch.setenv("PATH", ":".join(map(str, dirs)))

    def put(index, name):
        dirs[index].mkdir(exist_ok=True)
        (dirs[index] / name).symlink_to(make_fake_browser(tmp_path))
        return str(dirs[index] / name)

    return put


@pytest.mark.parametrize("placed, chosen, note", [
    ([(1, "chromium-headless-shell")], 0, " (found on PATH)"),
    ([(1, "chromium-headless-shell"), (0, "chromium-headless-shell")], 1, " (found on PATH)"),
    # A name of the module's own search wins, wherever it is on PATH.
    ([(1, "chromium-browser"), (0, "chromium-headless-shell")], 0, ""),
])
def test_every_command_and_the_library_take_the_same_browser(place, tmp_path, placed, chosen, note):
    chosen = [place(index, name) for index, name in placed][chosen]
    status, stdout, stderr = run(["find-browser"])
    assert (status, stdout) == (0, chosen + "\n") and ("found on PATH" in stderr) is bool(note)
    status, stdout, _ = run(["capture", "about:blank", "--out", tmp_path / "c", "--device", "play-wear-os"])
    assert status == 0 and stdout.splitlines()[0].endswith(f", browser {chosen}{note}"), stdout
    with kestrelite.Session() as session:
        assert json.loads(session.capture("about:blank", "play-wear-os", tmp_path / "s"))["outcome"] == "exact"


def test_with_no_browser_anywhere_each_remedy_is_said_once(place, tmp_path):
    for argv, status in ((["capture", "about:blank", "-o", tmp_path / "out", "-d", "play-wear-os"], 2),
                         (["find-browser"], 1)):
        code, stdout, stderr = run(argv)
        assert (code, stdout, stderr.count("\n")) == (status, "", 1) and not (tmp_path / "out").exists()
        assert "no browser found" in stderr and str(tmp_path / "home" / "browser") in stderr
        for remedy in ("apt-get install chromium-headless-shell", "`kestrelite install-browser`",
                       "set KESTRELITE_CHROME", "pass --browser PATH"):
            assert stderr.count(remedy) == 1, (remedy, stderr)
    with pytest.raises(kestrelite.errors.UsageError, match="pass browser=PATH"):
        kestrelite.capture("about:blank", tmp_path / "out", ["play-wear-os"])


def test_kestrelite_chrome_is_taken_as_it_is_or_is_an_error(place, tmp_path, monkeypatch):
    """It wins over a browser on PATH, however its name reads; when it names no file, the module raises and the commands
    say so, and nothing is made."""
    place(0, "chromium-headless-shell")
    named = tmp_path / "my browser"
    named.write_text("#!/bin/sh\n")
    monkeypatch.setenv("KESTRELITE_CHROME", str(named))
    assert kestrelite.find_browser() == str(named)
    monkeypatch.setenv("KESTRELITE_CHROME", str(tmp_path))
    for call in (kestrelite.find_browser, lambda: kestrelite.capture_json("about:blank", str(tmp_path / "out"),
                                                                          store="apple")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert info.value.args == (f"browser: KESTRELITE_CHROME points at {tmp_path}, which is not a file",)
    status, stdout, stderr = run(["find-browser"])
    assert (status, stdout) == (1, "") and "KESTRELITE_CHROME points at" in stderr
    status, _, stderr = run(["capture", "about:blank", "--out", tmp_path / "out", "--device", "play-wear-os"])
    assert status == 2 and "KESTRELITE_CHROME points at" in stderr and "Point KESTRELITE_CHROME at" in stderr
    assert not (tmp_path / "out").exists()


def test_install_browser_places_a_launcher_that_passes_every_argument(place, tmp_path, monkeypatch):
    """Without --from it takes the first Chromium of this machine, or says what to do when there is none."""
    monkeypatch.setattr(browsers, "LOCAL_BROWSERS", (str(tmp_path / "no-chromium"),))
    status, stdout, stderr = run(["install-browser"])
    assert (status, stdout) == (1, "") and not (tmp_path / "home").exists()
    assert "apt-get install chromium-headless-shell" in stderr and "--from PATH" in stderr
    (tmp_path / "it's a dir").mkdir()
    program = tmp_path / "it's a dir" / "fake browser"
    program.write_text('#!/bin/sh\n[ "$1" = --version ] && echo "Chromium 1.2.3.4" && exit\n'
                       'for a in "$@"; do printf "[%s]" "$a"; done\n')
    program.chmod(0o755)
    monkeypatch.setattr(browsers, "LOCAL_BROWSERS", (str(tmp_path / "no-chromium"), str(program)))
    launcher = tmp_path / "home" / "browser" / "chrome-headless-shell"
    status, stdout, _ = run(["install-browser"])
    assert status == 0 and stdout.startswith(f"found {program}\ninstalled {launcher}, a launcher that runs {program}")
    assert "kestrelite uses it from now on" in stdout and run(["find-browser"])[:2] == (0, f"{launcher}\n")
    echoed = subprocess.run([str(launcher), "a b", "", "$HOME", "--x='y'"], capture_output=True, text=True)
    assert echoed.stdout == "[a b][][$HOME][--x='y']"
    assert run(["install-browser", "--from", program])[1].startswith(f"replaced {launcher}")
    monkeypatch.setenv("KESTRELITE_CHROME", str(program))
    assert f"kestrelite uses {program} instead, because KESTRELITE_CHROME is set" in run(
        ["install-browser", "--from", program])[1]
