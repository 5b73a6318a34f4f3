"""The settle wait on a busy machine: bench/settle_stress.py's run at a size
that fits the suite (the README names the full one). Pages that get their
data late, chained through fetches, timers, promise continuations,
animation frames, scripts and images, captured while two processes keep the
cores busy, must each give the image of their reference, bars and all."""
import sys

from conftest import BROWSER, SOURCE_DIR, needs_browser

sys.path.insert(0, str(SOURCE_DIR / "bench"))
import settle_stress  # noqa: E402

pytestmark = needs_browser


def test_late_content_gives_the_reference_image_under_load(tmp_path):
    summary = settle_stress.run(captures=len(settle_stress.KINDS) * len(settle_stress.DELAYS),
                                hog_count=2, sessions=2, browser=BROWSER, out_dir=tmp_path)
    assert summary["differing"] == [], summary
