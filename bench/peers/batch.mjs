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

if (batch.fresh) {
  for (const job of batch.jobs) {
    const begun = performance.now();
    mark = begun;
    const browser = await launch();
    let bytes = 0;
    try {
      const [page] = await browser.pages();
      lap('context');
      bytes = await shoot(page, job, lap);
    } finally {
      await browser.close();
      lap('close');
    }
    captures.push({ wall_ms: performance.now() - begun, bytes });
  }
} else {
  const browser = await launch();
  try {
    for (const job of batch.jobs) {
      const begun = performance.now();
      mark = begun;
      const context = await browser.createBrowserContext();
      let bytes = 0;
      try {
        const page = await context.newPage();
        lap('context');
        bytes = await shoot(page, job, lap);
      } finally {
        await context.close();
        lap('close');
      }
      captures.push({ wall_ms: performance.now() - begun, bytes });
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
