"""How a capture that settled at its deadline shows: the flag on the progress
line and on the contact sheet's cards; captures that settled quietly, failed
ones and reports written before captures said how they settled show none."""
import pytest

from kestrelite.cli.output import Progress
from kestrelite.plan import capture_plan
from kestrelite.report import Report, settle_flag
from kestrelite.sheet import card

DEVICE = {"id": "phone", "label": "Phone", "output_width": 1080, "output_height": 1920}
PLAN = capture_plan("about:blank", [DEVICE], 42, "en-US", "UTC")


def result(**capture):
    shot = {"actual": [1080, 1920], "expected": [1080, 1920], "exact": True, "sha256": "a" * 64, **capture}
    return {"device_id": "phone", "outcome": "exact", "elapsed_ms": 10500, "capture": shot, "path": "out/phone.png"}


FAILED = {"device_id": "phone", "outcome": "failed", "elapsed_ms": 3, "error": "browser: nope"}


@pytest.mark.parametrize("entry, flag", [
    (result(settle="deadline", settle_open=["images", "network"]), "deadline: images, network"),
    (result(settle="deadline"), "deadline"),
    (result(settle="quiet"), None),
    (result(), None),
    (FAILED, None),
])
def test_a_capture_settled_at_the_deadline_is_flagged_wherever_it_shows(capsys, entry, flag):
    assert settle_flag(entry.get("capture")) == flag
    Progress(PLAN, PLAN.jobs).line(PLAN.jobs[0], entry)
    line = capsys.readouterr().out
    figure = card(Report("capture", {}, [entry]), entry, DEVICE, False)
    if flag:
        assert f"  [{flag}]" in line and f"settled at {flag}</span>" in figure
    else:
        assert "[" not in line.split("]", 1)[1] and "settled at" not in figure
