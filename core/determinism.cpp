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
  s.reserve(5200);
  s += "(() => {\n";
  s += "  let s = " + std::to_string(d.seed) + " >>> 0;\n";
  s += "  Math.random = function () {\n"
       "    s |= 0; s = (s + 0x6D2B79F5) | 0;\n"
       "    let t = Math.imul(s ^ (s >>> 15), 1 | s);\n"
       "    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;\n"
       "    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;\n"
       "  };\n";
  s += "  const T0 = " + std::to_string(d.epoch_ms) + ";\n";
  s += "  const FRAME = " + shortest_decimal(d.frame_ms) + ";\n";
  s += "  const BUDGET = " + std::to_string(d.budget_ms) + ";\n";
  s += "  const FRAMES = " + std::to_string(d.frame_budget) + ";\n";
  // One virtual clock drives everything the page can time itself by, so
  // that what it shows is a function of the page alone, not of the
  // machine's speed. It stands still while the document loads because the
  // network's timing is the one input a page script cannot pin; BUDGET
  // bounds how far endless motion gets, and FRAMES what running it costs:
  // a frame loop redrawing a large canvas costs milliseconds per frame.
  s += "\n"
       "  // Virtual time: `now` counts milliseconds from the start of the document.\n"
       "  // Date, performance.now, timers and animation frames all follow it; the\n"
       "  // timers and frames run one per task, in order of virtual time, without\n"
       "  // waiting in between. Time moves only while no gate is closed (the load\n"
       "  // of the document, a pending window.kestreliteReady promise), never\n"
       "  // beyond BUDGET, and not at all once the capture holds the clock; the\n"
       "  // document gets no more than FRAMES animation frames.\n"
       "  let now = 0;\n"
       "  const wall = () => Math.floor(T0 + now);\n"
       "  const RealDate = Date;\n"
       "  function VirtualDate(...a) {\n"
       "    if (!(this instanceof VirtualDate)) return new RealDate(wall()).toString();\n"
       "    return a.length ? new RealDate(...a) : new RealDate(wall());\n"
       "  }\n"
       "  VirtualDate.prototype = RealDate.prototype;\n"
       "  VirtualDate.now = wall;\n"
       "  VirtualDate.parse = RealDate.parse;\n"
       "  VirtualDate.UTC = RealDate.UTC;\n"
       "  Object.defineProperty(VirtualDate, 'name', { value: 'Date' });\n"
       "  window.Date = VirtualDate;\n"
       "  performance.now = () => now;\n"
       "\n"
       "  const realSetTimeout = setTimeout.bind(window);\n"
       "  const timers = new Map();\n"
       "  const frames = new Map();\n"
       "  // The script may first run once the document has loaded, when nothing\n"
       "  // in it needed a script context before.\n"
       "  const gates = new Set(document.readyState === 'complete' ? [] : ['load']);\n"
       "  let ids = 0, frameIds = 0, order = 0, level = 0, frameNo = 0, served = 0;\n"
       "  let held = false, posted = false;\n"
       "  const report = (e) => { if (window.reportError) reportError(e); else console.error(e); };\n"
       "  const pump = new MessageChannel();\n"
       "  const wake = () => { if (!posted && !held) { posted = true; pump.port2.postMessage(0); } };\n"
       "  // The earliest pending timer, or the next frame if callbacks wait for\n"
       "  // one and it comes first. Frames fall on whole multiples of FRAME.\n"
       "  const next = () => {\n"
       "    let first = null;\n"
       "    for (const t of timers.values()) {\n"
       "      if (!first || t.due < first.due || (t.due === first.due && t.order < first.order)) first = t;\n"
       "    }\n"
       "    if (frames.size && served < FRAMES) {\n"
       "      let k = Math.max(frameNo + 1, Math.ceil(now / FRAME));\n"
       "      if (k * FRAME < now) k += 1;\n"
       "      if (!first || k * FRAME < first.due) return { frame: k, due: k * FRAME };\n"
       "    }\n"
       "    return first;\n"
       "  };\n"
       "  pump.port1.onmessage = () => {\n"
       "    posted = false;\n"
       "    const t = held ? null : next();\n"
       "    if (!t || (t.due > now && (gates.size || t.due > BUDGET))) return;\n"
       "    if (t.due > now) now = t.due;\n"
       "    wake();\n"
       "    if (t.frame) {\n"
       "      frameNo = t.frame;\n"
       "      served += 1;\n"
       "      const due = Array.from(frames.values());\n"
       "      frames.clear();\n"
       "      for (const cb of due) { try { cb(now); } catch (e) { report(e); } }\n"
       "      return;\n"
       "    }\n"
       "    if (t.every < 0) timers.delete(t.id);\n"
       "    else { t.due = now + (t.level > 5 && t.every < 4 ? 4 : t.every); t.order = order++; t.level += 1; }\n"
       "    level = t.level;\n"
       "    try { t.fn.apply(window, t.args); } catch (e) { report(e); } finally { level = 0; }\n"
       "  };\n"
       "  // Delays convert and clamp as in browsers: a 32-bit integer, at least\n"
       "  // 0, and at least 4 once timers have nested more than five deep.\n"
       "  const add = (fn, delay, args, repeat) => {\n"
       "    let ms = delay | 0;\n"
       "    if (ms < 0) ms = 0;\n"
       "    if (level > 5 && ms < 4) ms = 4;\n"
       "    const id = ++ids;\n"
       "    const call = typeof fn === 'function' ? fn : () => (0, eval)(String(fn));\n"
       "    timers.set(id, { id, due: now + ms, order: order++, fn: call, args, every: repeat ? ms : -1, level: level + 1 });\n"
       "    wake();\n"
       "    return id;\n"
       "  };\n"
       "  window.setTimeout = function setTimeout(fn, delay, ...args) { return add(fn, delay, args, false); };\n"
       "  window.setInterval = function setInterval(fn, delay, ...args) { return add(fn, delay, args, true); };\n"
       "  window.clearTimeout = window.clearInterval = function clearTimeout(id) { timers.delete(id | 0); };\n"
       "  window.requestAnimationFrame = function requestAnimationFrame(cb) {\n"
       "    if (typeof cb !== 'function') throw new TypeError('requestAnimationFrame needs a function');\n"
       "    frames.set(++frameIds, cb);\n"
       "    wake();\n"
       "    return frameIds;\n"
       "  };\n"
       "  window.cancelAnimationFrame = function cancelAnimationFrame(id) { frames.delete(id | 0); };\n"
       "\n"
       "  const open = (gate) => { gates.delete(gate); wake(); };\n"
       "  window.addEventListener('load', () => open('load'), { once: true });\n"
       "  // A page may set window.kestreliteReady to a promise: its clock stands\n"
       "  // still, and the capture waits, until that promise settles.\n"
       "  let ready;\n"
       "  Object.defineProperty(window, 'kestreliteReady', {\n"
       "    configurable: true,\n"
       "    get: () => ready,\n"
       "    set: (p) => {\n"
       "      ready = p;\n"
       "      const gate = {};\n"
       "      gates.add(gate);\n"
       "      Promise.resolve(p).then(() => open(gate), () => open(gate));\n"
       "    },\n"
       "  });\n"
       "  // What the stability script needs: real-time timers, and whether the\n"
       "  // clock still has work before its budget.\n"
       "  Object.defineProperty(window, Symbol.for('kestrelite.clock'), {\n"
       "    value: {\n"
       "      budget: BUDGET,\n"
       "      setTimeout: realSetTimeout,\n"
       "      hold: () => { held = true; },\n"
       "      busy: () => {\n"
       "        if (held) return false;\n"
       "        for (const gate of gates) if (gate !== 'load') return true;\n"
       "        const t = next();\n"
       "        return !!t && t.due <= BUDGET;\n"
       "      },\n"
       "      waiting: () => !held && Array.from(gates).some((gate) => gate !== 'load'),\n"
       "    },\n"
       "  });\n"
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
       "  // Version 4 identifiers from the same seeded bytes.\n"
       "  if (window.crypto && crypto.randomUUID) {\n"
       "    crypto.randomUUID = () => {\n"
       "      const b = crypto.getRandomValues(new Uint8Array(16));\n"
       "      b[6] = (b[6] & 0x0f) | 0x40;\n"
       "      b[8] = (b[8] & 0x3f) | 0x80;\n"
       "      const h = Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('');\n"
       "      return h.slice(0, 8) + '-' + h.slice(8, 12) + '-' + h.slice(12, 16) + '-' + h.slice(16, 20) + '-' + h.slice(20);\n"
       "    };\n"
       "  }\n"
       "  // The host's processor count and memory, the same on every machine.\n"
       "  for (const [name, value] of [['hardwareConcurrency', 8], ['deviceMemory', 8]]) {\n"
       "    try {\n"
       "      Object.defineProperty(Navigator.prototype, name, { configurable: true, enumerable: true, get: () => value });\n"
       "    } catch (e) {}\n"
       "  }\n"
       "})();";
  return s;
}

std::string stability_script(const StabilityOptions& o) {
  auto flag = [](bool b) { return b ? "true" : "false"; };
  std::string s;
  s.reserve(5000);
  // The deadline is a real-time timer armed first, so that the load, font
  // and image waits are bounded by it too; `settled` stops the tick loop
  // once either outcome has been delivered. The page's own setTimeout
  // follows the determinism script's virtual clock, so real time comes
  // from the clock's saved original (the page's setTimeout where that
  // script did not run).
  s += "new Promise((resolve) => {\n"
       "  let settled = false;\n"
       "  const key = Symbol.for('kestrelite.clock');\n"
       "  const clock = window[key];\n"
       "  const later = clock ? clock.setTimeout : setTimeout;\n"
       "  const sleep = (ms) => new Promise((r) => later(r, ms));\n"
       "  const windows = () => {\n"
       "    const found = [];\n"
       "    const visit = (w) => {\n"
       "      try { if (w.document) found.push(w); } catch (e) {}\n"
       "      for (let i = 0; i < w.frames.length; i++) visit(w.frames[i]);\n"
       "    };\n"
       "    visit(window);\n"
       "    return found;\n"
       "  };\n";
  // Before resolving, everything that could still move is stopped, in the
  // document and in every frame it can reach: the page clocks are held.
  // CSS transitions and animations and Web Animations run on the browser's
  // own clock: finite ones are finished (the page shows their end state)
  // and infinite ones paused at their start. SMIL runs on a timeline of
  // its own: it is paused where it would be at the end of the page clock's
  // budget, which is the end of a finite animation. An animated GIF goes
  // on animating on the browser's clock, which nothing reaches, so it is
  // replaced by a canvas with the same style that shows its first frame
  // (what drawing an animated image onto a canvas gives). A playing (or
  // autoplaying) video is paused at its end, or at its start when it
  // loops. A video may not have begun to load yet, and its length may be
  // unknown until the browser has read the whole file (a WebM written live
  // has none in its header): so each one is waited for until its metadata
  // is there and, for its end, its length or the end of its loading (not
  // playing: its frame or the end of its loading); the end is then sought
  // as a time far beyond any length, which the browser takes as the end;
  // and the seek is waited for until the browser reports the new frame
  // presented. All that for a second, or until the deadline if that is
  // later. Even then, on a loaded machine the screenshot may still show
  // the video's previous frame (its frames reach the screen on a path of
  // their own), so a video that shows a frame is replaced, like a GIF, by
  // a canvas holding that frame; one that shows its poster is left alone.
  // The text caret, which blinks on a timer of its own, is made
  // transparent. The browser paints such changes only in a later frame,
  // so the promise waits until a one-millisecond animation of an
  // invisible marker has run (at most a second): by then the frame
  // holding the changes has been rendered.
  s += "  const still = (w, element, width, height) => {\n"
       "    const canvas = w.document.createElement('canvas');\n"
       "    canvas.width = width;\n"
       "    canvas.height = height;\n"
       "    canvas.getContext('2d').drawImage(element, 0, 0, width, height);\n"
       "    const style = w.getComputedStyle(element);\n"
       "    for (const name of style) canvas.style.setProperty(name, style.getPropertyValue(name));\n"
       "    element.replaceWith(canvas);\n"
       "  };\n"
       "  const until = (test) => new Promise((ok) => {\n"
       "    const check = () => test() ? ok() : later(check, 16);\n"
       "    check();\n"
       "  });\n"
       "  const freeze = () => {\n"
       "    const videos = [];\n"
       "    const waits = [];\n"
       "    for (const w of windows()) {\n"
       "      const doc = w.document;\n"
       "      if (w[key]) w[key].hold();\n"
       "      for (const a of doc.getAnimations()) {\n"
       "        try {\n"
       "          const end = a.effect ? a.effect.getComputedTiming().endTime : 0;\n"
       "          if (end === Infinity) { a.pause(); a.currentTime = 0; } else { a.finish(); }\n"
       "        } catch (e) {}\n"
       "      }\n"
       "      for (const svg of doc.querySelectorAll('svg')) {\n"
       "        if (!svg.ownerSVGElement && svg.pauseAnimations) {\n"
       "          svg.pauseAnimations();\n"
       "          svg.setCurrentTime((clock ? clock.budget : 0) / 1000);\n"
       "        }\n"
       "      }\n"
       "      for (const img of Array.from(doc.images)) {\n"
       "        if (img.complete && img.naturalWidth && /^data:image\\/gif|\\.gif([?#]|$)/i.test(img.currentSrc)) {\n"
       "          still(w, img, img.naturalWidth, img.naturalHeight);\n"
       "        }\n"
       "      }\n"
       "      for (const v of doc.querySelectorAll('video')) {\n"
       "        const moving = !v.paused || v.autoplay;\n"
       "        const end = moving && !v.loop;\n"
       "        v.pause();\n"
       "        if (!v.src && !v.srcObject && !v.querySelector('source')) continue;\n"
       "        const gone = () => v.error || v.networkState === 3;\n"
       "        const idle = () => v.networkState === 1;\n"
       "        const known = () => moving ? v.readyState >= 1 && (!end || isFinite(v.duration) || idle())\n"
       "          : v.readyState >= 2 || idle();\n"
       "        videos.push([w, v, moving]);\n"
       "        waits.push(until(() => gone() || known()).then(() => {\n"
       "          if (!moving) return undefined;\n"
       "          let presented = !v.requestVideoFrameCallback;\n"
       "          if (!presented) v.requestVideoFrameCallback(() => { presented = true; });\n"
       "          v.currentTime = end ? 1e9 : 0;\n"
       "          return until(() => gone() || (!v.seeking && presented));\n"
       "        }).then(() => until(() => gone() || v.readyState >= 2 || idle())));\n"
       "      }\n"
       "    }\n"
       "    const caret = document.createElement('style');\n"
       "    caret.textContent = '*, *::before, *::after { caret-color: transparent !important; }';\n"
       "    (document.head || document.documentElement).appendChild(caret);\n"
       "    return Promise.race([Promise.all(waits), Promise.all([sleep(1000), deadline])]).then(() => {\n"
       "      for (const [w, v, moving] of videos) {\n"
       "        if (!v.error && !v.seeking && v.readyState >= 2 && (moving || !v.poster)) still(w, v, v.videoWidth, v.videoHeight);\n"
       "      }\n"
       "      const marker = document.createElement('div');\n"
       "      marker.style.cssText = 'position:fixed;left:0;top:0;width:1px;height:1px;opacity:0;pointer-events:none';\n"
       "      document.documentElement.appendChild(marker);\n"
       "      const painted = marker.animate([{ color: 'black' }, { color: 'white' }], { duration: 1 }).finished;\n"
       "      return Promise.race([painted, sleep(1000)]).then(() => marker.remove());\n"
       "    });\n"
       "  };\n"
       "  const done = (why) => { if (!settled) { settled = true; freeze().then(() => resolve(why)); } };\n";
  // The waits still open at the deadline are left for the capture to read
  // under kestrelite.open. The capture keeps the count of the page's
  // requests in flight under kestrelite.network.
  s += "  const net = Symbol.for('kestrelite.network');\n"
       "  const networkBusy = () => (window[net] | 0) > 0;\n"
       "  // A lazy image outside the viewport is not loaded, so not waited for.\n"
       "  const shown = (i) => {\n"
       "    if (i.loading !== 'lazy' || i.complete) return true;\n"
       "    const r = i.getBoundingClientRect();\n"
       "    return r.bottom >= 0 && r.right >= 0 && r.top <= innerHeight && r.left <= innerWidth;\n"
       "  };\n"
       "  const pending = () => Array.from(document.images || []).filter((i) => !i.complete && shown(i));\n"
       "  let changed = false;\n"
       "  const openWaits = () => {\n"
       "    const open = [];\n"
       "    if (document.readyState !== 'complete') open.push('load');\n"
       "    if (document.fonts && document.fonts.status !== 'loaded') open.push('fonts');\n"
       "    if (pending().length) open.push('images');\n"
       "    if (networkBusy()) open.push('network');\n"
       "    if (changed) open.push('DOM');\n"
       "    if (windows().some((w) => w[key] && w[key].waiting && w[key].waiting())) open.push('ready');\n"
       "    else if (windows().some((w) => w[key] && w[key].busy())) open.push('timers');\n"
       "    return open;\n"
       "  };\n";
  s += "  const deadline = sleep(" + std::to_string(o.timeout_ms) + ");\n"
       "  deadline.then(() => {\n"
       "    if (!settled) window[Symbol.for('kestrelite.open')] = openWaits();\n"
       "    done('timeout');\n"
       "  });\n";
  // Navigation answers once the response headers arrive; the document may
  // still be loading, so the waits below start from its load event.
  s += "  const loaded = document.readyState === 'complete' ? Promise.resolve()\n"
       "    : new Promise((ok) => window.addEventListener('load', () => ok(), { once: true }));\n"
       "  loaded.then(() => {\n";
  s += "  const waits = [];\n";
  s += std::string("  if (") + flag(o.wait_fonts) + " && document.fonts && document.fonts.ready) {\n";
  s += "    waits.push(document.fonts.ready.catch(() => {}));\n"
       "  }\n"
       "  const decoded = (imgs) => Promise.all(imgs.map((i) =>\n"
       "    (i.decode ? i.decode().catch(() => {}) : Promise.resolve())\n"
       "  ));\n";
  s += std::string("  const images = ") + flag(o.wait_images) + ";\n";
  // The page is still while its DOM stays unchanged and no page clock has
  // work left before its budget (canvas drawing and timer gaps change no
  // DOM); images that timers brought in are waited for before it counts.
  s += "  if (images) {\n"
       "    waits.push(decoded(Array.from(document.images || []).filter(shown)));\n"
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
       "      changed = dirty;\n"
       "      if (dirty || networkBusy() || windows().some((w) => w[key] && w[key].busy())) { dirty = false; quiet = 0; } else { quiet++; }\n";
  s += "      if (quiet >= " + std::to_string(std::max<std::uint32_t>(o.quiet_ticks, 1)) + ") {\n";
  s += "        const loading = images ? pending() : [];\n"
       "        if (!loading.length) { obs.disconnect(); return done('quiet'); }\n"
       "        quiet = 0;\n"
       "        return decoded(loading).then(tick);\n"
       "      }\n"
       "      later(tick, 16);\n"
       "    };\n"
       "    tick();\n"
       "  });\n"
       "  });\n"
       "})";
  return s;
}

}  // namespace kestrelite
