"""kestrelite: reproducible app-store screenshots of a web page."""

from ._native import __version__, devices_json, version

__all__ = ["devices_json", "version", "__version__"]
