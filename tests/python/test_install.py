"""The installed package: pip builds it without build isolation into one
stable-ABI module, without libpython, that every CPython 3.8+ here imports."""
import glob
import os
import subprocess

from conftest import SOURCE_DIR


def test_one_stable_abi_module_for_every_interpreter(tmp_path):
    subprocess.run(["/usr/bin/python3", "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                    "--no-index", "--target", str(tmp_path), str(SOURCE_DIR)], check=True)
    module = tmp_path / "kestrelite" / "_native.abi3.so"
    assert sorted((tmp_path / "kestrelite").glob("_native*")) == [module] and (tmp_path / "bin" / "kestrelite").exists()
    assert "libpython" not in subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
    pythons = ["/usr/bin/python3"] + [p for p in glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))
                                      if int(p.split("/versions/3.")[1].split(".")[0]) >= 8]
    for python in pythons:
        done = subprocess.run([python, "-c", "import kestrelite._native as n; print(n.__file__, n.version())"],
                              env={**os.environ, "PYTHONPATH": str(tmp_path), "PYENV_VERSION": ""},
                              capture_output=True, text=True)
        assert done.stdout.split() == [str(module), "0.1.14"], (python, done.stderr)
