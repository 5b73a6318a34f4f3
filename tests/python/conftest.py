"""Shared fixtures: where the build and the sources are, and helpers for preset files."""
import json
import os
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("KESTRELITE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("KESTRELITE_BUILD_DIR", SOURCE_DIR / "build"))


@pytest.fixture
def write_presets(tmp_path):
    """Writes a preset document (a dict or raw text) and returns its path as str."""
    counter = iter(range(1000))

    def write(document):
        path = tmp_path / f"presets-{next(counter)}.json"
        text = document if isinstance(document, (str, bytes)) else json.dumps(document)
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8")
        return str(path)

    return write


def preset(id, w=1080, h=1920, scale=3, **extra):
    """One preset record with sensible defaults."""
    record = {"id": id, "label": id.upper(), "output_width": w, "output_height": h, "scale": scale,
              "requirement": "optional"}
    record.update(extra)
    return record
