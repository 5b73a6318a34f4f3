"""The contact sheet of a run: one self-contained HTML page, index.html beside
the images, that shows every screenshot of the run scaled into a grid, so a
person can check a whole store set at a glance.

A capture run's cards form one grid; a set's are grouped by locale, then
screen, with two menus that show one locale or one kind of device at a time.
Images are linked relative to the page. Its status bar says whether the run
was ok and why not, and what made the bytes (seed, locale, time zone,
browser, kestrelite's version). It is red when the run was not ok and also
when a screenshot cannot be shown: a small script marks every image that
does not decode (for instance when the PNG files were not copied along with
the page). It turns green only when the run was ok and every screenshot is
shown.
"""

import html
from urllib.parse import quote

from .plan import key_of
from .report import image_link, missing_glyphs, outcome_text, settle_flag

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
#status code { color: inherit; }
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
nav { display: flex; gap: 16px; padding: 12px 24px; background: #fff; border-bottom: 1px solid #ddd;
  position: sticky; top: 0; z-index: 1; }
section > h2 { margin: 24px 24px 0; font-size: 20px; }
section section > h3 { margin: 16px 24px 0; font-size: 16px; color: #5f6368; }
[hidden] { display: none !important; }
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

FILTER_SCRIPT = """
const pick = { locale: "", kind: "" };
function apply() {
  for (const fig of document.querySelectorAll("figure[data-kind]"))
    fig.hidden = (pick.kind && fig.dataset.kind !== pick.kind) || (pick.locale && fig.dataset.locale !== pick.locale);
  for (const sec of document.querySelectorAll("section"))
    sec.hidden = !sec.querySelector("figure:not([hidden])");
}
for (const name of ["locale", "kind"])
  document.getElementById(name).addEventListener("change", (e) => { pick[name] = e.target.value; apply(); });
"""

KINDS = {"ios_phone": "iPhone", "ios_tablet": "iPad", "ios_watch": "Apple Watch", "macos": "Mac",
         "android_phone": "Android phone", "android_tablet": "Android tablet", "tv": "TV", "web": "web"}


def esc(value):
    return html.escape(str(value), quote=True)


def size_text(pair):
    return f"{pair[0]}x{pair[1]}"


def device_kind(device):
    if device is None:
        return "unknown"
    if device.get("requirement") == "required_vision":
        return "Vision Pro"
    return KINDS.get(device.get("platform"), device.get("platform", "unknown"))


def card(report, item, device, differs, attributes=""):
    """One figure: the scaled screenshot, or a placeholder for a failed
    capture, and its caption."""
    outcome = item["outcome"]
    shot = item.get("capture")
    label = device["label"] if device else item["device_id"]
    if shot:
        source = esc(quote(image_link(report, item)))
        picture = f'<a class="shot" href="{source}"><img src="{source}" alt="{esc(label)}"></a>'
        size = size_text(shot["actual"])
        if not shot["exact"]:
            size += f" (expected {size_text(shot['expected'])})"
    else:
        picture = '<div class="shot"><span class="none">no image</span></div>'
        size = size_text([device["output_width"], device["output_height"]]) if device else ""
    lines = [
        f"<b>{esc(label)}</b>",
        f"<code>{esc(item['device_id'])}</code>",
        f"<span>{esc(size)} &middot; <span class=\"outcome\">{esc(outcome)}</span>"
        f" &middot; {esc(item['elapsed_ms'])} ms</span>",
    ]
    if shot:
        lines.append(f"<code title=\"{esc(shot['sha256'])}\">sha256 {esc(shot['sha256'][:16])}</code>")
    flag = settle_flag(shot)
    if flag:
        lines.append(f'<span class="settle" title="the page was not still when the settle wait ended">'
                     f'settled at {esc(flag)}</span>')
    if differs:
        lines.append('<span class="differs">differs on the second run</span>')
    listed, count = missing_glyphs(item)
    if count:
        more = f" and {count - len(listed)} more" if count > len(listed) else ""
        lines.append(f'<p class="error">no font draws {esc(" ".join(listed))}{more}: they show as empty boxes</p>')
    if "error" in item:
        lines.append(f'<p class="error">{esc(item["error"])}</p>')
    caption = "\n    ".join(lines)
    return (f'<figure class="{esc(outcome)}"{attributes}>\n  {picture}\n'
            f"  <figcaption>\n    {caption}\n  </figcaption>\n</figure>")


def settings_text(report):
    m = report.members
    parts = [f"seed {m.get('seed')}"]
    if report.kind == "capture":
        parts.append(f"locale {m.get('locale')}")
    if m.get("appearance") or m.get("appearances"):
        parts.append(f"appearance {m.get('appearance') or ', '.join(m['appearances'])}")
    if m.get("reduced_motion"):
        parts.append("reduced motion")
    if m.get("fast_png"):
        parts.append("fast PNG encoding")
    parts.append(f"time zone {m.get('timezone')}")
    browser = m.get("browser")
    if browser:
        parts.append(f"{browser.get('version', 'browser of unknown version')} ({browser['executable']})")
    parts.append(f"kestrelite {m.get('kestrelite')}")
    return " &middot; ".join(esc(part) for part in parts)


def header_lines(report):
    """The status bar's lines below the outcome, as HTML."""
    noun = "devices" if report.kind == "capture" else "captures"
    counts = (f"{len(report.entries)} {noun}: {report.count('exact')} exact, {report.count('off-size')} off-size, "
              f"{report.count('failed')} failed in {report.elapsed_ms / 1000:.1f} s")
    verify = report.verify
    if verify is not None:
        pairs = verify["devices" if report.kind == "capture" else "captures"]
        counts += (f"; second run: {len(verify['differ'])} of {len(pairs)} differ" if verify["differ"]
                   else f"; second run: all {len(pairs)} identical")
    if report.kind == "capture":
        return [f"{esc(counts)} &middot; {settings_text(report)}"]
    m = report.members
    lines = [f"{esc(counts)} &middot; {esc(m.get('layout'))} layout", settings_text(report),
             f"set digest <code>{esc(str(m.get('set_digest'))[:16])}</code>"]
    lines += [esc(line) for line in (report.check or {}).get("errors", [])]
    if m.get("missing"):
        lines.append(f"not captured by any shard: {esc(', '.join(m['missing']))}")
    lines += [esc(note) for note in m.get("notes", [])]
    return lines


def options(element_id, label, values):
    items = "".join(f'<option value="{esc(v)}">{esc(v)}</option>' for v in values)
    return f'<label>{esc(label)} <select id="{element_id}"><option value="">all</option>{items}</select></label>'


def body(report, devices, differing):
    """The cards: one grid for a capture run, grouped by locale and screen
    for a set, with its menus."""
    if report.kind == "capture":
        cards = "\n".join(card(report, e, devices.get(e["device_id"]), key_of("capture", e) in differing)
                          for e in report.entries)
        return f"<main>\n{cards}\n</main>", ""
    groups = {}
    for item in report.entries:
        heading = item["screen"] + (f" \u00b7 {item['appearance']}" if "appearance" in item else "")
        groups.setdefault(item["locale"], {}).setdefault(heading, []).append(item)
    sections = []
    for locale, screens in groups.items():
        parts = []
        for heading, items in screens.items():
            cards = [card(report, e, devices.get(e["device_id"]), key_of("set", e) in differing,
                          f' data-locale="{esc(locale)}" data-kind="{esc(device_kind(devices.get(e["device_id"])))}"')
                     for e in items]
            parts.append(f'<section><h3>{esc(heading)}</h3>\n<main>\n' + "\n".join(cards) + "\n</main></section>")
        sections.append(f'<section><h2>{esc(locale)}</h2>\n' + "\n".join(parts) + "\n</section>")
    kinds = sorted({device_kind(devices.get(e["device_id"])) for e in report.entries})
    nav = f'<nav>{options("locale", "Locale", list(groups))} {options("kind", "Device", kinds)}</nav>\n'
    return nav + "".join(sections), FILTER_SCRIPT


def render(report, devices=None):
    """The page for a report. `devices` maps device ids to their preset
    records (a set's report names its own)."""
    devices = devices if devices is not None else report.members.get("devices", {})
    differing = {key_of(report.kind, p) for p in
                 (report.verify or {}).get("devices" if report.kind == "capture" else "captures", [])
                 if not p["identical"]}
    title = report.members.get("url") if report.kind == "capture" else f"set {report.members.get('set_file')}"
    heading = report.members.get("url") if report.kind == "capture" else report.members.get("set_file")
    cards, script = body(report, devices, differing)
    header = "\n".join(f"<p>{line}</p>" for line in header_lines(report))
    return f"""<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kestrelite: {esc(title)}</title>
<style>{STYLE}</style>
</head>
<body data-run="{'ok' if report.ok else 'not-ok'}">
<header id="status">
<h1>{esc(heading)}</h1>
<p id="outcome">{esc(outcome_text(report))}</p>
{header}
<p id="images">checking screenshots&hellip;</p>
</header>
{cards}
<script>{SCRIPT}{script}</script>
</body>
</html>
"""
