// The page side of a capture's steps and masks: evaluated in a world of its
// own (the page's scripts cannot reach it), as `(<this>)(<action>)`, it finds
// elements by CSS selector and acts on them, and resolves to an object:
// {error: why} when the action cannot be done, else what the capture needs.
//
//   {action: "point", selector, focus}  the element scrolled into view (its
//                                       centre, as the middle of the viewport
//                                       allows), focused when asked: {x, y} of
//                                       its centre in CSS pixels
//   {action: "scroll_to", selector}     the element's top at the top of the viewport
//   {action: "scroll_by", pixels}       the page scrolled down (up when negative)
//   {action: "wait_for", selector, ms}  until an element is there and visible,
//                                       polled on the real clock: {found}
//   {action: "hide" | "remove", selectors}  every element of each selector, now
//                                       and later, hidden (its place kept) or
//                                       taken out of the layout, by a style
//                                       the page cannot override: {count}
//   {action: "boxes", selectors, scale} the boxes of each selector's elements
//                                       within the viewport, in device pixels:
//                                       {boxes: [[[x, y, width, height], ...], ...]}
//
// This header (the comment lines at the top of the file) is left out of the
// text sent to the page.
(async (a) => {
  const show = (s) => JSON.stringify(s);
  const all = (selector) => {
    try {
      return Array.from(document.querySelectorAll(selector));
    } catch (e) {
      throw new Error(`${show(selector)} is not a valid CSS selector`);
    }
  };
  const visible = (el) => {
    const r = el.getBoundingClientRect();
    return r.width > 0 && r.height > 0 && (!el.checkVisibility || el.checkVisibility({ visibilityProperty: true }));
  };
  // Element boxes are in the layout viewport's CSS pixels (as the mouse's
  // are); the screenshot shows the visual viewport, which a page laid out
  // wider than the device (no viewport meta tag) shows zoomed out.
  const view = window.visualViewport || { offsetLeft: 0, offsetTop: 0, scale: 1, width: innerWidth, height: innerHeight };
  const one = (selector) => {
    const found = all(selector);
    if (!found.length) throw new Error(`no element matches ${show(selector)}`);
    const seen = found.find(visible);
    if (!seen) throw new Error(`no element that matches ${show(selector)} is visible`);
    return seen;
  };
  try {
    if (a.action === 'point') {
      const el = one(a.selector);
      el.scrollIntoView({ block: 'center', inline: 'center' });
      if (a.focus) el.focus();
      const r = el.getBoundingClientRect();
      return { x: r.left + r.width / 2, y: r.top + r.height / 2 };
    }
    if (a.action === 'scroll_to') {
      one(a.selector).scrollIntoView({ block: 'start', inline: 'nearest' });
      return {};
    }
    if (a.action === 'scroll_by') {
      window.scrollBy(0, a.pixels);
      return {};
    }
    if (a.action === 'wait_for') {
      const end = performance.now() + a.ms;
      for (;;) {
        if (all(a.selector).some(visible)) return { found: true };
        if (performance.now() >= end) return { found: false };
        await new Promise((done) => setTimeout(done, 16));
      }
    }
    if (a.action === 'hide' || a.action === 'remove') {
      const hide = a.action === 'hide';
      const [property, value] = hide ? ['visibility', 'hidden'] : ['display', 'none'];
      let count = 0;
      for (const selector of a.selectors) {
        const found = all(selector);
        if (!found.length) throw new Error(`no element matches ${show(selector)}`);
        // Inline !important outweighs the page's own rules; the sheet covers
        // elements that come later. Hidden descendants cannot show themselves.
        for (const el of found) {
          for (const target of hide ? [el, ...el.querySelectorAll('*')] : [el]) {
            target.style.setProperty(property, value, 'important');
          }
        }
        const sheet = document.createElement('style');
        sheet.textContent = `${selector}${hide ? `, ${selector} *` : ''} { ${property}: ${value} !important; }`;
        (document.head || document.documentElement).appendChild(sheet);
        count += found.length;
      }
      return { count };
    }
    if (a.action === 'boxes') {
      const clip = (v, high) => Math.min(Math.max(v, 0), high);
      return {
        boxes: a.selectors.map((selector) => all(selector).flatMap((el) => {
          const r = el.getBoundingClientRect();
          const left = clip(r.left - view.offsetLeft, view.width), top = clip(r.top - view.offsetTop, view.height);
          const right = clip(r.right - view.offsetLeft, view.width), bottom = clip(r.bottom - view.offsetTop, view.height);
          if (right <= left || bottom <= top) return [];
          const k = view.scale * a.scale;
          const x = Math.floor(left * k), y = Math.floor(top * k);
          return [[x, y, Math.ceil(right * k) - x, Math.ceil(bottom * k) - y]];
        })),
      };
    }
    return { error: `unknown action ${show(a.action)}` };
  } catch (e) {
    return { error: e.message };
  }
})
