"""Builds kestrelite._native with CMake; the package metadata is in pyproject.toml,
the version in CMakeLists.txt (its one home).

Install without build isolation (nothing can be fetched on an offline
machine): pip install --no-build-isolation .
"""
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
VERSION = re.search(r"project\(kestrelite VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release", "-DKESTRELITE_TESTS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "_native"])
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / "kestrelite" / "_native.abi3.so", target)


setup(
    version=VERSION,
    ext_modules=[Extension("kestrelite._native", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build/setuptools"}, "bdist_wheel": {"py_limited_api": "cp38"}},
)
