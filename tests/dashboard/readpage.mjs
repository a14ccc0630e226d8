// Opens the dashboard in headless Chromium and prints, as JSON, what its tables show, with
// every error the page raised; saves a screenshot. The test compares it with what it recorded.
//   node readpage.mjs URL SCREENSHOT
import { chromium } from 'playwright-core';

const [url, screenshot] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: process.env.KORVEL_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox'],
});
const errors = [];
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  page.on('pageerror', (error) => errors.push(`page: ${error.message}`));
  page.on('console', (message) => {
    if (message.type() === 'error')
      errors.push(`console: ${message.text()}`);
  });
  page.on('requestfailed', (request) => errors.push(`request: ${request.url()}`));
  await page.goto(url);
  await page.waitForSelector('body:not([data-state="loading"])', { timeout: 30000 });
  const shown = await page.evaluate(() => {
    const rows = (id) => [...document.querySelectorAll(`#${id} tbody tr`)]
      .map((row) => [...row.cells].map((cell) => cell.textContent));
    const counts = {};
    for (const cell of document.querySelectorAll('#counts tbody td[data-type]'))
      (counts[cell.parentElement.dataset.day] ??= {})[cell.dataset.type] = Number(cell.textContent);
    const select = document.getElementById('property');
    return {
      state: document.body.dataset.state,
      status: document.getElementById('status').textContent,
      counts,
      versions: rows('versions'),
      systems: rows('systems'),
      latest: rows('latest'),
      property: select.selectedOptions[0]?.textContent ?? '',
      stats: rows('stats'),
      charts: document.querySelectorAll('.chart canvas').length,
    };
  });
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(JSON.stringify({ ...shown, errors }));
} finally {
  await browser.close();
}
