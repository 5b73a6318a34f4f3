"""The contact sheet of a set run: every capture of the set report grouped by
locale, then screen, with two menus that show one locale or one kind of
device at a time. Self-contained like the capture sheet (contact_sheet.py,
whose cards, style and image check it shares); images are linked by their
path in the run folder.
"""

from .contact_sheet import SCRIPT, STYLE, card, esc

KINDS = {"ios_phone": "iPhone", "ios_tablet": "iPad", "ios_watch": "Apple Watch", "macos": "Mac",
         "android_phone": "Android phone", "android_tablet": "Android tablet", "tv": "TV", "web": "web"}

SET_STYLE = """
nav { display: flex; gap: 16px; padding: 12px 24px; background: #fff; border-bottom: 1px solid #ddd;
  position: sticky; top: 0; z-index: 1; }
section > h2 { margin: 24px 24px 0; font-size: 20px; }
section section > h3 { margin: 16px 24px 0; font-size: 16px; color: #5f6368; }
[hidden] { display: none !important; }
#status code { color: inherit; }
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


def device_kind(device):
    if device is None:
        return "unknown"
    if device.get("requirement") == "required_vision":
        return "Vision Pro"
    return KINDS.get(device.get("platform"), device.get("platform", "unknown"))


def outcome_text(report):
    """"ok", or "NOT OK" and why."""
    if report["ok"]:
        return f"ok: {report['exact']} of {report['exact']} captures exact"
    reasons = [f"{report[key]} {word}" for key, word in (("off_size", "off-size"), ("failed", "failed"))
               if report[key]]
    if report.get("not_started"):
        reasons.append(f"{report['not_started']} not started (fail-fast)")
    if report.get("missing"):
        reasons.append(f"{len(report['missing'])} made by no shard")
    if report.get("verify", {}).get("differ"):
        reasons.append(f"{len(report['verify']['differ'])} changed on the second run")
    if report.get("check", {}).get("errors"):
        reasons.append(f"{len(report['check']['errors'])} store-rule errors")
    return "NOT OK: " + (", ".join(reasons) if reasons else "nothing was captured")


def settings_text(report):
    parts = [f"seed {report.get('seed')}", f"time zone {report.get('timezone')}"]
    browser = report.get("browser")
    if browser:
        parts.append(f"{browser.get('version', 'browser of unknown version')} ({browser['executable']})")
    parts.append(f"kestrelite {report['kestrelite']}")
    return " &middot; ".join(esc(part) for part in parts)


def options(element_id, label, values):
    items = "".join(f'<option value="{esc(v)}">{esc(v)}</option>' for v in values)
    return f'<label>{esc(label)} <select id="{element_id}"><option value="">all</option>{items}</select></label>'


def render_set(report):
    devices = report.get("devices", {})
    compared = {(e["locale"], e["screen"], e["device_id"]): e for e in report.get("verify", {}).get("captures", [])}
    locales, sections = [], []
    by_locale = {}
    for capture in report["captures"]:
        by_locale.setdefault(capture["locale"], {}).setdefault(capture["screen"], []).append(capture)
    for locale, screens in by_locale.items():
        locales.append(locale)
        parts = []
        for screen, captures in screens.items():
            cards = []
            for c in captures:
                device = devices.get(c["device_id"])
                attributes = f' data-locale="{esc(locale)}" data-kind="{esc(device_kind(device))}"'
                cards.append(card(c, device, compared.get((locale, screen, c["device_id"])), c.get("path"), attributes))
            parts.append(f'<section><h3>{esc(screen)}</h3>\n<main>\n' + "\n".join(cards) + "\n</main></section>")
        sections.append(f'<section><h2>{esc(locale)}</h2>\n' + "\n".join(parts) + "\n</section>")
    kinds = sorted({device_kind(devices.get(c["device_id"])) for c in report["captures"]})
    counts = (f"{len(report['captures'])} captures: {report['exact']} exact, {report['off_size']} off-size, "
              f"{report['failed']} failed in {report['elapsed_ms'] / 1000:.1f} s")
    verify = report.get("verify")
    if verify is not None:
        counts += f"; second run: {len(verify['differ'])} of {len(verify['captures'])} differ"
    lines = [f"{esc(counts)} &middot; {esc(report['layout'])} layout", settings_text(report),
             f"set digest <code>{esc(report['set_digest'][:16])}</code>"]
    for line in report.get("check", {}).get("errors", []):
        lines.append(esc(line))
    if report.get("missing"):
        lines.append(f"not captured by any shard: {esc(', '.join(report['missing']))}")
    for note in report.get("notes", []):
        lines.append(esc(note))
    header = "\n".join(f"<p>{line}</p>" for line in lines)
    return f"""<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kestrelite: set {esc(report["set_file"])}</title>
<style>{STYLE}{SET_STYLE}</style>
</head>
<body data-run="{'ok' if report['ok'] else 'not-ok'}">
<header id="status">
<h1>{esc(report['set_file'])}</h1>
<p id="outcome">{esc(outcome_text(report))}</p>
{header}
<p id="images">checking screenshots&hellip;</p>
</header>
<nav>{options("locale", "Locale", locales)} {options("kind", "Device", kinds)}</nav>
{"".join(sections)}
<script>{SCRIPT}{FILTER_SCRIPT}</script>
</body>
</html>
"""
