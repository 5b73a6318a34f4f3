"""A set run at scale, watched from outside: bench/scale_run.py at a size
that fits the suite (the benchmark runs a thousand captures). Once warmed
up, the command's memory, descriptors and threads do not grow, it has no
more children than browsers, starts no more browsers than its jobs, and its
captures take no longer at the end than at the start."""
import sys

from conftest import BROWSER, SOURCE_DIR, needs_browser

sys.path.insert(0, str(SOURCE_DIR / "bench"))
import scale_run  # noqa: E402

pytestmark = needs_browser


def test_a_set_run_holds_its_resources_flat(tmp_path):
    jobs = 2
    figures = scale_run.run(screens=4, locales=4, devices=4, jobs=jobs, browser=BROWSER, work=tmp_path)
    # Exit status 1: a set of four devices breaks store rules (too few screenshots).
    assert figures["exit"] == 1 and figures["exact"] == figures["captures"] == 64, figures
    # A capture holds a socket to its page and one to the next page made ready,
    # and a thread that makes it: at a sample these come and go.
    assert figures["fd_growth"] <= 2 * jobs and figures["thread_growth"] <= jobs, figures
    assert figures["rss_growth_mib"] <= 16, figures
    assert figures["children_max"] <= jobs and figures["browsers"] == jobs, figures
