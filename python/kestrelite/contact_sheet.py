"""The contact sheet of a capture run: one self-contained HTML page that shows
every screenshot of the run scaled into a grid, so a person can check a whole
store set at a glance.

The page lives beside the PNG files and refers to them by relative links. Its
status bar says whether the run was ok and what made the bytes (seed, locale,
time zone, browser, kestrelite's version). It is red when the run was not ok
(a device off-size or failed, devices not started, a digest that changed on
the second run) and also when a screenshot cannot be shown: a small script
marks every image that does not decode (for instance when the PNG files were
not copied along with the page). It turns green only when the run was ok and
every screenshot is shown.
"""

import html
import os
from urllib.parse import quote

from .report import settle_flag

OK_COLOUR = "#1b7f3b"
BROKEN_COLOUR = "#b3261e"

STYLE = """
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
  color: #1d1d1f; background: #f2f2f5; }
#status { padding: 14px 24px; color: #fff; background: #5f6368; }
body[data-run="ok"][data-images="ok"] #status { background: %(ok)s; }
body[data-run="not-ok"] #status, body[data-images="broken"] #status { background: %(broken)s; }
#outcome { font-weight: 600; }
#status h1 { margin: 0 0 4px; font-size: 18px; overflow-wrap: anywhere; }
#status p { margin: 0; }
main { display: grid; grid-template-columns: repeat(auto-fill, minmax(240px, 1fr)); gap: 16px; padding: 24px; }
figure { margin: 0; background: #fff; border-radius: 10px; overflow: hidden;
  box-shadow: 0 1px 3px rgba(0, 0, 0, .15); display: flex; flex-direction: column; }
.shot { height: 300px; padding: 10px; display: flex; align-items: center; justify-content: center;
  background: repeating-conic-gradient(#e8e8ec 0 25%%, #f6f6f8 0 50%%) 0 0 / 16px 16px; }
.shot img { min-width: 0; min-height: 0; max-width: 100%%; max-height: 100%%;
  box-shadow: 0 0 0 1px rgba(0, 0, 0, .2); }
.shot .none { color: #80868b; }
figure.broken .shot::after { content: "image missing"; color: %(broken)s; font-weight: 600; }
figure.broken img { display: none; }
figcaption { padding: 10px 12px; display: grid; gap: 2px; overflow-wrap: anywhere; }
figcaption b { font-size: 15px; }
code { font: 12px ui-monospace, Menlo, Consolas, monospace; color: #5f6368; }
.outcome { font-weight: 600; }
.exact .outcome { color: %(ok)s; }
.off-size .outcome, .failed .outcome, .differs { color: %(broken)s; }
.settle { color: #b06000; font-weight: 600; }
.failed { outline: 2px solid %(broken)s; }
.error { margin: 4px 0 0; color: %(broken)s; white-space: pre-wrap; }
""" % {"ok": OK_COLOUR, "broken": BROKEN_COLOUR}

SCRIPT = """
addEventListener("load", () => {
  const images = Array.from(document.images);
  const broken = images.filter((img) => !(img.complete && img.naturalWidth > 0));
  for (const img of broken) img.closest("figure").classList.add("broken");
  document.body.dataset.images = broken.length ? "broken" : "ok";
  document.getElementById("images").textContent = broken.length
    ? `${broken.length} of ${images.length} screenshots could not be shown`
    : `all ${images.length} screenshots shown`;
});
"""


def esc(value):
    return html.escape(str(value), quote=True)


def size_text(pair):
    return f"{pair[0]}x{pair[1]}"


def card(result, device, verify_entry, source=None, attributes=""):
    """One figure: the scaled screenshot, or a placeholder for a failed device,
    and its caption. `source` is the image's link (default: the base name of
    its path); `attributes` go on the figure."""
    outcome = result["outcome"]
    shot = result.get("capture")
    label = device["label"] if device else result["device_id"]
    expected = [device["output_width"], device["output_height"]] if device else None
    if shot:
        source = quote(source if source is not None else os.path.basename(result["path"]))
        picture = f'<a class="shot" href="{esc(source)}"><img src="{esc(source)}" alt="{esc(label)}"></a>'
        size = size_text(shot["actual"])
        if not shot["exact"]:
            size += f" (expected {size_text(shot['expected'])})"
    else:
        picture = '<div class="shot"><span class="none">no image</span></div>'
        size = size_text(expected) if expected else ""
    lines = [
        f"<b>{esc(label)}</b>",
        f"<code>{esc(result['device_id'])}</code>",
        f"<span>{esc(size)} &middot; <span class=\"outcome\">{esc(outcome)}</span>"
        f" &middot; {esc(result['elapsed_ms'])} ms</span>",
    ]
    if shot:
        lines.append(f"<code title=\"{esc(shot['sha256'])}\">sha256 {esc(shot['sha256'][:16])}</code>")
    flag = settle_flag(shot)
    if flag:
        lines.append(f'<span class="settle" title="the page was not still when the settle wait ended">'
                     f'settled at {esc(flag)}</span>')
    if verify_entry is not None and not verify_entry["identical"]:
        lines.append('<span class="differs">differs on the second run</span>')
    if "error" in result:
        lines.append(f'<p class="error">{esc(result["error"])}</p>')
    caption = "\n    ".join(lines)
    return (f'<figure class="{esc(outcome)}"{attributes}>\n  {picture}\n'
            f"  <figcaption>\n    {caption}\n  </figcaption>\n</figure>")


def outcome_text(report, verify):
    """The run's outcome in a few words: "ok" and what was captured, or
    "NOT OK" and why."""
    if report["ok"]:
        return f"ok: {report['exact']} of {report['exact']} devices exact"
    reasons = [f"{report[key]} {word}" for key, word in (("off_size", "off-size"), ("failed", "failed"))
               if report[key]]
    if report.get("not_started"):
        reasons.append(f"{report['not_started']} not started (fail-fast)")
    if verify is not None and verify["differ"]:
        reasons.append(f"{len(verify['differ'])} changed on the second run")
    return "NOT OK: " + (", ".join(reasons) if reasons else "nothing was captured")


def settings_text(report):
    parts = [f"seed {report['seed']}", f"locale {report['locale']}"]
    if "timezone" in report:
        parts.append(f"time zone {report['timezone']}")
    browser = report.get("browser")
    if browser:
        parts.append(f"{browser.get('version', 'browser of unknown version')} ({browser['executable']})")
    parts.append(f"kestrelite {report['kestrelite']}")
    return " &middot; ".join(esc(part) for part in parts)


def render(report, devices, verify=None):
    """The page for a merged run report. `devices` maps device ids to their
    preset records; `verify`, when given, is the comparison of two runs."""
    compared = {entry["device_id"]: entry for entry in (verify or {}).get("devices", [])}
    cards = "\n".join(card(r, devices.get(r["device_id"]), compared.get(r["device_id"])) for r in report["results"])
    counts = (f"{report['exact']} exact, {report['off_size']} off-size, {report['failed']} failed"
              f" in {report['elapsed_ms'] / 1000:.1f} s")
    settings = settings_text(report)
    if verify is not None:
        differ = len(verify["differ"])
        counts += f"; second run: {differ} of {len(verify['devices'])} differ" if differ \
            else f"; second run: all {len(verify['devices'])} identical"
    return f"""<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kestrelite: {esc(report['url'])}</title>
<style>{STYLE}</style>
</head>
<body data-run="{'ok' if report['ok'] else 'not-ok'}">
<header id="status">
<h1>{esc(report['url'])}</h1>
<p id="outcome">{esc(outcome_text(report, verify))}</p>
<p>{esc(counts)} &middot; {settings}</p>
<p id="images">checking screenshots&hellip;</p>
</header>
<main>
{cards}
</main>
<script>{SCRIPT}</script>
</body>
</html>
"""
