// The steps of one capture that both peer scripts take on an open page: the
// device's viewport, pixel ratio, mobile and touch flags and user agent, the
// page loaded, a PNG screenshot of the viewport written to job.out. `lap`
// is called after each step with its name. Returns the PNG's size in bytes.
import { writeFile } from 'node:fs/promises';

export async function shoot(page, job, lap) {
  await page.setViewport({
    width: job.width,
    height: job.height,
    deviceScaleFactor: job.scale,
    isMobile: job.mobile,
    hasTouch: job.touch,
  });
  if (job.userAgent) await page.setUserAgent(job.userAgent);
  lap('emulation');
  await page.goto(job.url, { waitUntil: 'load' });
  lap('navigate');
  const png = await page.screenshot({ type: 'png', captureBeyondViewport: false });
  lap('screenshot');
  await writeFile(job.out, png);
  lap('write');
  return png.length;
}
