"""The installed package: pip builds it without build isolation, and the one
abi3 module imports under every CPython 3 on the machine."""
import glob
import os
import subprocess

import pytest

from conftest import SOURCE_DIR


def interpreters():
    found = ["/usr/bin/python3"]
    # The module is built for the stable ABI of 3.8 and later.
    for path in glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3")):
        minor = path.split("/versions/3.")[1].split(".")[0]
        if minor.isdigit() and int(minor) >= 8:
            found.append(path)
    return found


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    target = tmp_path_factory.mktemp("site")
    subprocess.run(["/usr/bin/python3", "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                    "--no-index", "--target", str(target), str(SOURCE_DIR)], check=True)
    return target


def test_install_holds_one_stable_abi_module_without_libpython(installed):
    modules = sorted(p.name for p in (installed / "kestrelite").glob("_native*"))
    assert modules == ["_native.abi3.so"]
    needed = subprocess.run(["ldd", str(installed / "kestrelite" / "_native.abi3.so")],
                            capture_output=True, text=True, check=True).stdout
    assert "libpython" not in needed
    assert (installed / "bin" / "kestrelite").exists()


@pytest.mark.parametrize("python", interpreters())
def test_installed_package_imports(installed, python):
    if len(interpreters()) < 2:
        pytest.skip("only one CPython on this machine")
    result = subprocess.run(
        [python, "-c", "import sys, kestrelite, kestrelite._native as n; print(n.__file__); print(n.version())"],
        env={**os.environ, "PYTHONPATH": str(installed), "PYENV_VERSION": ""}, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    path, version = result.stdout.split()
    assert path == str(installed / "kestrelite" / "_native.abi3.so")
    assert version == "0.1.14"
