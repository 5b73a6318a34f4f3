#include "determinism.hpp"

#include <algorithm>
#include <charconv>

namespace kestrelite {

std::string shortest_decimal(double value) {
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, end);
}

std::string determinism_script(const Determinism& d) {
  std::string s;
  s.reserve(1600);
  s += "(() => {\n";
  s += "  let s = " + std::to_string(d.seed) + " >>> 0;\n";
  s += "  Math.random = function () {\n"
       "    s |= 0; s = (s + 0x6D2B79F5) | 0;\n"
       "    let t = Math.imul(s ^ (s >>> 15), 1 | s);\n"
       "    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;\n"
       "    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;\n"
       "  };\n";
  s += "  const T0 = " + std::to_string(d.epoch_ms) + ";\n";
  s += "  const RealDate = Date;\n"
       "  function FrozenDate(...a) {\n"
       "    if (!(this instanceof FrozenDate)) return new RealDate(T0).toString();\n"
       "    return a.length ? new RealDate(...a) : new RealDate(T0);\n"
       "  }\n"
       "  FrozenDate.prototype = RealDate.prototype;\n"
       "  FrozenDate.now = () => T0;\n"
       "  FrozenDate.parse = RealDate.parse;\n"
       "  FrozenDate.UTC = RealDate.UTC;\n"
       "  Object.defineProperty(FrozenDate, 'name', { value: 'Date' });\n"
       "  window.Date = FrozenDate;\n"
       "\n"
       "  let perf = 0;\n"
       "  performance.now = () => perf;\n"
       "\n";
  s += "  const FRAME = " + shortest_decimal(d.frame_ms) + ";\n";
  s += "  window.requestAnimationFrame = (cb) => {\n"
       "    perf += FRAME;\n"
       "    const t = perf;\n"
       "    return setTimeout(() => cb(t), 0);\n"
       "  };\n"
       "  window.cancelAnimationFrame = (h) => clearTimeout(h);\n"
       "\n"
       "  // crypto.getRandomValues is a second entropy source that would otherwise\n"
       "  // leak nondeterminism into anything generating ids.\n"
       "  if (window.crypto && crypto.getRandomValues) {\n"
       "    crypto.getRandomValues = (arr) => {\n"
       "      for (let i = 0; i < arr.length; i++) {\n"
       "        arr[i] = Math.floor(Math.random() * 256);\n"
       "      }\n"
       "      return arr;\n"
       "    };\n"
       "  }\n"
       "})();";
  return s;
}

std::string stability_script(const StabilityOptions& o) {
  auto flag = [](bool b) { return b ? "true" : "false"; };
  std::string s;
  s.reserve(1400);
  // The deadline is a real-time timer armed first, so that the load, font
  // and image waits are bounded by it too; `settled` stops the tick loop
  // once either outcome has been delivered.
  s += "new Promise((resolve) => {\n"
       "  let settled = false;\n";
  // CSS transitions and animations and Web Animations run on the browser's
  // own clock, which no page script controls: before resolving, finite
  // ones are finished (the page shows their end state) and infinite ones
  // paused at their start, and the text caret, which blinks on a timer of
  // its own, is made transparent. The browser paints such changes only in
  // a later frame, so the promise waits until a one-millisecond animation
  // of an invisible marker has run (at most a second): by then the frame
  // holding the changes has been rendered.
  s += "  const freeze = () => {\n"
       "    for (const a of document.getAnimations()) {\n"
       "      try {\n"
       "        const end = a.effect ? a.effect.getComputedTiming().endTime : 0;\n"
       "        if (end === Infinity) { a.pause(); a.currentTime = 0; } else { a.finish(); }\n"
       "      } catch (e) {}\n"
       "    }\n"
       "    const caret = document.createElement('style');\n"
       "    caret.textContent = '*, *::before, *::after { caret-color: transparent !important; }';\n"
       "    (document.head || document.documentElement).appendChild(caret);\n"
       "    const marker = document.createElement('div');\n"
       "    marker.style.cssText = 'position:fixed;left:0;top:0;width:1px;height:1px;opacity:0;pointer-events:none';\n"
       "    document.documentElement.appendChild(marker);\n"
       "    const painted = marker.animate([{ color: 'black' }, { color: 'white' }], { duration: 1 }).finished;\n"
       "    return Promise.race([painted, new Promise((r) => setTimeout(r, 1000))]).then(() => marker.remove());\n"
       "  };\n"
       "  const done = (why) => { if (!settled) { settled = true; freeze().then(() => resolve(why)); } };\n";
  s += "  setTimeout(() => done('timeout'), " + std::to_string(o.timeout_ms) + ");\n";
  // Navigation answers once the response headers arrive; the document may
  // still be loading, so the waits below start from its load event.
  s += "  const loaded = document.readyState === 'complete' ? Promise.resolve()\n"
       "    : new Promise((ok) => window.addEventListener('load', () => ok(), { once: true }));\n"
       "  loaded.then(() => {\n";
  s += "  const waits = [];\n";
  s += std::string("  if (") + flag(o.wait_fonts) + " && document.fonts && document.fonts.ready) {\n";
  s += "    waits.push(document.fonts.ready.catch(() => {}));\n"
       "  }\n";
  s += std::string("  if (") + flag(o.wait_images) + ") {\n";
  s += "    const imgs = Array.from(document.images || []);\n"
       "    waits.push(Promise.all(imgs.map((i) =>\n"
       "      (i.decode ? i.decode().catch(() => {}) : Promise.resolve())\n"
       "    )));\n"
       "  }\n"
       "  Promise.all(waits).then(() => {\n"
       "    let quiet = 0;\n"
       "    let dirty = false;\n"
       "    const obs = new MutationObserver(() => { dirty = true; });\n"
       "    obs.observe(document.documentElement, {\n"
       "      subtree: true, childList: true, attributes: true, characterData: true\n"
       "    });\n"
       "    const tick = () => {\n"
       "      if (settled) { obs.disconnect(); return; }\n"
       "      if (dirty) { dirty = false; quiet = 0; } else { quiet++; }\n";
  s += "      if (quiet >= " + std::to_string(std::max<std::uint32_t>(o.quiet_ticks, 1)) +
       ") { obs.disconnect(); return done('quiet'); }\n";
  s += "      setTimeout(tick, 16);\n"
       "    };\n"
       "    tick();\n"
       "  });\n"
       "  });\n"
       "})";
  return s;
}

}  // namespace kestrelite
