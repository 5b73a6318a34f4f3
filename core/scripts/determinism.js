// The determinism script: installed before navigation, it runs ahead of the
// page's own scripts in every document and pins what the page could tell
// apart from run to run.
//
// One virtual clock drives everything the page can time itself by, so that
// what it shows is a function of the page alone, not of the machine's
// speed. It stands still while the document loads because the network's
// timing is the one input a page script cannot pin; BUDGET bounds how far
// endless motion gets, and FRAMES what running it costs: a frame loop
// redrawing a large canvas costs milliseconds per frame.
//
// This header (the comment lines at the top of the file) is left out of the
// text sent to the page. The capture replaces __SEED__, __EPOCH_MS__,
// __FRAME_MS__, __BUDGET_MS__ and __FRAME_BUDGET__ with its settings.
(() => {
  let s = __SEED__ >>> 0;
  Math.random = function () {
    s |= 0; s = (s + 0x6D2B79F5) | 0;
    let t = Math.imul(s ^ (s >>> 15), 1 | s);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  const T0 = __EPOCH_MS__;
  const FRAME = __FRAME_MS__;
  const BUDGET = __BUDGET_MS__;
  const FRAMES = __FRAME_BUDGET__;

  // Virtual time: `now` counts milliseconds from the start of the document.
  // Date, performance.now, timers and animation frames all follow it; the
  // timers and frames run one per task, in order of virtual time, without
  // waiting in between. Time moves only while no gate is closed (the load
  // of the document, a pending window.kestreliteReady promise), never
  // beyond `limit` (BUDGET), and not at all while the capture holds the
  // clock; the document gets no more than `frameLimit` (FRAMES) animation
  // frames. A step of the capture releases the clock for BUDGET and FRAMES
  // more, counted from where it stands.
  let now = 0;
  const wall = () => Math.floor(T0 + now);
  const RealDate = Date;
  function VirtualDate(...a) {
    if (!(this instanceof VirtualDate)) return new RealDate(wall()).toString();
    return a.length ? new RealDate(...a) : new RealDate(wall());
  }
  VirtualDate.prototype = RealDate.prototype;
  VirtualDate.now = wall;
  VirtualDate.parse = RealDate.parse;
  VirtualDate.UTC = RealDate.UTC;
  Object.defineProperty(VirtualDate, 'name', { value: 'Date' });
  window.Date = VirtualDate;
  performance.now = () => now;

  const realSetTimeout = setTimeout.bind(window);
  const timers = new Map();
  const frames = new Map();
  // The script may first run once the document has loaded, when nothing
  // in it needed a script context before.
  const gates = new Set(document.readyState === 'complete' ? [] : ['load']);
  let ids = 0, frameIds = 0, order = 0, level = 0, frameNo = 0, served = 0;
  let limit = BUDGET, frameLimit = FRAMES;
  let held = false, posted = false;
  const report = (e) => { if (window.reportError) reportError(e); else console.error(e); };
  const pump = new MessageChannel();
  const wake = () => { if (!posted && !held) { posted = true; pump.port2.postMessage(0); } };
  // The earliest pending timer, or the next frame if callbacks wait for
  // one and it comes first. Frames fall on whole multiples of FRAME.
  const next = () => {
    let first = null;
    for (const t of timers.values()) {
      if (!first || t.due < first.due || (t.due === first.due && t.order < first.order)) first = t;
    }
    if (frames.size && served < frameLimit) {
      let k = Math.max(frameNo + 1, Math.ceil(now / FRAME));
      if (k * FRAME < now) k += 1;
      if (!first || k * FRAME < first.due) return { frame: k, due: k * FRAME };
    }
    return first;
  };
  pump.port1.onmessage = () => {
    posted = false;
    const t = held ? null : next();
    if (!t || (t.due > now && (gates.size || t.due > limit))) return;
    if (t.due > now) now = t.due;
    wake();
    if (t.frame) {
      frameNo = t.frame;
      served += 1;
      const due = Array.from(frames.values());
      frames.clear();
      for (const cb of due) { try { cb(now); } catch (e) { report(e); } }
      return;
    }
    if (t.every < 0) timers.delete(t.id);
    else { t.due = now + (t.level > 5 && t.every < 4 ? 4 : t.every); t.order = order++; t.level += 1; }
    level = t.level;
    try { t.fn.apply(window, t.args); } catch (e) { report(e); } finally { level = 0; }
  };
  // Delays convert and clamp as in browsers: a 32-bit integer, at least
  // 0, and at least 4 once timers have nested more than five deep.
  const add = (fn, delay, args, repeat) => {
    let ms = delay | 0;
    if (ms < 0) ms = 0;
    if (level > 5 && ms < 4) ms = 4;
    const id = ++ids;
    const call = typeof fn === 'function' ? fn : () => (0, eval)(String(fn));
    timers.set(id, { id, due: now + ms, order: order++, fn: call, args, every: repeat ? ms : -1, level: level + 1 });
    wake();
    return id;
  };
  window.setTimeout = function setTimeout(fn, delay, ...args) { return add(fn, delay, args, false); };
  window.setInterval = function setInterval(fn, delay, ...args) { return add(fn, delay, args, true); };
  window.clearTimeout = window.clearInterval = function clearTimeout(id) { timers.delete(id | 0); };
  window.requestAnimationFrame = function requestAnimationFrame(cb) {
    if (typeof cb !== 'function') throw new TypeError('requestAnimationFrame needs a function');
    frames.set(++frameIds, cb);
    wake();
    return frameIds;
  };
  window.cancelAnimationFrame = function cancelAnimationFrame(id) { frames.delete(id | 0); };

  const open = (gate) => { gates.delete(gate); wake(); };
  window.addEventListener('load', () => open('load'), { once: true });
  // A page may set window.kestreliteReady to a promise: its clock stands
  // still, and the capture waits, until that promise settles.
  let ready;
  Object.defineProperty(window, 'kestreliteReady', {
    configurable: true,
    get: () => ready,
    set: (p) => {
      ready = p;
      const gate = {};
      gates.add(gate);
      Promise.resolve(p).then(() => open(gate), () => open(gate));
    },
  });
  // What the stability script needs: real-time timers, and whether the
  // clock still has work before its budget.
  Object.defineProperty(window, Symbol.for('kestrelite.clock'), {
    value: {
      get budget() { return limit; },
      setTimeout: realSetTimeout,
      hold: () => { held = true; },
      release: () => { held = false; limit = now + BUDGET; frameLimit = served + FRAMES; wake(); },
      busy: () => {
        if (held) return false;
        for (const gate of gates) if (gate !== 'load') return true;
        const t = next();
        return !!t && t.due <= limit;
      },
      waiting: () => !held && Array.from(gates).some((gate) => gate !== 'load'),
    },
  });

  // crypto.getRandomValues is a second entropy source that would otherwise
  // leak nondeterminism into anything generating ids.
  if (window.crypto && crypto.getRandomValues) {
    crypto.getRandomValues = (arr) => {
      for (let i = 0; i < arr.length; i++) {
        arr[i] = Math.floor(Math.random() * 256);
      }
      return arr;
    };
  }
  // Version 4 identifiers from the same seeded bytes.
  if (window.crypto && crypto.randomUUID) {
    crypto.randomUUID = () => {
      const b = crypto.getRandomValues(new Uint8Array(16));
      b[6] = (b[6] & 0x0f) | 0x40;
      b[8] = (b[8] & 0x3f) | 0x80;
      const h = Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('');
      return h.slice(0, 8) + '-' + h.slice(8, 12) + '-' + h.slice(12, 16) + '-' + h.slice(16, 20) + '-' + h.slice(20);
    };
  }
  // The host's processor count and memory, the same on every machine.
  for (const [name, value] of [['hardwareConcurrency', 8], ['deviceMemory', 8]]) {
    try {
      Object.defineProperty(Navigator.prototype, name, { configurable: true, enumerable: true, get: () => value });
    } catch (e) {}
  }
})();
