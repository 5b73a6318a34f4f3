"""kestrelite: reproducible app-store screenshots of a web page."""

from ._native import Session, __version__, capture_json, devices_json, find_browser, version
from .api import capture

__all__ = ["Session", "capture", "capture_json", "devices_json", "find_browser", "version", "__version__"]
