// ui_bench.js - times the web page in headless Chromium: from the start of navigation to the
// first rows painted, and to the details of the rows on screen, for the repository list and for
// one repository. Usage: node bench/ui_bench.js BASE_URL REPO RUNS
'use strict';
const { Browser } = require('../tests/ui/browser.js');

const [base, repo, runsText] = process.argv.slice(2);
const runs = Number(runsText || 5);

const median = (xs) => xs.slice().sort((a, b) => a - b)[Math.floor((xs.length - 1) / 2)];

async function measure(page, url, prefix, rowsSel) {
  await page.goto(url);
  await page.waitFor(`performance.getEntriesByName('${prefix}-painted').length &&
                      performance.getEntriesByName('${prefix}-details-filled').length`, prefix + ' marks', 60000);
  return page.eval(`({
    painted: performance.getEntriesByName('${prefix}-painted')[0].startTime,
    filled: performance.getEntriesByName('${prefix}-details-filled')[0].startTime,
    fcp: (performance.getEntriesByName('first-contentful-paint')[0] || {}).startTime,
    rows: document.querySelectorAll('${rowsSel}').length,
  })`);
}

(async () => {
  const browser = await Browser.launch();
  try {
    const page = await browser.newPage();
    for (const [label, url, prefix, rows] of [
      ['repository list', base + '/', 'repos', '#repos-body tr'],
      [`repository ${repo}`, `${base}/#/repo/${repo}`, 'tags', '#tags-body tr[data-tag]'],
    ]) {
      await measure(page, url, prefix, rows); // warm-up: caches, the server's first start
      const results = [];
      for (let i = 0; i < runs; i++) results.push(await measure(page, url, prefix, rows));
      const m = (k) => median(results.map((r) => r[k])).toFixed(0);
      console.log(`${label}: first paint ${m('fcp')} ms, first ${results[0].rows} rows painted ${m('painted')} ms, ` +
                  `details of the rows on screen ${m('filled')} ms (median of ${runs})`);
    }
  } finally {
    await browser.close();
  }
})().catch((e) => { console.error(e); process.exit(1); });
