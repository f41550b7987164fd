// ui_test.js - the web page in headless Chromium against a registry served by lighttpd.
// Usage: node ui_test.js SCENARIO   with FACTS naming a JSON file of what the store holds:
//   stubbed  the admin routes answered by the test's stand-in: lists, tags, platforms, deletion,
//            usage and quota, collection progress, retention preview, error messages
//   auth     the registry's own routes behind Basic authentication: the refusal, then the views
//            with credentials, and the admin parts when this build does not offer them
// Prints one ok/FAIL line per check and "RESULT passes failures" last.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { Browser, sleep } = require('./browser.js');

const facts = JSON.parse(fs.readFileSync(process.env.FACTS, 'utf8'));
const base = facts.base;
let passes = 0, failures = 0;

function check(what, expected, actual) {
  const ok = JSON.stringify(expected) === JSON.stringify(actual);
  if (ok) { passes++; console.log(`ok: ${what}`); return true; }
  failures++;
  console.log(`FAIL: ${what}\n  expected: ${JSON.stringify(expected)}\n  actual:   ${JSON.stringify(actual)}`);
  return false;
}

// The page's own size rendering, imported by the page from the module it is served.
const human = (page, bytes) => page.eval(`import('/js/format.js').then((m) => m.human(${Number(bytes)}))`);

// The page's formatting helpers on their own: each expression is evaluated with the helpers of
// /js/format.js in scope, now standing for a fixed instant.
async function formatHelpers(page) {
  const now = Date.UTC(2026, 0, 15, 12);
  const cases = [
    ['human(0)', '0 B'], ['human(1023)', '1023 B'], ['human(1024)', '1.00 KiB'], ['human(1536)', '1.50 KiB'],
    ['human(1349100)', '1.29 MiB'], ['human(3 * 2 ** 30)', '3.00 GiB'], ['human(2 ** 60)', '1024.0 PiB'],
    ['human(NaN)', '—'], ['human("12")', '—'], ['human(undefined)', '—'],
    ['count(1234567)', '1,234,567'], ['count(null)', '—'],
    ['duration(59900)', '59.9 s'], ['duration(61000)', '1 min 1 s'], ['duration(3660000)', '1 h 1 min'],
    ['duration(-5)', '0.0 s'],
    ['age(new Date(now - 30e3), now)', '1 min'], ['age(new Date(now - 5400e3), now)', '2 h'],
    ['age(new Date(now - (3 * 86400 + 3600) * 1e3), now)', '3 days'],
    [`shortDigest('sha256:${'ab'.repeat(32)}')`, 'abababababab'], ['shortDigest("")', ''],
    ['platformName({os: "linux", architecture: "arm", variant: "v7"})', 'linux/arm/v7'],
    ['platformName({})', '?/?'], ['platformName(undefined)', 'unknown'],
  ];
  const got = await page.eval(`import('/js/format.js').then(({ human, count, duration, age, shortDigest, platformName }) => {
    const now = ${now};
    return [${cases.map(([expr]) => expr).join(', ')}];
  })`);
  cases.forEach(([expr, want], i) => check(`format: ${expr}`, want, got[i]));
}

// What a pull of an index fetches, over a small graph of hand-made manifests: two platforms sharing
// their layers, a child listed twice, a nested index listing a known child, a new one and the outer
// index itself, and a child that cannot be read.
async function indexPullSize(page) {
  const got = await page.eval(`import('/js/manifest.js').then(({ pullBytes }) => {
    const image = (bytes, ...blobs) => ({ bytes, isIndex: false, children: [],
                                          blobs: blobs.map(([digest, size]) => ({ digest, size })) });
    const known = {
      amd: image(5, ['c1', 10], ['l1', 100], ['l2', 1000]),
      arm: image(6, ['c2', 20], ['l1', 100], ['l2', 1000]),
      nested: { bytes: 8, isIndex: true, blobs: [],
                children: [{ digest: 'amd' }, { digest: 'other' }, { digest: 'top' }] },
      other: image(9, ['c3', 30], ['l3', 300]),
    };
    const top = { digest: 'top', bytes: 50, isIndex: true, blobs: [], children: [
      { digest: 'amd', size: 5 }, { digest: 'arm', size: 6 }, { digest: 'amd', size: 5 },
      { digest: 'nested', size: 8 }, { digest: 'gone', size: 7 }] };
    const asked = [];
    const load = async (d) => { asked.push(d); if (!known[d]) throw new Error('404'); return known[d]; };
    return pullBytes(top, load).then((r) => ({ ...r, asked }));
  })`);
  check('index pull: each manifest and blob once, an unreadable child by its listed size',
        { bytes: 50 + (5 + 10 + 100 + 1000) + (6 + 20) + 8 + (9 + 30 + 300) + 7, unread: 1,
          asked: ['amd', 'arm', 'nested', 'other', 'gone'] }, got);
}

async function shot(page, name) {
  await sleep(150); // let the last frame settle
  await page.screenshot(path.join(facts.artifacts, name + '.png'));
}

async function api(url, init) {
  const headers = facts.auth ? { Authorization: facts.auth } : {};
  const r = await fetch(base + url, { ...init, headers });
  return { status: r.status, text: await r.text() };
}

const text = (sel) => `(document.querySelector(${JSON.stringify(sel)}) || {}).textContent || ''`;
const visibleRows = (body, key) =>
  `[...document.querySelectorAll('#${body} tr[data-${key}]')].filter(r => !r.hidden).map(r => r.dataset.${key})`;
const notice = `document.getElementById('notice').hidden ? '' : document.getElementById('notice').textContent`;

async function repositoryList(page) {
  await page.goto(base + '/');
  await page.waitFor(`document.querySelectorAll('#repos-body tr').length >= ${facts.repos.length}`, 'the repository rows');
  check('the list shows the fixture repositories', facts.repos, await page.eval(visibleRows('repos-body', 'name')));
  // Tag counts come from the usage route when there is one, else from each repository's tag list.
  await page.waitFor(`!document.querySelector('#repos-body td.pending')`, 'every tag count');
  check('tag count of library/app', String(facts.appTags.length),
        await page.eval(`document.querySelector('#repos-body tr[data-name="library/app"]').cells[1].textContent`));
  return page;
}

async function filterRepos(page) {
  await page.eval(`(() => { const f = document.getElementById('repo-filter'); f.value = 'ONE';
                   f.dispatchEvent(new Event('input')); })()`);
  check('the filter keeps the matching names, ignoring case', ['beta/one'], await page.eval(visibleRows('repos-body', 'name')));
  check('the count says how many match', '1 of 4 loaded match', await page.eval(text('#repos-count')));
  await page.eval(`(() => { const f = document.getElementById('repo-filter'); f.value = '';
                   f.dispatchEvent(new Event('input')); })()`);
}

async function openTag(page, tag) {
  await page.eval(`document.querySelector('#tags-body tr[data-tag="${tag}"] button').click()`);
  await page.waitFor(`document.querySelector('#tags-body tr[data-tag="${tag}"] + tr.details')`, `details of ${tag}`);
}

async function repositoryView(page) {
  await page.goto(base + '/ui/#/repo/library/app');
  await page.waitFor(`document.querySelectorAll('#tags-body tr[data-loaded="1"]').length >= ${facts.appTags.length}`,
                     'every tag row filled');
  check('the repository shows its tags', facts.appTags, await page.eval(visibleRows('tags-body', 'tag')));
  const cells = (tag) => page.eval(`[...document.querySelector('#tags-body tr[data-tag="${tag}"]').cells].map(c => c.textContent)`);
  const latest = await cells('latest');
  check('latest: short digest, type, no platforms, size of config and layers',
        [facts.manifest.slice(7, 19), 'OCI image', '', await human(page, facts.imageSize)], latest.slice(1, 5));
  await page.waitFor(`!document.querySelector('#tags-body td.pending')`, 'every size');
  const multi = await cells('multi');
  check('the index: its type and the platforms it holds', ['OCI index', 'linux/amd64linux/arm64'], multi.slice(2, 4));
  check('the index: what a pull of all its platforms fetches, shared layers once',
        [await human(page, facts.indexSize), String(facts.indexSize)],
        [multi[4], await page.eval(`document.querySelector('#tags-body tr[data-tag="multi"]').cells[4].dataset.bytes`)]);
  check('the stored column shows, with the time latest was stored', [true, facts.storedLatest, '3 days ago'],
        await page.eval(`(() => {
          const time = document.querySelector('#tags-body tr[data-tag="latest"] td.age time');
          return [getComputedStyle(document.querySelector('#tags-table th.age')).display !== 'none',
                  time && time.getAttribute('datetime'), time && time.textContent];
        })()`));
  check('each tag its own time', '2 h ago',
        await page.eval(`document.querySelector('#tags-body tr[data-tag="t1"] td.age').textContent`));

  await openTag(page, 'latest');
  check('the pull command, ready to copy', `podman pull --tls-verify=false ${facts.host}/library/app:latest`,
        await page.eval(`document.querySelector('tr[data-tag="latest"] + tr.details .pull-cmd').textContent`));
  await openTag(page, 'multi');
  await page.waitFor(`!document.querySelector('tr[data-tag="multi"] + tr.details td.pending')`, 'the platforms\' sizes');
  check('the index details list each platform with its image size',
        [['linux/amd64', facts.manifest.slice(7, 19), await human(page, facts.imageSize)],
         ['linux/arm64', facts.manifestArm.slice(7, 19), await human(page, facts.imageSizeArm)]],
        await page.eval(`[...document.querySelectorAll('tr[data-tag="multi"] + tr.details table.platforms tbody tr')]
                         .map(r => [...r.cells].map(c => c.textContent))`));
  await shot(page, 'repository');
}

async function tagsInApi(auth) {
  const r = await api('/v2/library/app/tags/list');
  return JSON.parse(r.text).tags;
}

// Deletion goes through DELETE /v2/<name>/manifests/<tag>. Where this build has no such route the
// registry answers 405 and the page must say so; the check of the tag's absence runs only where
// the registry accepted the deletion.
async function deleteFromPage(page) {
  await openTag(page, 't4');
  await page.eval(`document.querySelector('tr[data-tag="t4"] + tr.details [data-action="delete-tag"]').click()`);
  await page.waitFor(`document.getElementById('confirm').open`, 'the confirmation');
  await page.eval(`document.getElementById('confirm-no').click()`);
  await page.waitFor(`!document.getElementById('confirm').open`, 'the confirmation to close');
  await sleep(300);
  check('a cancelled confirmation deletes nothing', true, (await tagsInApi()).includes('t4'));

  await openTag(page, 't5');
  await page.eval(`document.querySelector('tr[data-tag="t5"] + tr.details [data-action="delete-tag"]').click()`);
  await page.waitFor(`document.getElementById('confirm').open`, 'the confirmation');
  check('the confirmation names the tag', 'Delete tag t5?', await page.eval(text('#confirm-title')));
  await shot(page, 'confirm-delete');
  await page.eval(`document.getElementById('confirm-yes').click()`);
  const said = await page.waitFor(notice, 'the outcome of the deletion');
  const tags = await tagsInApi();
  if (said.includes('(405)')) {
    check('the refusal is shown with the registry\'s message',
          'The registry did not delete tag t5: Not allowed by this registry (405)method not allowed: DELETE (UNSUPPORTED)', said);
    check('a refused deletion leaves the tag', true, tags.includes('t5'));
    console.log('note: this registry answers 405 to manifest DELETE; the check that a deleted tag is gone ' +
                'from the API runs once the route exists');
  } else {
    check('the page reports the deletion', 'Deleted tag t5.', said);
    check('a tag deleted from the page is gone from the API', false, tags.includes('t5'));
    await page.waitFor(`!document.querySelector('#tags-body tr[data-tag="t5"]') && document.querySelector('#tags-body tr[data-tag="t4"]')`,
                       'the list without t5');
    check('the other tags stay', true, tags.includes('t4') && tags.includes('latest'));
  }
  await shot(page, 'after-delete');
}

async function storageStubbed(page) {
  await page.goto(base + '/#/storage');
  await page.waitFor(`!document.getElementById('usage-figures').hidden`, 'the usage figures');
  check('usage figures in human units',
        ['Repositories4', 'Tags10', 'Manifests6', 'Blobs5', 'Stored3.00 GiB', 'Uploads in progress1'],
        await page.eval(`[...document.querySelectorAll('#usage-figures > div')].map(d => d.textContent)`));
  check('the quota bar and its label', ['60', '3.00 GiB of the 5.00 GiB quota used (60.0 %)'],
        await page.eval(`[document.querySelector('#quota .bar').getAttribute('aria-valuenow'), ${text('#quota-label')}]`));
  await page.waitFor(`document.querySelector('#gc-state [data-phase="idle"]')`, 'the idle collection state');
  check('start buttons usable, cancel not, while nothing runs', [false, false, true],
        await page.eval(`['gc-dry', 'gc-run', 'gc-cancel'].map(id => document.getElementById(id).disabled)`));

  // A dry run started from the page; its progress shows while it goes on.
  await page.eval(`document.getElementById('gc-dry').click()`);
  await page.waitFor(`document.querySelector('#gc-state [data-phase="deleting"][data-running="true"]')`, 'a running sweep');
  const label = await page.waitFor(`/^([1-9][0-9]*) of 40 blobs scanned$/.test(${text('#gc-label')}) && ${text('#gc-label')}`,
                                   'blobs being scanned');
  check('progress shows while the run goes on', true, /^[1-9]\d* of 40 blobs scanned$/.test(label));
  check('only cancel is usable while it runs', [true, true, false],
        await page.eval(`['gc-dry', 'gc-run', 'gc-cancel'].map(id => document.getElementById(id).disabled)`));
  await shot(page, 'storage-collection-running');
  await page.waitFor(`document.querySelector('#gc-state [data-phase="done"]')`, 'the end of the run', 10000);
  check('the finished dry run is reported', 'Last run finished (dry run).', await page.eval(text('#gc-state')));
  check('its figures', ['Phasedone', 'Blobs that would go10', 'Bytes that would be freed10.0 MiB'],
        await page.eval(`[...document.querySelectorAll('#gc-figures > div')].slice(0, 3).map(d => d.textContent)`));

  // A real run needs a confirmation, and is cancelled from the page.
  await page.eval(`document.getElementById('gc-run').click()`);
  await page.waitFor(`document.getElementById('confirm').open`, 'the confirmation');
  await page.eval(`document.getElementById('confirm-yes').click()`);
  await page.waitFor(`document.querySelector('#gc-state [data-running="true"]')`, 'the real run');
  await page.eval(`document.getElementById('gc-cancel').click()`);
  await page.waitFor(`document.querySelector('#gc-state [data-phase="done"]')`, 'the cancelled run');
  check('the cancelled run is reported', 'Last run was cancelled.', await page.eval(text('#gc-state')));
  const log = fs.readFileSync(path.join(facts.stubState, 'requests'), 'utf8').split('\n')
    .filter((l) => /^(POST|DELETE) \/v2\/_admin\/gc/.test(l)).map((l) => l.trim());
  check('the page asked for a dry run, a real run and a cancel', ['POST /v2/_admin/gc dry_run=1', 'POST /v2/_admin/gc', 'DELETE /v2/_admin/gc'], log);

  // A run started elsewhere: the start answers 409 and the page shows that run.
  await api('/v2/_admin/gc', { method: 'POST', body: '' });
  await page.eval(`document.getElementById('gc-dry').click()`);
  const said = await page.waitFor(notice, 'the conflict notice');
  check('a start while a run goes on says so', 'A collection is already runningIts progress is shown below.', said);
  await page.waitFor(`document.querySelector('#gc-state [data-running="true"]')`, 'the other run\'s progress');

  await page.eval(`document.getElementById('ret-preview').click()`);
  await page.waitFor(`!document.getElementById('ret-table').hidden`, 'the retention preview');
  check('retention preview: rules and counts',
        'Rules: keep the 3 newest tags of each repository; delete tags older than 30 days; “latest” always kept.' +
        '2 of 10 tags in 4 repositories would be deleted; 1 “latest” spared.', await page.eval(text('#ret-state')));
  check('retention preview: the tags that would go', [['library/app', 't1', '4ce039a92257', '41'], ['library/app', 't2', '4ce039a92257', '40']],
        await page.eval(`[...document.querySelectorAll('#ret-body tr')].map(r => [...r.cells].map(c => c.textContent))`));
  await page.waitFor(`document.querySelector('#gc-state [data-phase="done"]')`, 'the other run to end', 10000);
  await shot(page, 'storage');

  // A failing route gives a readable message, not a blank page.
  fs.writeFileSync(path.join(facts.stubState, 'fail-usage'), '');
  await page.reload();
  check('a 500 is shown with the registry\'s message',
        'Usage could not be read: The registry failed (500)cannot read storage statistics (UNKNOWN)',
        await page.waitFor(notice, 'the 500 notice'));
  await shot(page, 'error-500');
  fs.unlinkSync(path.join(facts.stubState, 'fail-usage'));
}

async function notFound(page) {
  await page.goto(base + '/#/repo/nope');
  check('an unknown repository is a readable 404',
        'Tags of nope could not be listed: Not found (404)repository name not known: nope (NAME_UNKNOWN)',
        await page.waitFor(notice, 'the 404 notice'));
  await shot(page, 'error-404');
}

async function stubbed(browser) {
  const page = await browser.newPage();
  await repositoryList(page);
  await formatHelpers(page);
  await indexPullSize(page);
  check('sizes come from the usage route', await human(page, 1349100),
        await page.eval(`document.querySelector('#repos-body tr[data-name="library/app"]').cells[2].textContent`));
  await filterRepos(page);
  await shot(page, 'repositories');
  await repositoryView(page);
  await deleteFromPage(page);
  await storageStubbed(page);
  await notFound(page);
  check('no script errors in the page', [], page.consoleErrors);
}

async function withAuth(browser) {
  const page = await browser.newPage();
  await page.answerAuthentication(null);
  await page.goto(base + '/');
  const said = await page.waitFor(notice, 'the refusal');
  check('without credentials the page shows the refusal', true, said.includes('Sign-in needed (401)'));
  check('and lists nothing', 0, await page.eval(`document.querySelectorAll('#repos-body tr').length`));
  await shot(page, 'refused-without-credentials');

  // Credentials typed into the browser's prompt.
  await page.answerAuthentication(facts.credentials);
  await repositoryList(page);
  const usage = await api('/v2/_admin/usage');
  const offered = usage.status === 200;
  console.log(`note: this registry answers ${usage.status} to GET /v2/_admin/usage`);
  if (offered) {
    check('sizes from the registry\'s usage route', false,
          await page.eval(`document.querySelector('#repos-body tr[data-name="library/app"]').cells[2].textContent === '—'`));
  } else {
    check('without a usage route the sizes say they are not available',
          'Sizes are not available: this registry does not offer the usage route.', await page.eval(text('#repos-size-note')));
  }
  await shot(page, 'repositories-with-credentials');

  // Each admin route is judged on its own: present, the page shows what it says; missing (404 or
  // 405 from a build without it), the page says that part is not available.
  const gcRoute = await api('/v2/_admin/gc');
  console.log(`note: this registry answers ${gcRoute.status} to GET /v2/_admin/gc`);
  await page.goto(base + '/#/storage');
  if (offered) {
    await page.waitFor(`!document.getElementById('usage-figures').hidden`, 'the usage figures');
    check('the registry\'s usage figures', `Repositories${facts.repos.length}`,
          await page.eval(`document.querySelector('#usage-figures [data-figure="repositories"]').textContent`));
  } else {
    check('without a usage route the storage view says usage is not available',
          `Usage is not available: this registry does not offer the usage route (${usage.status}).`,
          await page.waitFor(`/not available/.test(${text('#usage-state')}) && ${text('#usage-state')}`, 'the usage note'));
  }
  if (gcRoute.status === 200) {
    const phase = JSON.parse(gcRoute.text).phase;
    await page.waitFor(`document.querySelector('#gc-state [data-phase]')`, 'the collection state');
    check('the registry\'s collection state', phase, await page.eval(`document.querySelector('#gc-state [data-phase]').dataset.phase`));
    check('a dry run can be started', false, await page.eval(`document.getElementById('gc-dry').disabled`));
    await page.eval(`document.getElementById('gc-dry').click()`);
    const ended = await page.waitFor(`(document.querySelector('#gc-state [data-phase="done"]') || {}).textContent`,
                                     'the end of the registry\'s own dry run', 20000);
    check('the registry\'s own dry run, started from the page, is followed to its end', 'Last run finished (dry run).', ended);
  } else {
    check('without a collection route the storage view says collection is not available',
          `Garbage collection is not available: this registry does not offer the collection route (${gcRoute.status}).`,
          await page.waitFor(`/not available/.test(${text('#gc-state')}) && ${text('#gc-state')}`, 'the collection note'));
    check('and its collection buttons are off', [true, true, true],
          await page.eval(`['gc-dry', 'gc-run', 'gc-cancel'].map(id => document.getElementById(id).disabled)`));
  }
  const retention = await api('/v2/_admin/retention?dry_run=1', { method: 'POST', body: '' });
  console.log(`note: this registry answers ${retention.status} to POST /v2/_admin/retention?dry_run=1`);
  await page.eval(`document.getElementById('ret-preview').click()`);
  if (retention.status === 200) {
    const rep = JSON.parse(retention.text);
    check('the registry\'s own retention preview', `${rep.tags_deleted} of ${rep.tags_total} tags in ${rep.repos_scanned} repositories`,
          await page.waitFor(`(${text('.ret-summary')}).split(' would')[0]`, 'the retention summary'));
  } else {
    check('without a retention route the preview says it is not available',
          `Retention is not available: this registry does not offer the retention route (${retention.status}).`,
          await page.waitFor(`/not available/.test(${text('#ret-state')}) && ${text('#ret-state')}`, 'the retention note'));
  }
  check('no error notice for a missing route', '', await page.eval(notice));
  await shot(page, 'storage-registry-routes');
  check('no script errors in the page', [], page.consoleErrors);
}

(async () => {
  const scenario = process.argv[2];
  const browser = await Browser.launch();
  const watchdog = setTimeout(() => { console.log('FAIL: scenario took over 120 s'); process.exit(1); }, 120000);
  try {
    if (scenario === 'stubbed') await stubbed(browser);
    else if (scenario === 'auth') await withAuth(browser);
    else throw new Error('unknown scenario ' + scenario);
  } catch (e) {
    failures++;
    console.log(`FAIL: ${scenario} stopped: ${e.message}`);
  } finally {
    clearTimeout(watchdog);
    await browser.close();
  }
  console.log(`RESULT ${passes} ${failures}`);
})();
