// A batch of captures as Puppeteer users write it: one headless shell for
// the whole batch, and for every capture a fresh incognito browser context
// with one page: the device's viewport, pixel ratio, mobile and touch flags
// and user agent, the page loaded, a PNG screenshot of the viewport written
// to a file, the context closed. With "fresh": true, a headless shell of its
// own for every capture instead (launched, one page, closed). Takes one JSON
// argument {executable, fresh, jobs: [{url, out, width, height, scale,
// mobile, touch, userAgent}, ...]} and prints one JSON line: the wall time of the whole
// batch (browser start and close included) and of each capture in
// milliseconds, this process's CPU time, the PNG sizes, and where the time
// went, summed over the captures (context: the context and its page made;
// close: the context closed).
import puppeteer from 'puppeteer-core';
import { shoot } from './shoot.mjs';

const batch = JSON.parse(process.argv[2]);
const cpuBefore = process.cpuUsage();
const started = performance.now();
const captures = [];
const phases = { context: 0, emulation: 0, navigate: 0, screenshot: 0, write: 0, close: 0 };
let mark = started;
const lap = (name) => {
  const now = performance.now();
  phases[name] += now - mark;
  mark = now;
};

const launch = () => puppeteer.launch({
  executablePath: batch.executable,
  headless: 'shell',
  args: ['--no-sandbox', '--disable-gpu'],
});

// One capture on a page that `open` makes; `close` ends what it made.
const capture = async (job, open, close) => {
  const begun = performance.now();
  mark = begun;
  let bytes = 0;
  const made = await open();
  try {
    lap('context');
    bytes = await shoot(made.page, job, lap);
  } finally {
    await close(made);
    lap('close');
  }
  captures.push({ wall_ms: performance.now() - begun, bytes });
};

if (batch.fresh) {
  for (const job of batch.jobs) {
    await capture(job, async () => {
      const browser = await launch();
      return { browser, page: (await browser.pages())[0] };
    }, (made) => made.browser.close());
  }
} else {
  const browser = await launch();
  try {
    for (const job of batch.jobs) {
      await capture(job, async () => {
        const context = await browser.createBrowserContext();
        return { context, page: await context.newPage() };
      }, (made) => made.context.close());
    }
  } finally {
    await browser.close();
  }
}

const cpu = process.cpuUsage(cpuBefore);
process.stdout.write(JSON.stringify({
  wall_ms: performance.now() - started,
  cpu_ms: (cpu.user + cpu.system) / 1000,
  captures,
  phases,
}) + '\n');
