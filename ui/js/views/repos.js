// repos.js - the repository list: the catalog page by page, each repository's tag count and size.
import { apiJson, describe, missingRoute, namePath, nextLink } from '../api.js';
import { $, el, lazyObserver, showNotice } from '../dom.js';
import { count, human } from '../format.js';
import { generation, markPainted, queue } from '../work.js';

const CATALOG_PAGE = 100; // names per catalog request; later pages come as the list is scrolled

let names = [];
let next = null;
let loading = false;
let failed = false;        // the catalog refused: nothing to count or filter
let usage = null;          // name -> {bytes, tags} from the usage route
let usageMissing = false;  // the registry has no usage route
let rows = new Map();
let tagsObserver = null;
let pageObserver = null;

function filterText() { return $('repo-filter').value.trim().toLowerCase(); }

function updateCount() {
  const f = filterText();
  let shown = 0;
  for (const [name, row] of rows) {
    row.hidden = f !== '' && !name.toLowerCase().includes(f);
    if (!row.hidden) shown++;
  }
  const more = next ? ' (more pages remain)' : '';
  $('repos-count').textContent = failed ? '' : f
    ? `${count(shown)} of ${count(names.length)} loaded match${more}`
    : `${count(names.length)} repositories${more}`;
  $('repos-empty').hidden = shown > 0 || loading || failed;
  if (failed) $('repos-size-note').hidden = true;
  $('repos-more').hidden = !next;
  $('repos-all').hidden = !next || f === '';
}

function tagCell(row, n) {
  const cell = row.cells[1];
  cell.textContent = count(n);
  cell.classList.remove('pending');
}

async function loadTagCount(row, gen) {
  const name = row.dataset.name;
  let n = 0;
  let url = `/v2/${namePath(name)}/tags/list?n=1000`;
  try {
    while (url) {
      const r = await apiJson(url);
      if (gen !== generation) return;
      n += (r.json.tags || []).length;
      url = nextLink(r.headers);
    }
    tagCell(row, n);
  } catch (err) {
    row.cells[1].textContent = err.status ? `error ${err.status}` : 'error';
    row.cells[1].title = describe(err).text;
  }
}

function addRows(list) {
  const frag = document.createDocumentFragment();
  for (const name of list) {
    if (rows.has(name)) continue;
    const u = usage && usage.get(name);
    const row = el('tr', { 'data-name': name },
      el('td', {}, el('a', { href: '#/repo/' + encodeURIComponent(name), text: name })),
      el('td', { class: 'num pending', text: '…' }),
      el('td', { class: 'num', text: u ? human(u.bytes) : '—' }));
    if (u && typeof u.tags === 'number') tagCell(row, u.tags);
    else tagsObserver.observe(row);
    rows.set(name, row);
    frag.append(row);
  }
  $('repos-body').append(frag);
}

// before: a promise to wait for between the answer and the rows (the sizes).
async function loadPage(url, before) {
  loading = true;
  const gen = generation;
  try {
    const r = await apiJson(url);
    if (before) await before;
    if (gen !== generation) return false;
    const list = r.json.repositories || [];
    next = nextLink(r.headers);
    names.push(...list);
    addRows(list);
    return true;
  } catch (err) {
    if (gen === generation) {
      next = null;
      failed = names.length === 0;
      showNotice(err, 'error', 'Repositories could not be listed');
    }
    return false;
  } finally {
    if (gen === generation) { loading = false; updateCount(); }
  }
}

async function loadUsage() {
  try {
    const r = await apiJson('/v2/_admin/usage');
    usage = new Map((r.json.repos || []).map((p) => [p.name, p]));
  } catch (err) {
    usage = null;
    usageMissing = missingRoute(err);
    // A refusal of the listing itself is reported once, by the catalog request.
  }
  const note = $('repos-size-note');
  note.hidden = !!usage;
  note.textContent = usageMissing
    ? 'Sizes are not available: this registry does not offer the usage route.'
    : 'Sizes could not be read from the usage route.';
}

export async function open() {
  const gen = generation;
  teardown();
  names = [];
  next = null;
  failed = false;
  rows = new Map();
  $('repos-body').replaceChildren();
  $('repos-count').textContent = 'Loading…';
  tagsObserver = lazyObserver((row) => queue.push(() => loadTagCount(row, gen)));
  // The usage and the first page are asked for together; the rows wait for the sizes.
  const ok = await loadPage(`/v2/_catalog?n=${CATALOG_PAGE}`, loadUsage());
  if (gen !== generation) return;
  if (ok) markPainted('repos', [...rows.values()].some((row) => row.cells[1].classList.contains('pending')));
  // Further pages come when the end of the list nears the screen, unless a filter is
  // narrowing the list (then "Load all" asks for them explicitly).
  pageObserver = new IntersectionObserver((entries) => {
    if (entries.some((e) => e.isIntersecting) && next && !loading && filterText() === '') loadPage(next);
  }, { rootMargin: '400px 0px' });
  pageObserver.observe($('repos-sentinel'));
}

export function teardown() {
  if (tagsObserver) tagsObserver.disconnect();
  if (pageObserver) pageObserver.disconnect();
  tagsObserver = pageObserver = null;
}

export function setup() {
  $('repo-filter').addEventListener('input', updateCount);
  $('repos-more').addEventListener('click', () => { if (next && !loading) loadPage(next); });
  $('repos-all').addEventListener('click', async () => {
    const gen = generation;
    while (next && gen === generation) { if (!(await loadPage(next))) break; }
  });
}
