// storage.js - the storage view: usage and quota, the largest repositories, the retention preview
// (collection is gc.js).
import { apiJson, missingRoute } from '../api.js';
import { $, el, figures, present, setBar, showNotice } from '../dom.js';
import { count, human, shortDigest } from '../format.js';
import * as gc from './gc.js';

async function loadUsage() {
  const state = $('usage-state');
  state.textContent = 'Loading…';
  $('usage-figures').hidden = $('quota').hidden = $('usage-repos').hidden = true;
  let u;
  try {
    u = (await apiJson('/v2/_admin/usage')).json;
  } catch (err) {
    if (missingRoute(err)) {
      state.textContent = `Usage is not available: this registry does not offer the usage route (${err.status}).`;
    } else {
      state.textContent = '';
      showNotice(err, 'error', 'Usage could not be read');
    }
    return;
  }
  state.textContent = '';
  figures($('usage-figures'), [
    ['Repositories', count(u.repositories), 'repositories'], ['Tags', count(u.tags), 'tags'],
    ['Manifests', count(u.manifests), 'manifests'], ['Blobs', count(u.blobs), 'blobs'],
    ['Stored', human(u.blob_bytes), 'blob_bytes'], ['Uploads in progress', count(u.active_uploads), 'uploads'],
  ]);
  $('usage-figures').hidden = false;
  if (u.quota_bytes > 0) {
    const fraction = u.blob_bytes / u.quota_bytes;
    setBar($('quota-fill'), $('quota').querySelector('.bar'), fraction, true);
    $('quota-label').textContent =
      `${human(u.blob_bytes)} of the ${human(u.quota_bytes)} quota used (${(fraction * 100).toFixed(1)} %)`;
    $('quota').hidden = false;
  }
  const per = (u.repos || []).slice().sort((a, b) => b.bytes - a.bytes).slice(0, 20);
  $('usage-repos-body').replaceChildren(...per.map((p) => el('tr', {},
    el('td', {}, el('a', { href: '#/repo/' + encodeURIComponent(p.name), text: p.name })),
    el('td', { class: 'num', text: count(p.tags) }), el('td', { class: 'num', text: human(p.bytes) }))));
  $('usage-repos').hidden = per.length === 0;
}

async function previewRetention() {
  const state = $('ret-state');
  const button = $('ret-preview');
  button.disabled = true;
  state.textContent = 'Asking the registry…';
  $('ret-table').hidden = true;
  try {
    const rep = (await apiJson('/v2/_admin/retention?dry_run=1', { method: 'POST' })).json;
    const rules = [
      rep.keep_n > 0 ? `keep the ${rep.keep_n} newest tags of each repository` : 'no count limit',
      rep.days > 0 ? `delete tags older than ${rep.days} days` : 'no age limit',
      rep.include_latest ? '“latest” treated like any tag' : '“latest” always kept',
    ].join('; ');
    const listed = (rep.deleted || []).length;
    state.replaceChildren(...present([
      el('p', { text: `Rules: ${rules}.` }),
      el('p', { class: 'ret-summary', text:
        `${count(rep.tags_deleted)} of ${count(rep.tags_total)} tags in ${count(rep.repos_scanned)} ` +
        `repositories would be deleted; ${count(rep.latest_protected)} “latest” spared.` }),
      listed < rep.tags_deleted ? el('p', { class: 'muted', text: `Only the first ${count(listed)} are listed.` }) : null]));
    $('ret-body').replaceChildren(...(rep.deleted || []).map((d) => el('tr', {},
      el('td', { text: d.repository }), el('td', { text: d.tag }),
      el('td', {}, el('code', { title: d.digest, text: shortDigest(d.digest) })),
      el('td', { class: 'num', text: count(d.age_days) }))));
    $('ret-table').hidden = listed === 0;
  } catch (err) {
    state.textContent = missingRoute(err)
      ? `Retention is not available: this registry does not offer the retention route (${err.status}).` : '';
    if (!missingRoute(err)) showNotice(err, 'error', 'Retention preview failed');
  } finally {
    button.disabled = false;
  }
}

export function open() {
  loadUsage();
  gc.refresh();
}

export function setup() {
  $('ret-preview').addEventListener('click', previewRetention);
  gc.setup();
}
