// repo.js - one repository: its tags with digest, type, platforms, size and the time each was
// stored, details with pull commands, and deletion of a tag or a manifest.
import { api, apiJson, describe, namePath, nextLink } from '../api.js';
import { $, confirmDialog, el, lazyObserver, showNotice } from '../dom.js';
import { age, count, human, platformName, shortDigest } from '../format.js';
import { MANIFEST_ACCEPT, TYPE_NAMES, manifestFacts, pullBytes } from '../manifest.js';
import { generation, markPainted, newGeneration, queue } from '../work.js';

const TAGS_PAGE = 100; // tags per tag-list request
const DIGEST = /^sha256:[0-9a-f]{64}$/;

let name = '';
let next = null;
let loading = false;
let rows = new Map();      // tag -> row
let infos = new Map();     // tag -> manifest facts
let children = new Map();  // digest -> promise of a child manifest's facts
let observer = null;
let pageObserver = null;
let detailsSeq = 0;

function filterText() { return $('tag-filter').value.trim().toLowerCase(); }

function updateCount() {
  const f = filterText();
  let shown = 0;
  for (const [tag, row] of rows) {
    row.hidden = f !== '' && !tag.toLowerCase().includes(f);
    const details = row.nextElementSibling;
    if (details && details.classList.contains('details')) details.hidden = row.hidden || !row.dataset.open;
    if (!row.hidden) shown++;
  }
  const more = next ? ' (more pages remain)' : '';
  $('tags-count').textContent = f ? `${count(shown)} of ${count(rows.size)} loaded match${more}`
                                  : `${count(rows.size)} tags${more}`;
  $('tags-empty').hidden = shown > 0 || loading;
  $('tags-more').hidden = !next;
}

const manifestPath = (ref) => `/v2/${namePath(name)}/manifests/${encodeURIComponent(ref)}`;

// A manifest an index lists, asked for once per view whoever needs it first.
function childFacts(digest) {
  if (!DIGEST.test(digest || '')) return Promise.reject(new Error('not a sha256 digest: ' + digest));
  let pending = children.get(digest);
  if (!pending) {
    pending = api(`/v2/${namePath(name)}/manifests/${digest}`, { headers: { Accept: MANIFEST_ACCEPT } })
      .then(manifestFacts);
    pending.catch(() => { if (children.get(digest) === pending) children.delete(digest); }); // asked again next time
    children.set(digest, pending);
  }
  return pending;
}

function storedTime(date) {
  return el('time', { datetime: date.toISOString(), title: date.toLocaleString(), text: `${age(date)} ago` });
}

function fillRow(row, facts) {
  const [, digestCell, typeCell, platCell, sizeCell, storedCell] = row.cells;
  digestCell.replaceChildren(el('code', { title: facts.digest, text: shortDigest(facts.digest) }));
  typeCell.textContent = TYPE_NAMES[facts.mediaType] || facts.mediaType || '—';
  typeCell.title = facts.mediaType;
  platCell.replaceChildren(...facts.children.filter((c) => !c.attestation)
    .map((c) => el('span', { class: 'platform', text: platformName(c.platform) })));
  if (!facts.isIndex) {
    sizeCell.textContent = human(facts.size);
    sizeCell.dataset.bytes = String(facts.size);
    sizeCell.title = 'config and layers';
    sizeCell.classList.remove('pending');
  }
  // Only a registry that tells when a manifest answer was stored gets the column.
  if (facts.stored) {
    $('tags-table').classList.add('has-age');
    storedCell.replaceChildren(storedTime(facts.stored));
  }
  for (const c of [digestCell, typeCell]) c.classList.remove('pending');
  row.dataset.loaded = '1';
}

// An index is as large as what a pull of all it lists fetches, so its children are read too.
async function fillIndexSize(row, facts, gen) {
  const pull = await pullBytes(facts, childFacts);
  if (gen !== generation) return;
  const cell = row.cells[4];
  cell.textContent = (pull.unread ? '≥ ' : '') + human(pull.bytes);
  cell.dataset.bytes = String(pull.bytes);
  cell.title = 'what a pull of every platform fetches: the index, its manifests and their configs and ' +
    'layers, each blob once' + (pull.unread ? `; ${pull.unread} listed manifest(s) could not be read and ` +
    'count only by their own size' : '');
  cell.classList.remove('pending');
}

async function loadManifest(row, gen) {
  const tag = row.dataset.tag;
  let facts;
  try {
    facts = manifestFacts(await api(manifestPath(tag), { headers: { Accept: MANIFEST_ACCEPT } }));
  } catch (err) {
    if (gen !== generation) return;
    row.cells[1].textContent = describe(err).title;
    row.dataset.loaded = 'error';
    return;
  }
  if (gen !== generation) return;
  infos.set(tag, facts);
  fillRow(row, facts);
  if (facts.isIndex) await fillIndexSize(row, facts, gen);
}

function pullCommand(ref) {
  const insecure = location.protocol === 'http:' ? '--tls-verify=false ' : '';
  return `podman pull ${insecure}${location.host}/${name}${ref}`;
}

function copyButton(text, label) {
  const button = el('button', { type: 'button', class: 'small', 'aria-label': label, text: 'Copy' });
  button.addEventListener('click', async () => {
    try {
      await navigator.clipboard.writeText(text);
      button.textContent = 'Copied';
    } catch (e) {
      const code = button.previousElementSibling;
      const range = document.createRange();
      range.selectNodeContents(code);
      getSelection().removeAllRanges();
      getSelection().addRange(range);
      button.textContent = 'Selected: press Ctrl+C';
    }
    setTimeout(() => { button.textContent = 'Copy'; }, 2000);
  });
  return button;
}

function pullLine(ref, label) {
  const cmd = pullCommand(ref);
  return el('div', { class: 'pull' }, el('code', { class: 'pull-cmd', text: cmd }), copyButton(cmd, label));
}

// The index's platforms, each with the size of its image (config and layers).
function platformsTable(facts) {
  const body = el('tbody');
  const gen = generation;
  for (const c of facts.children) {
    const sizeCell = el('td', { class: 'num pending', text: '…' });
    body.append(el('tr', {},
      el('td', { text: platformName(c.platform) + (c.attestation ? ' (attestation)' : '') }),
      el('td', {}, el('code', { title: c.digest, text: shortDigest(c.digest) })),
      sizeCell));
    queue.push(async () => {
      try {
        const child = await childFacts(c.digest);
        if (gen === generation) { sizeCell.textContent = human(child.size); sizeCell.classList.remove('pending'); }
      } catch (err) {
        if (gen === generation) sizeCell.textContent = describe(err).title;
      }
    });
  }
  return el('table', { class: 'grid compact platforms' },
    el('caption', { text: 'Platforms in this index (image size: config and layers)' }),
    el('thead', {}, el('tr', {}, el('th', { scope: 'col', text: 'Platform' }),
      el('th', { scope: 'col', text: 'Manifest' }), el('th', { scope: 'col', class: 'num', text: 'Image size' }))),
    body);
}

function detailsContent(tag, facts) {
  const dl = el('dl', { class: 'detail-grid' });
  const add = (label, value) => dl.append(el('dt', { text: label }), el('dd', {}, value));
  add('Digest', el('code', { text: facts.digest }));
  add('Media type', el('code', { text: facts.mediaType || '—' }));
  if (facts.stored) add('Stored', el('time', { datetime: facts.stored.toISOString(), text: facts.stored.toLocaleString() }));
  add('Pull by tag', pullLine(':' + tag, `Copy the pull command for ${tag}`));
  add('Pull by digest', pullLine('@' + facts.digest, `Copy the pull command for ${facts.digest}`));
  const others = [...infos].filter(([t, f]) => t !== tag && f.digest === facts.digest).map(([t]) => t);
  if (others.length) add('Also tagged', others.join(', '));

  const parts = [dl];
  if (facts.isIndex) parts.push(platformsTable(facts));
  parts.push(el('div', { class: 'buttons' },
    el('button', { type: 'button', class: 'danger', 'data-action': 'delete-tag',
                   onclick: () => deleteTag(tag) }, `Delete tag ${tag}`),
    el('button', { type: 'button', class: 'danger', 'data-action': 'delete-manifest',
                   onclick: () => deleteManifest(tag, facts) }, 'Delete manifest…')));
  return parts;
}

async function toggleDetails(row, button) {
  const tag = row.dataset.tag;
  let details = row.nextElementSibling;
  if (details && details.classList.contains('details')) {
    const open = details.hidden;
    details.hidden = !open;
    row.dataset.open = open ? '1' : '';
    button.setAttribute('aria-expanded', String(open));
    return;
  }
  let facts = infos.get(tag);
  if (!facts) {
    await loadManifest(row, generation);
    facts = infos.get(tag);
    if (!facts) return;
  }
  const cell = el('td', { colspan: '7', id: `details-${++detailsSeq}` });
  cell.append(...detailsContent(tag, facts));
  details = el('tr', { class: 'details' }, cell);
  row.after(details);
  row.dataset.open = '1';
  button.setAttribute('aria-controls', cell.id);
  button.setAttribute('aria-expanded', 'true');
}

function addRows(tags) {
  const frag = document.createDocumentFragment();
  for (const tag of tags) {
    if (rows.has(tag)) continue;
    const button = el('button', { type: 'button', class: 'small', 'aria-expanded': 'false',
                                  'aria-label': `Details of ${tag}`, text: 'Details' });
    const row = el('tr', { 'data-tag': tag },
      el('td', {}, el('strong', { text: tag })),
      el('td', { class: 'pending', text: '…' }), el('td', { class: 'pending' }), el('td'),
      el('td', { class: 'num pending' }), el('td', { class: 'age' }),
      el('td', {}, button));
    button.addEventListener('click', () => toggleDetails(row, button));
    rows.set(tag, row);
    observer.observe(row);
    frag.append(row);
  }
  $('tags-body').append(frag);
}

async function loadPage(url) {
  loading = true;
  const gen = generation;
  try {
    const r = await apiJson(url);
    if (gen !== generation) return false;
    next = nextLink(r.headers);
    addRows(r.json.tags || []);
    return true;
  } catch (err) {
    if (gen === generation) {
      next = null;
      showNotice(err, 'error', `Tags of ${name} could not be listed`);
    }
    return false;
  } finally {
    if (gen === generation) { loading = false; updateCount(); }
  }
}

export async function open(repoName, notice) {
  const gen = generation;
  teardown();
  name = repoName;
  next = null;
  rows = new Map();
  infos = new Map();
  children = new Map();
  $('repo-title').textContent = name;
  document.title = `${name} - Registry`;
  $('tags-body').replaceChildren();
  $('tags-table').classList.remove('has-age');
  $('tags-count').textContent = 'Loading…';
  if (notice) showNotice(notice, 'info');
  observer = lazyObserver((row) => queue.push(() => loadManifest(row, gen)));
  const ok = await loadPage(`/v2/${namePath(name)}/tags/list?n=${TAGS_PAGE}`);
  if (gen !== generation || !ok) return;
  markPainted('tags', rows.size > 0);
  pageObserver = new IntersectionObserver((entries) => {
    if (entries.some((e) => e.isIntersecting) && next && !loading) loadPage(next);
  }, { rootMargin: '400px 0px' });
  pageObserver.observe($('tags-sentinel'));
}

export function teardown() {
  if (observer) observer.disconnect();
  if (pageObserver) pageObserver.disconnect();
  observer = pageObserver = null;
  document.title = 'Registry';
}

async function deleteRef(ref, what) {
  try {
    await api(manifestPath(ref), { method: 'DELETE' });
  } catch (err) {
    showNotice(err, 'error', `The registry did not delete ${what}`);
    $('main').focus();
    return;
  }
  newGeneration();
  open(name, { title: `Deleted ${what}.`, text: '' });
}

async function deleteTag(tag) {
  const ok = await confirmDialog(`Delete tag ${tag}?`,
    `The tag “${tag}” is removed from ${name}. The manifest it names stays, reachable by its digest ` +
    'and any other tag, until it is deleted itself.', 'Delete tag');
  if (ok) await deleteRef(tag, `tag ${tag}`);
}

async function deleteManifest(tag, facts) {
  const tags = [...infos].filter(([, f]) => f.digest === facts.digest).map(([t]) => t);
  const ok = await confirmDialog(`Delete manifest ${shortDigest(facts.digest)}?`,
    `The manifest ${facts.digest} is deleted from ${name} together with every tag that names it ` +
    `(among the tags loaded here: ${tags.join(', ') || tag}). Its blobs are freed by the next garbage collection.`,
    'Delete manifest');
  if (ok) await deleteRef(facts.digest, `manifest ${shortDigest(facts.digest)}`);
}

export function setup() {
  $('tag-filter').addEventListener('input', updateCount);
  $('tags-more').addEventListener('click', () => { if (next && !loading) loadPage(next); });
}
