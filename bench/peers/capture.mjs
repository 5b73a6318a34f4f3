// The same job as one kestrelite device, written as a Puppeteer user would:
// a fresh headless shell, the device's viewport, pixel ratio, mobile and
// touch flags and user agent, the page, a PNG screenshot of the viewport
// written to a file, the browser closed. Takes one JSON argument
// {url, out, executable, width, height, scale, mobile, touch, userAgent}
// and prints one JSON line: the wall time and this process's CPU time of
// the job in milliseconds, the peak resident memory of this process image
// in KiB (VmHWM, which leaves out a parent's memory inherited at start),
// the PNG size, and where the wall time went (launch, emulation, navigate,
// screenshot, write, close).
import { readFileSync } from 'node:fs';
import puppeteer from 'puppeteer-core';
import { shoot } from './shoot.mjs';

const job = JSON.parse(process.argv[2]);

const cpuBefore = process.cpuUsage();
const started = performance.now();
const phases = {};
let mark = started;
const lap = (name) => {
  const now = performance.now();
  phases[name] = now - mark;
  mark = now;
};

const browser = await puppeteer.launch({
  executablePath: job.executable,
  headless: 'shell',
  args: ['--no-sandbox', '--disable-gpu'],
});
let bytes = 0;
try {
  const [page] = await browser.pages();
  lap('launch');
  bytes = await shoot(page, job, lap);
} finally {
  await browser.close();
  lap('close');
}

const wall = performance.now() - started;
const cpu = process.cpuUsage(cpuBefore);
process.stdout.write(JSON.stringify({
  wall_ms: wall,
  cpu_ms: (cpu.user + cpu.system) / 1000,
  peak_rss_kib: Number(/^VmHWM:\s+(\d+)/m.exec(readFileSync('/proc/self/status', 'utf8'))[1]),
  bytes,
  phases,
}) + '\n');
