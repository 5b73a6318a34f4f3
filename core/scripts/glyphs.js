// The glyph check: evaluated after the screenshot, in a world of its own (the
// page's scripts cannot reach it, nor it their patched globals), it finds the
// characters of the text in the viewport that no font the browser can use
// has a glyph for; the browser draws each of them as the same empty box.
//
// Each distinct character is drawn on a canvas in the font its element uses
// and compared with U+10FFFD, which no font covers: equal advance, ink box
// and pixels mean the box. A character is first tried in the system's
// sans-serif (a font on the system draws it in any stack, by fallback); only
// one no system font has is tried again in each stack that names a web font
// of the page. A lone combining mark is also compared with the box after a
// dotted circle, which some scripts' shaping inserts. White space, controls
// and other characters that draw nothing are never reported.
//
// It also marks up to __SAMPLE_ELEMENTS__ elements that hold the first
// occurrence of a character with the attribute data-kestrelite-glyphs, so
// that the capture can ask which platform fonts drew them, and resolves to
// {missing: [first __MISSING_LIMIT__ code points as "U+XXXX"], count}.
//
// This header (the comment lines at the top of the file) is left out of the
// text sent to the page.
(async () => {
  const SIZE = 32;
  const SENTINEL = '\u{10FFFD}';
  if (document.fonts && document.fonts.status !== 'loaded') {
    await Promise.race([document.fonts.ready, new Promise((done) => setTimeout(done, 1000))]);
  }
  const SKIP = /^[\p{White_Space}\p{Cc}\p{Cf}\p{Zl}\p{Zp}\p{Default_Ignorable_Code_Point}]$/u;
  const MARK = /^\p{M}$/u;
  const segmenter = new Intl.Segmenter(undefined, { granularity: 'grapheme' });
  const groups = new Map();
  const firsts = [];
  const fontOf = (cs) => `${cs.fontStyle.startsWith('oblique') ? 'oblique' : cs.fontStyle} ${cs.fontWeight} ${SIZE}px ${cs.fontFamily}`;
  const add = (text, cs, el) => {
    if (!text) return;
    const doc = el.ownerDocument;
    const key = fontOf(cs) + '|' + cs.fontStretch;
    let g = groups.get(doc + key);
    if (!g) {
      g = { doc, font: fontOf(cs), stretch: cs.fontStretch, family: cs.fontFamily, cps: new Set() };
      groups.set(doc + key, g);
    }
    if (cs.textTransform === 'uppercase') text = text.toUpperCase();
    else if (cs.textTransform === 'lowercase') text = text.toLowerCase();
    for (const { segment } of segmenter.segment(text)) {
      // A cluster that composes to one character is drawn as the shaper draws it.
      const nfc = segment.normalize('NFC');
      for (const ch of Array.from(nfc).length === 1 ? [nfc] : Array.from(nfc)) {
        if (SKIP.test(ch)) continue;
        const cp = ch.codePointAt(0);
        if (!g.cps.has(cp)) {
          g.cps.add(cp);
          if (firsts.length < __SAMPLE_ELEMENTS__ && !firsts.includes(el)) firsts.push(el);
        }
      }
    }
  };
  const styleOf = (el, pseudo) => (el.ownerDocument.defaultView || window).getComputedStyle(el, pseudo);
  const shown = (r) => r.width > 0 && r.height > 0 && r.bottom > 0 && r.right > 0 && r.top < innerHeight && r.left < innerWidth;
  const visible = (el) => !el.checkVisibility || el.checkVisibility({ visibilityProperty: true });
  const HIDDEN_TAGS = new Set(['SCRIPT', 'STYLE', 'NOSCRIPT', 'TEMPLATE', 'TITLE', 'HEAD', 'OPTION', 'OPTGROUP', 'DATALIST']);
  const walk = (root) => {
    for (const el of root.querySelectorAll('*')) {
      if (el.shadowRoot) walk(el.shadowRoot);
      if (el.tagName === 'IFRAME' || el.tagName === 'FRAME') {
        try { if (el.contentDocument && visible(el)) walk(el.contentDocument); } catch (e) {}
      }
      if (!visible(el) || !shown(el.getBoundingClientRect())) continue;
      for (const pseudo of ['::before', '::after']) {
        const cs = styleOf(el, pseudo);
        if (!cs.content || cs.content === 'none' || cs.content === 'normal' || cs.display === 'none') continue;
        let text = '';
        const token = /"((?:[^"\\]|\\.)*)"|attr\(\s*([^\s),]+)[^)]*\)/g;
        for (let m = token.exec(cs.content); m; m = token.exec(cs.content)) {
          text += m[1] === undefined ? el.getAttribute(m[2]) || ''
            : m[1].replace(/\\([0-9a-fA-F]{1,6})\s?/g, (_, h) => String.fromCodePoint(parseInt(h, 16))).replace(/\\(.)/g, '$1');
        }
        add(text, cs, el);
      }
      if (el.tagName === 'INPUT' || el.tagName === 'TEXTAREA') {
        const type = (el.type || '').toLowerCase();
        if (el.tagName === 'INPUT' && !['text', 'search', 'email', 'url', 'tel', 'number', '', 'submit', 'button', 'reset'].includes(type)) continue;
        if (el.value) add(el.value, styleOf(el), el);
        else if (el.placeholder) add(el.placeholder, styleOf(el, '::placeholder'), el);
      } else if (el.tagName === 'SELECT' && el.selectedOptions && el.selectedOptions[0]) {
        add(el.selectedOptions[0].label || el.selectedOptions[0].text, styleOf(el), el);
      }
    }
    const walker = (root.ownerDocument || root).createTreeWalker(root, NodeFilter.SHOW_TEXT);
    for (let n = walker.nextNode(); n; n = walker.nextNode()) {
      const el = n.parentElement;
      if (!el || HIDDEN_TAGS.has(el.tagName) || !n.data.trim() || el.closest('select,head') || !visible(el)) continue;
      const range = (n.ownerDocument || document).createRange();
      range.selectNodeContents(n);
      if (Array.from(range.getClientRects()).some(shown)) add(n.data, styleOf(el), el);
    }
  };
  walk(document);

  // The canvas names the computed font-stretch percentages by keyword.
  const STRETCH = { '50%': 'ultra-condensed', '62.5%': 'extra-condensed', '75%': 'condensed', '87.5%': 'semi-condensed',
    '112.5%': 'semi-expanded', '125%': 'expanded', '150%': 'extra-expanded', '200%': 'ultra-expanded' };
  const canvases = new Map();
  const context = (g) => {
    let c = canvases.get(g.doc);
    if (!c) {
      const canvas = g.doc.createElement('canvas');
      canvas.width = SIZE * 4;
      canvas.height = SIZE * 2;
      c = { ctx: canvas.getContext('2d', { willReadFrequently: true }), font: '' };
      canvases.set(g.doc, c);
    }
    if (c.font !== g.font + g.stretch) {
      c.ctx.font = g.font;
      c.ctx.fontStretch = STRETCH[g.stretch] || 'normal';
      c.font = g.font + g.stretch;
    }
    return c.ctx;
  };
  const draw = (g, text) => {
    const ctx = context(g);
    ctx.clearRect(0, 0, ctx.canvas.width, ctx.canvas.height);
    ctx.fillText(text, SIZE / 2, Math.round(SIZE * 1.4));
    return new Uint32Array(ctx.getImageData(0, 0, ctx.canvas.width, ctx.canvas.height).data.buffer);
  };
  const measure = (g, text) => {
    const m = context(g).measureText(text);
    return [m.width, m.actualBoundingBoxLeft, m.actualBoundingBoxRight, m.actualBoundingBoxAscent,
      m.actualBoundingBoxDescent].join();
  };
  const same = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);
  const boxes = (g) => g.boxes || (g.boxes = [SENTINEL, '\u25CC' + SENTINEL, SENTINEL + '\u25CC']
    .map((text) => ({ size: measure(g, text), pixels: draw(g, text) })));
  const isBox = (g, cp) => {
    const ch = String.fromCodePoint(cp);
    const size = measure(g, ch);
    let pixels = null;
    for (const box of boxes(g).slice(0, MARK.test(ch) ? 3 : 1)) {
      if (size !== box.size) continue;
      pixels = pixels || draw(g, ch);
      if (same(pixels, box.pixels)) return true;
    }
    return false;
  };
  const webFamilies = (doc) => new Set(Array.from(doc.fonts || [], (f) => f.family.replace(/^["']|["']$/g, '').toLowerCase()));
  const named = (stack, doc) => (stack.match(/"[^"]*"|'[^']*'|[^,]+/g) || [])
    .some((f) => webFamilies(doc).has(f.trim().replace(/^["']|["']$/g, '').toLowerCase()));
  const system = { doc: document, font: `normal 400 ${SIZE}px sans-serif`, stretch: '100%' };
  const missing = new Set();
  for (const cp of new Set(Array.from(groups.values(), (g) => Array.from(g.cps)).flat())) {
    if (!isBox(system, cp)) continue;
    // Missing wherever a stack without a web font draws it, or a web font lacks it too.
    if (Array.from(groups.values()).some((g) => g.cps.has(cp) && (!named(g.family, g.doc) || isBox(g, cp)))) {
      missing.add(cp);
    }
  }
  for (const el of firsts) el.setAttribute('data-kestrelite-glyphs', '');
  const sorted = Array.from(missing).sort((a, b) => a - b);
  return {
    missing: sorted.slice(0, __MISSING_LIMIT__).map((cp) => 'U+' + cp.toString(16).toUpperCase().padStart(4, '0')),
    count: sorted.length,
  };
})()
