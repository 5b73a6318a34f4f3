"""kestrelite: reproducible app-store screenshots of a web page."""

from ._native import __version__, capture_json, devices_json, find_browser, version

__all__ = ["capture_json", "devices_json", "find_browser", "version", "__version__"]
