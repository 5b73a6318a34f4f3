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
  // The page's own loads, counted in the page as they start. The browser's
  // report of a request reaches the page only after a round trip through
  // the capture, which on a loaded machine takes longer than the quiet
  // ticks, and it says a request has ended before the page has done
  // anything with the reply. A load ends here once what the page does with
  // it has run: a promise (a fetch, a body read) in its first reaction, so
  // that the page's own reactions run in the same microtask checkpoint,
  // before any task of the settle wait; a request object, or a script or
  // style sheet element, after the handlers of its last event.
  let loads = 0;
  const promiseThen = Promise.prototype.then;
  const track = (p) => {
    if (!(p instanceof Promise)) return p;
    loads += 1;
    let pending = true;
    const end = () => { if (pending) { pending = false; loads -= 1; } };
    promiseThen.call(p, end, end);
    return p;
  };
  const wrap = (proto, name, make) => {
    const d = proto && Object.getOwnPropertyDescriptor(proto, name);
    if (d && typeof d.value === 'function') proto[name] = make(d.value);
  };
  if (typeof window.fetch === 'function') {
    const realFetch = window.fetch;
    window.fetch = { fetch(...a) { return track(realFetch.apply(this, a)); } }.fetch;
  }
  if (window.Response) {
    for (const name of ['arrayBuffer', 'blob', 'bytes', 'formData', 'json', 'text']) {
      wrap(Response.prototype, name, (real) => ({ [name](...a) { return track(real.apply(this, a)); } })[name]);
    }
    // Reads of a response's body stream, while the page reads it itself.
    const bodies = new WeakSet();
    const readers = new WeakSet();
    const body = Object.getOwnPropertyDescriptor(Response.prototype, 'body');
    if (body && body.get && window.ReadableStream && window.ReadableStreamDefaultReader) {
      const get = Object.getOwnPropertyDescriptor({ get body() {
        const b = body.get.call(this);
        if (b) bodies.add(b);
        return b;
      } }, 'body').get;
      Object.defineProperty(Response.prototype, 'body', { ...body, get });
      wrap(ReadableStream.prototype, 'getReader', (real) => ({ getReader(...a) {
        const r = real.apply(this, a);
        if (bodies.has(this)) readers.add(r);
        return r;
      } }).getReader);
      wrap(ReadableStreamDefaultReader.prototype, 'read', (real) => ({ read(...a) {
        const p = real.apply(this, a);
        return readers.has(this) ? track(p) : p;
      } }).read);
    }
  }
  if (window.XMLHttpRequest) {
    const sent = new WeakSet();
    const settle = (x) => { if (sent.delete(x)) loads -= 1; };
    // Registered when the request is sent, so after the page's own
    // handlers of the same event in the usual order of a page.
    const ended = function () { settle(this); };
    const X = XMLHttpRequest.prototype;
    // open() ends a request in flight without any event.
    wrap(X, 'open', (real) => ({ open(...a) { settle(this); return real.apply(this, a); } }).open);
    wrap(X, 'send', (real) => ({ send(...a) {
      const fresh = !sent.has(this);
      if (fresh) { sent.add(this); loads += 1; this.addEventListener('loadend', ended); }
      try { return real.apply(this, a); } catch (e) { if (fresh) settle(this); throw e; }
    } }).send);
  }
  // Script and style sheet elements the page's scripts make and insert:
  // they load once connected, and say so with a load or error event. Only
  // elements made by createElement, which have not run yet (a script from
  // markup set by innerHTML never runs), of a kind that loads.
  const made = new WeakSet();
  let making = false;
  const loading = new Set();
  for (const name of ['createElement', 'createElementNS']) {
    wrap(Document.prototype, name, (real) => ({ [name](...a) {
      const e = real.apply(this, a);
      if (e instanceof HTMLScriptElement || e instanceof HTMLLinkElement) { made.add(e); making = true; }
      return e;
    } })[name]);
  }
  const scriptTypes = /^(|module|(text|application)\/(x-)?(java|ecma)script|text\/javascript1\.[0-5]|text\/(jscript|livescript))$/i;
  const fetches = (e) => {
    if (e instanceof HTMLScriptElement) {
      const type = e.hasAttribute('type') ? e.getAttribute('type')
        : e.getAttribute('language') ? 'text/' + e.getAttribute('language') : '';
      return e.hasAttribute('src') && !e.noModule && scriptTypes.test(type.trim());
    }
    return e.relList.contains('stylesheet') && !e.relList.contains('alternate') && !e.disabled &&
      !!e.getAttribute('href') && /^(|text\/css)$/i.test((e.getAttribute('type') || '').trim());
  };
  const loaded = (ev) => {
    const e = ev.currentTarget;
    e.removeEventListener('load', loaded);
    e.removeEventListener('error', loaded);
    if (loading.delete(e)) loads -= 1;
  };
  const look = (e) => {
    if (!made.has(e) || loading.has(e) || !e.isConnected) return;
    if (!fetches(e)) {
      // A script that ran inline has started for good.
      if (e instanceof HTMLScriptElement && e.text) made.delete(e);
      return;
    }
    if (e instanceof HTMLScriptElement) made.delete(e);
    loading.add(e);
    loads += 1;
    e.addEventListener('load', loaded);
    e.addEventListener('error', loaded);
  };
  // Mutation records arrive in a microtask of the same checkpoint as the
  // insertion, before any task.
  new MutationObserver((records) => {
    if (!making) return;
    for (const r of records) {
      if (r.type === 'attributes') { look(r.target); continue; }
      for (const n of r.addedNodes) {
        if (n.nodeType !== 1) continue;
        look(n);
        for (const e of n.querySelectorAll('script, link')) look(e);
      }
    }
    // A style sheet taken out of the document before it loaded never does.
    for (const e of loading) if (!e.isConnected && e instanceof HTMLLinkElement) loaded({ currentTarget: e });
  }).observe(document, { subtree: true, childList: true, attributes: true, attributeFilter: ['src', 'href', 'rel'] });

  // The capture's binding, through which the settle wait asks it for the
  // requests it knows in flight; kept here, out of the page's sight.
  const barrier = window.kestreliteSettleBarrier;
  if (typeof barrier === 'function') { try { delete window.kestreliteSettleBarrier; } catch (e) {} }
  const questions = new Map();
  let asks = 0;

  // What the stability script needs: real-time timers, whether the clock
  // still has work before its budget, the page's loads, and the question
  // to the capture.
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
      loads: () => loads,
      ask: typeof barrier === 'function' ? (answered) => {
        const id = ++asks;
        questions.set(id, answered);
        barrier(String(id));
      } : null,
      answer: (id, inFlight) => {
        const answered = questions.get(id);
        questions.delete(id);
        if (answered) answered(inFlight);
      },
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
