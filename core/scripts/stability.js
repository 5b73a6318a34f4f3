// The stability script: evaluated after navigation, its promise resolves to
// 'quiet' once the page is still, or to 'timeout' at the deadline.
//
// The deadline is a real-time timer armed first, so that the load, font
// and image waits are bounded by it too; `settled` stops the tick loop
// once either outcome has been delivered. The page's own setTimeout
// follows the determinism script's virtual clock, so real time comes from
// the clock's saved original (the page's setTimeout where that script did
// not run).
//
// Before resolving, everything that could still move is stopped, in the
// document and in every frame it can reach: the page clocks are held. CSS
// transitions and animations and Web Animations run on the browser's own
// clock: finite ones are finished (the page shows their end state) and
// infinite ones paused at their start. SMIL runs on a timeline of its own:
// it is paused where it would be at the end of the page clock's budget,
// which is the end of a finite animation. An animated GIF goes on animating
// on the browser's clock, which nothing reaches, so it is replaced by a
// canvas with the same style that shows its first frame (what drawing an
// animated image onto a canvas gives). A playing (or autoplaying) video is
// paused at its end, or at its start when it loops. A video may not have
// begun to load yet, and its length may be unknown until the browser has
// read the whole file (a WebM written live has none in its header): so each
// one is waited for until its metadata is there and, for its end, its
// length or the end of its loading (not playing: its frame or the end of
// its loading); the end is then sought as a time far beyond any length,
// which the browser takes as the end; and the seek is waited for until the
// browser reports the new frame presented. All that for a second, or until
// the deadline if that is later. Even then, on a loaded machine the
// screenshot may still show the video's previous frame (its frames reach
// the screen on a path of their own), so a video that shows a frame is
// replaced, like a GIF, by a canvas holding that frame; one that shows its
// poster is left alone. The text caret, which blinks on a timer of its own,
// is made transparent. The browser paints such changes only in a later
// frame, so the promise waits until a one-millisecond animation of an
// invisible marker has run (at most a second): by then the frame holding
// the changes has been rendered.
//
// The waits still open at the deadline are left for the capture to read
// under kestrelite.open. The capture keeps the count of the page's requests
// in flight under kestrelite.network; it learns of a request a round trip
// after the page started it, so the page's own count of its loads (the
// determinism script's) counts too, and before the page counts as quiet the
// capture is asked, from the first quiet tick, for the requests it knows in
// flight: the browser sends a page's events in order, so the answer counts
// every request started before the question. Waiting for the answer stops
// the ticks; the tick after it checks everything again. Without the
// capture's binding there is no question. Navigation answers once the response
// headers arrive; the document may still be loading, so the waits start
// from its load event. The page is still while its DOM stays unchanged and
// no page clock has work left before its budget (canvas drawing and timer
// gaps change no DOM); images that timers brought in are waited for before
// it counts.
//
// This header (the comment lines at the top of the file) is left out of the
// text sent to the page. The capture replaces __TIMEOUT_MS__,
// __QUIET_TICKS__, __WAIT_FONTS__ and __WAIT_IMAGES__ with its settings.
new Promise((resolve) => {
  let settled = false;
  const key = Symbol.for('kestrelite.clock');
  const clock = window[key];
  const later = clock ? clock.setTimeout : setTimeout;
  const sleep = (ms) => new Promise((r) => later(r, ms));
  const windows = () => {
    const found = [];
    const visit = (w) => {
      try { if (w.document) found.push(w); } catch (e) {}
      for (let i = 0; i < w.frames.length; i++) visit(w.frames[i]);
    };
    visit(window);
    return found;
  };
  const still = (w, element, width, height) => {
    const canvas = w.document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    canvas.getContext('2d').drawImage(element, 0, 0, width, height);
    const style = w.getComputedStyle(element);
    for (const name of style) canvas.style.setProperty(name, style.getPropertyValue(name));
    element.replaceWith(canvas);
  };
  const until = (test) => new Promise((ok) => {
    const check = () => test() ? ok() : later(check, 16);
    check();
  });
  const freeze = () => {
    const videos = [];
    const waits = [];
    for (const w of windows()) {
      const doc = w.document;
      if (w[key]) w[key].hold();
      for (const a of doc.getAnimations()) {
        try {
          const end = a.effect ? a.effect.getComputedTiming().endTime : 0;
          if (end === Infinity) { a.pause(); a.currentTime = 0; } else { a.finish(); }
        } catch (e) {}
      }
      for (const svg of doc.querySelectorAll('svg')) {
        if (!svg.ownerSVGElement && svg.pauseAnimations) {
          svg.pauseAnimations();
          svg.setCurrentTime((clock ? clock.budget : 0) / 1000);
        }
      }
      for (const img of Array.from(doc.images)) {
        if (img.complete && img.naturalWidth && /^data:image\/gif|\.gif([?#]|$)/i.test(img.currentSrc)) {
          still(w, img, img.naturalWidth, img.naturalHeight);
        }
      }
      for (const v of doc.querySelectorAll('video')) {
        const moving = !v.paused || v.autoplay;
        const end = moving && !v.loop;
        v.pause();
        if (!v.src && !v.srcObject && !v.querySelector('source')) continue;
        const gone = () => v.error || v.networkState === 3;
        const idle = () => v.networkState === 1;
        const known = () => moving ? v.readyState >= 1 && (!end || isFinite(v.duration) || idle())
          : v.readyState >= 2 || idle();
        videos.push([w, v, moving]);
        waits.push(until(() => gone() || known()).then(() => {
          if (!moving) return undefined;
          let presented = !v.requestVideoFrameCallback;
          if (!presented) v.requestVideoFrameCallback(() => { presented = true; });
          v.currentTime = end ? 1e9 : 0;
          return until(() => gone() || (!v.seeking && presented));
        }).then(() => until(() => gone() || v.readyState >= 2 || idle())));
      }
    }
    const caret = document.createElement('style');
    caret.textContent = '*, *::before, *::after { caret-color: transparent !important; }';
    (document.head || document.documentElement).appendChild(caret);
    return Promise.race([Promise.all(waits), Promise.all([sleep(1000), deadline])]).then(() => {
      for (const [w, v, moving] of videos) {
        if (!v.error && !v.seeking && v.readyState >= 2 && (moving || !v.poster)) still(w, v, v.videoWidth, v.videoHeight);
      }
      const marker = document.createElement('div');
      marker.style.cssText = 'position:fixed;left:0;top:0;width:1px;height:1px;opacity:0;pointer-events:none';
      document.documentElement.appendChild(marker);
      const painted = marker.animate([{ color: 'black' }, { color: 'white' }], { duration: 1 }).finished;
      return Promise.race([painted, sleep(1000)]).then(() => marker.remove());
    });
  };
  const done = (why) => { if (!settled) { settled = true; freeze().then(() => resolve(why)); } };
  // The capture's count arrives late and may rise and fall between two
  // ticks, so a count above zero written since the last tick counts too;
  // the page's own loads, which each document counts as they happen, count
  // at once.
  const net = Symbol.for('kestrelite.network');
  let netCount = window[net] | 0;
  let netSeen = false;
  try {
    Object.defineProperty(window, net, {
      configurable: true,
      get: () => netCount,
      set: (v) => { netCount = v | 0; if (netCount > 0) netSeen = true; },
    });
  } catch (e) {}
  const loadsBusy = () => windows().some((w) => w[key] && w[key].loads && w[key].loads() > 0);
  const networkBusy = () => netCount > 0 || loadsBusy();
  // A lazy image outside the viewport is not loaded, so not waited for.
  const shown = (i) => {
    if (i.loading !== 'lazy' || i.complete) return true;
    const r = i.getBoundingClientRect();
    return r.bottom >= 0 && r.right >= 0 && r.top <= innerHeight && r.left <= innerWidth;
  };
  const pending = () => Array.from(document.images || []).filter((i) => !i.complete && shown(i));
  let changed = false;
  const openWaits = () => {
    const open = [];
    if (document.readyState !== 'complete') open.push('load');
    if (document.fonts && document.fonts.status !== 'loaded') open.push('fonts');
    if (pending().length) open.push('images');
    if (networkBusy()) open.push('network');
    if (changed) open.push('DOM');
    if (windows().some((w) => w[key] && w[key].waiting && w[key].waiting())) open.push('ready');
    else if (windows().some((w) => w[key] && w[key].busy())) open.push('timers');
    return open;
  };
  const deadline = sleep(__TIMEOUT_MS__);
  deadline.then(() => {
    if (!settled) window[Symbol.for('kestrelite.open')] = openWaits();
    done('timeout');
  });
  const loaded = document.readyState === 'complete' ? Promise.resolve()
    : new Promise((ok) => window.addEventListener('load', () => ok(), { once: true }));
  loaded.then(() => {
  const waits = [];
  if (__WAIT_FONTS__ && document.fonts && document.fonts.ready) {
    waits.push(document.fonts.ready.catch(() => {}));
  }
  const decoded = (imgs) => Promise.all(imgs.map((i) =>
    (i.decode ? i.decode().catch(() => {}) : Promise.resolve())
  ));
  const images = __WAIT_IMAGES__;
  if (images) {
    waits.push(decoded(Array.from(document.images || []).filter(shown)));
  }
  Promise.all(waits).then(() => {
    let quiet = 0;
    let dirty = false;
    let asked = null;
    const obs = new MutationObserver(() => { dirty = true; });
    obs.observe(document.documentElement, {
      subtree: true, childList: true, attributes: true, characterData: true
    });
    const tick = () => {
      if (settled) { obs.disconnect(); return; }
      changed = dirty;
      const seen = netSeen;
      netSeen = false;
      if (dirty || seen || networkBusy() || windows().some((w) => w[key] && w[key].busy())) {
        dirty = false; quiet = 0; asked = null;
      } else {
        quiet++;
      }
      if (quiet === 1 && clock && clock.ask) {
        const question = asked = { inFlight: undefined, then: null };
        clock.ask((inFlight) => { question.inFlight = inFlight; if (question.then) question.then(); });
      }
      if (quiet >= __QUIET_TICKS__) {
        const loading = images ? pending() : [];
        if (loading.length) { quiet = 0; asked = null; return decoded(loading).then(tick); }
        if (asked && asked.inFlight === undefined) return new Promise((ok) => { asked.then = ok; }).then(tick);
        if (!asked || asked.inFlight === 0) { obs.disconnect(); return done('quiet'); }
        quiet = 0;
        asked = null;
      }
      later(tick, 16);
    };
    tick();
  });
  });
})
