"""The page of a comparison: one self-contained HTML file beside compare.json
that shows what changed between two runs.

Pairs that need a look come first: changed ones with base, new and the
difference image side by side and a slider between base and new (drag it,
or flip to either side), with the box of the differing pixels outlined;
then failed, added and removed ones, and changes within the threshold. The
pairs that are the same are folded away at the end.

Images are linked relative to the page, so it works when opened from the
file system; nothing is fetched from anywhere else. A small script checks
that every image decoded and says so in the strip at the top: green when
all are shown, red otherwise (for instance when a run folder was moved).
"""

import html
from urllib.parse import quote

OK_COLOUR = "#1b7f3b"
BROKEN_COLOUR = "#b3261e"
CHANGED_COLOUR = "#a15c00"

STYLE = """
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
  color: #1d1d1f; background: #f2f2f5; }
#images { margin: 0; padding: 4px 24px; color: #fff; background: #5f6368; font-size: 12px; }
body[data-images="ok"] #images { background: %(ok)s; }
body[data-images="broken"] #images { background: %(broken)s; }
#status { padding: 14px 24px; color: #fff; background: %(changed)s; }
#status.ok { background: %(ok)s; }
#status h1 { margin: 0 0 4px; font-size: 18px; overflow-wrap: anywhere; }
#status p { margin: 0; }
main { padding: 16px 24px; display: grid; gap: 16px; }
section { background: #fff; border-radius: 10px; padding: 12px 16px;
  box-shadow: 0 1px 3px rgba(0, 0, 0, .15); }
section h2 { margin: 0 0 6px; font-size: 16px; overflow-wrap: anywhere; }
.tag { display: inline-block; margin-left: 8px; padding: 1px 8px; border-radius: 999px; font-size: 12px;
  color: #fff; background: #5f6368; vertical-align: 2px; }
.changed .tag, .failed .tag { background: %(broken)s; }
.added .tag, .removed .tag { background: %(changed)s; }
.figures { margin: 0 0 10px; color: #3c4043; }
.error { margin: 0 0 10px; color: %(broken)s; white-space: pre-wrap; overflow-wrap: anywhere; }
.views { display: flex; flex-wrap: wrap; gap: 16px; align-items: flex-start; }
figure { margin: 0; max-width: 100%%; }
figcaption { margin-bottom: 4px; font-weight: 600; color: #3c4043; display: flex; gap: 8px; align-items: center; }
.frame { position: relative; display: inline-block; max-width: 100%%; vertical-align: top; line-height: 0;
  background: repeating-conic-gradient(#e8e8ec 0 25%%, #f6f6f8 0 50%%) 0 0 / 16px 16px;
  box-shadow: 0 0 0 1px rgba(0, 0, 0, .2); }
.frame img { display: block; max-width: 100%%; max-height: 60vh; }
.views.wide .frame img { max-height: 40vh; }
.box { position: absolute; pointer-events: none; border: 2px solid #e00000; border-radius: 3px;
  box-shadow: 0 0 0 1px #fff, inset 0 0 0 1px #fff; }
.slide .over { position: absolute; top: 0; left: 0; width: 100%%; height: 100%%; max-height: none;
  clip-path: inset(0 0 0 var(--at)); }
.slide .divider { position: absolute; top: 0; bottom: 0; left: var(--at); width: 2px; margin-left: -1px;
  background: #1a73e8; pointer-events: none; }
.slider input { display: block; width: 100%%; margin: 6px 0 0; }
button { font: inherit; font-size: 12px; padding: 1px 10px; border: 1px solid #c4c7c5; border-radius: 999px;
  background: #fff; cursor: pointer; }
details { background: #fff; border-radius: 10px; padding: 12px 16px; box-shadow: 0 1px 3px rgba(0, 0, 0, .15); }
summary { cursor: pointer; font-weight: 600; }
.same-list { display: grid; grid-template-columns: repeat(auto-fill, minmax(160px, 1fr)); gap: 12px;
  margin-top: 12px; }
.same-list a { display: grid; gap: 4px; justify-items: center; color: inherit; text-decoration: none;
  overflow-wrap: anywhere; font-size: 12px; text-align: center; }
.same-list img { max-width: 100%%; max-height: 120px; box-shadow: 0 0 0 1px rgba(0, 0, 0, .2); }
.broken-image { outline: 2px solid %(broken)s; }
h2 button { margin-left: 8px; vertical-align: 2px; }
.review { margin-top: 8px; }
.review button { margin-right: 8px; }
.decided { margin-left: 8px; font-size: 12px; font-weight: 600; }
.approved { color: %(ok)s; }
.rejected { color: %(broken)s; }
""" % {"ok": OK_COLOUR, "broken": BROKEN_COLOUR, "changed": CHANGED_COLOUR}

SCRIPT = """
for (const slider of document.querySelectorAll(".slider")) {
  const frame = slider.querySelector(".slide");
  const range = slider.querySelector("input");
  const show = () => frame.style.setProperty("--at", range.value + "%");
  range.addEventListener("input", show);
  slider.querySelector("button").addEventListener("click", () => {
    range.value = range.value === "100" ? "0" : "100";
    show();
  });
}
addEventListener("load", () => {
  const images = Array.from(document.images);
  const broken = images.filter((img) => !(img.complete && img.naturalWidth > 0));
  for (const img of broken) img.classList.add("broken-image");
  document.body.dataset.images = broken.length ? "broken" : "ok";
  document.getElementById("images").textContent = broken.length
    ? `${broken.length} of ${images.length} images could not be shown`
    : `all ${images.length} images shown`;
});
"""

# The review page's own: its buttons post to the server that serves it.
REVIEW_BAR = ('<p class="review"><button type="button" id="approve-changed">approve all changed</button>'
              '<button type="button" id="done">done</button> <span id="said"></span></p>')
REVIEW_SCRIPT = """
const post = (what, body) => fetch(what, {
  method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body),
}).then((r) => r.json().then((answer) => {
  if (!r.ok) throw new Error(answer.error || r.statusText);
  return answer;
}));
const said = (text) => { document.getElementById("said").textContent = text; };
const decide = (what, body) => post(what, body).then(() => location.reload(), (e) => said(e.message));
for (const button of document.querySelectorAll("button.approve, button.reject")) {
  button.addEventListener("click", () =>
    decide(button.classList.contains("approve") ? "approve" : "reject", {pairs: [button.dataset.pair]}));
}
document.getElementById("approve-changed").addEventListener("click", () => decide("approve", {changed: true}));
document.getElementById("done").addEventListener("click", () =>
  post("done", {}).then(() => said("done: you can close this page"), (e) => said(e.message)));
"""

# Display order of the pairs that are shown open.
ORDER = ("changed", "failed", "added", "removed", "within")


def esc(value):
    return html.escape(str(value), quote=True)


def size_text(size):
    return f"{size[0]}\u00d7{size[1]}" if size else "?"


def share_text(share):
    return f"{share * 100:.2f}%" if share >= 0.0001 else "under 0.01%"


def pair_name(pair):
    """How a pair is named: the device id, after the locale and screen for
    set runs."""
    return "/".join(pair[k] for k in ("locale", "screen", "appearance", "device_id") if k in pair)


def box_overlay(pair):
    """The outline of the differing pixels' box, in percent of the image so
    it scales with it, and a few pixels larger so that a one-pixel box shows."""
    box = pair.get("box")
    if not box:
        return ""
    width, height = pair["new"]["size"]
    left, top = 100 * box["x"] / width, 100 * box["y"] / height
    wide, tall = 100 * box["width"] / width, 100 * box["height"] / height
    return (f'<span class="box" style="left: calc({left:.4f}% - 5px); top: calc({top:.4f}% - 5px); '
            f'width: calc({wide:.4f}% + 10px); height: calc({tall:.4f}% + 10px)"></span>')


def view(caption, path, alt, link, overlay=""):
    link = esc(link(path))
    return (f'<figure><figcaption>{esc(caption)}</figcaption>'
            f'<a class="frame" href="{link}"><img src="{link}" alt="{esc(alt)}">{overlay}</a></figure>')


def slider(pair, link, overlay):
    base, new = esc(link(pair["base"]["path"])), esc(link(pair["new"]["path"]))
    return (f'<figure class="slider"><figcaption>base | new <button type="button">flip</button></figcaption>'
            f'<div class="frame slide" style="--at: 50%"><img src="{base}" alt="base">'
            f'<img class="over" src="{new}" alt="new"><span class="divider"></span>{overlay}</div>'
            f'<input type="range" min="0" max="100" value="50" aria-label="base to new"></figure>')


def figures(pair):
    if pair.get("size_changed"):
        return f"size changed: {size_text(pair['base']['size'])} \u2192 {size_text(pair['new']['size'])}"
    if "differing_pixels" not in pair:
        return ""
    count = pair["differing_pixels"]
    box = pair["box"]
    text = (f"{count:,} {'pixels differ' if count != 1 else 'pixel differs'} ({share_text(pair['differing_share'])}), "
            f"in a {box['width']}\u00d7{box['height']} box at ({box['x']}, {box['y']})")
    left = [f"{pair[key]:,} {name}" for key, name in (("masked_pixels", "masked (hatched blue)"),
                                                      ("antialiased_pixels", "anti-aliased (amber)"))
            if key in pair]
    if left:
        text += "; not counted: " + ", ".join(left)
    if pair["within_threshold"]:
        text += f"; within the threshold ({pair['threshold']})" if "threshold" in pair else "; within the threshold"
    return text


def section(pair, link, review):
    status = pair["status"]
    name = pair_name(pair)
    parts = [f'<h2>{esc(name)}<span class="tag">{esc(status)}</span>{decision(pair, name, review)}</h2>']
    line = figures(pair)
    if line:
        parts.append(f'<p class="figures">{esc(line)}</p>')
    for side in ("base", "new"):
        if "error" in pair.get(side, {}):
            parts.append(f'<p class="error">{side}: {esc(pair[side]["error"])}</p>')
    if "error" in pair:
        parts.append(f'<p class="error">{esc(pair["error"])}</p>')
    views = []
    overlay = box_overlay(pair)
    for side in ("base", "new"):
        if "path" in pair.get(side, {}):
            views.append(view(side, pair[side]["path"], f"{side}: {name}", link, overlay))
    if "difference" in pair:
        views.append(view("difference", pair["difference"], f"difference: {name}", link))
        views.append(slider(pair, link, overlay))
    size = pair.get("new", pair.get("base", {})).get("size")
    wide = ' wide' if size and size[0] > size[1] else ''
    parts.append(f'<div class="views{wide}">{"".join(views)}</div>')
    return f'<section class="pair {esc(status)}" id="{esc(name)}">{"".join(parts)}</section>'


def same_list(pairs, link):
    if not pairs:
        return ""
    items = "".join(
        f'<a href="{esc(link(p["new"]["path"]))}"><img src="{esc(link(p["new"]["path"]))}" '
        f'alt="{esc(pair_name(p))}"><span>{esc(pair_name(p))}</span></a>' for p in pairs)
    told = f"{len(pairs)} captures are" if len(pairs) != 1 else "1 capture is"
    return f'<details id="same"><summary>{told} the same</summary><div class="same-list">{items}</div></details>'


def decision(pair, name, review):
    """The review page's buttons of a pair, or what was decided about it."""
    if review is None or pair["status"] == "same":
        return ""
    if name in review["approved"]:
        return '<span class="decided approved">approved</span>'
    if pair["status"] == "failed" and "error" in pair.get("new", {}):
        return ""
    rejected = '<span class="decided rejected">rejected</span>' if name in review["rejected"] else ""
    return (f'{rejected}<button type="button" class="approve" data-pair="{esc(name)}">approve</button>'
            f'<button type="button" class="reject" data-pair="{esc(name)}">reject</button>')


def group(pair):
    if pair["status"] == "changed" and pair.get("within_threshold"):
        return "within"
    return pair["status"]


def render(record, link=quote, review=None):
    """The page for a comparison record (the content of compare.json).
    `link` makes an image's address from its path in the record; `review`,
    for the page the review server serves, holds the names of the pairs
    "approved" and "rejected" so far, and adds the buttons."""
    shown = sorted((p for p in record["pairs"] if p["status"] != "same"), key=lambda p: ORDER.index(group(p)))
    counts = ", ".join(f"{record[s]} {s}" for s in ("changed", "added", "removed", "failed", "same"))
    verdict = "nothing changed" if record["ok"] and not record["changed"] else (
        "changes within the threshold" if record["ok"] else "changes found")
    title = f"{record['base']} \u2192 {record['new']}"
    threshold = record["threshold"]
    settings = (f"threshold {esc(threshold)}{'' if isinstance(threshold, str) else ' pixels'}"
                f" &middot; anti-aliasing {esc(record.get('antialiasing', 'count'))}"
                f" &middot; {esc(record['kind'])} runs &middot; kestrelite {esc(record['kestrelite'])}")
    sections = "\n".join(section(p, link, review) for p in shown)
    return f"""<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kestrelite compare: {esc(title)}</title>
<style>{STYLE}</style>
</head>
<body>
<p id="images">checking images&hellip;</p>
<header id="status"{' class="ok"' if record["ok"] else ''}>
<h1>{esc(title)}</h1>
<p>{esc(verdict)}: {esc(counts)} &middot; {settings}</p>
{REVIEW_BAR if review is not None else ""}
</header>
<main>
{sections}
{same_list([p for p in record["pairs"] if p["status"] == "same"], link)}
</main>
<script>{SCRIPT}{REVIEW_SCRIPT if review is not None else ""}</script>
</body>
</html>
"""
