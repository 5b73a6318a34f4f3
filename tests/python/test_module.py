"""The module object: attributes, their order, documentation and version."""
import inspect

import kestrelite
from kestrelite import _native


def test_attributes_are_added_in_order_and_listed_in_all():
    expected = [name for name in ["devices_json", "capture_json", "find_browser", "version", "__version__"]
                if hasattr(_native, name)]
    assert _native.__all__ == expected
    assert _native.__all__[-2:] == ["version", "__version__"]


def test_version_and_docstrings():
    assert _native.version() == "0.1.14"
    assert _native.__version__ == "0.1.14"
    assert kestrelite.__version__ == "0.1.14"
    assert _native.__doc__ == ""
    assert _native.__name__ == "kestrelite._native"
    assert _native.version.__doc__ == "Version of the native core."
    assert _native.devices_json.__doc__ == "Device presets as a JSON string, optionally filtered to one store."
    assert _native.devices_json.__text_signature__ == "(store=None, presets=None)"
    assert str(inspect.signature(_native.devices_json)) == "(store=None, presets=None)"
    assert str(inspect.signature(_native.version)) == "()"


def test_module_file_is_the_stable_abi_build():
    assert _native.__file__.endswith("_native.abi3.so")
