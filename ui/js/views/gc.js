// gc.js - garbage collection from the storage view: its state and progress, a dry or real run,
// cancelling one.
import { api, apiJson, missingRoute } from '../api.js';
import { $, clearNotice, confirmDialog, el, figures, present, setBar, showNotice } from '../dom.js';
import { count, duration, human } from '../format.js';
import { generation } from '../work.js';

const GC_POLL_MS = 1000;
const START_WAIT_MS = 10000;

let timer = null;
let available = true;
let running = false;
let pollGen = -1;
let lastKey = '';      // which run the record shown tells of
let awaiting = null;   // a start the registry accepted that no record has shown yet
const runKey = (p) => JSON.stringify([p.started_unix, p.last_result || null]);

function buttons() {
  $('gc-dry').disabled = $('gc-run').disabled = !available || running;
  $('gc-cancel').disabled = !available || !running;
}

function render(p) {
  // A detached run may not have written its first record when the next poll comes: until a
  // record of a new run shows, the previous one is not taken for this run's end.
  if (awaiting && !p.running && runKey(p) === awaiting.key && Date.now() < awaiting.deadline) {
    running = true;
    $('gc-state').replaceChildren(el('p', { class: 'state-running', 'data-phase': 'starting',
                                            'data-running': 'true', text: 'Starting…' }));
    buttons();
    return;
  }
  awaiting = null;
  lastKey = runKey(p);
  running = !!p.running;
  const state = $('gc-state');
  let text;
  if (p.running) text = `Running${p.dry_run ? ' (dry run)' : ''}: ${p.phase}`;
  else if (p.phase === 'idle') text = 'No collection has run in the last ten minutes.';
  else text = `Last run ${p.cancelled ? 'was cancelled' : 'finished'}${p.dry_run ? ' (dry run)' : ''}.`;
  // A run the registry refused (uploads in progress, an unreadable manifest) leaves its reason
  // beside the progress record.
  const refused = !p.running && p.last_result && typeof p.last_result.error === 'string' ? p.last_result.error : '';
  state.replaceChildren(...present([
    el('p', { class: p.running ? 'state-running' : 'state-done', 'data-phase': p.phase,
              'data-running': String(running), text }),
    refused ? el('p', { class: 'gc-refused', text: `The last run started was refused: ${refused}.` }) : null]));
  const box = $('gc-progress');
  box.hidden = p.phase === 'idle' && !p.running;
  const total = p.blobs_total || 0;
  setBar($('gc-fill'), box.querySelector('.bar'), total > 0 ? p.blobs_scanned / total : (p.running ? 0 : 1));
  $('gc-label').textContent = total > 0
    ? `${count(p.blobs_scanned)} of ${count(total)} blobs scanned` : (p.running ? 'Counting blobs…' : '');
  figures($('gc-figures'), [
    ['Phase', p.phase, 'phase'],
    [p.dry_run ? 'Blobs that would go' : 'Blobs removed', count(p.blobs_deleted), 'blobs_deleted'],
    [p.dry_run ? 'Bytes that would be freed' : 'Bytes freed', human(p.bytes_freed), 'bytes_freed'],
    ['Elapsed', duration(p.elapsed_ms || 0), 'elapsed'],
    ['Started', p.started_unix > 0 ? new Date(p.started_unix * 1000).toLocaleTimeString() : '—', 'started'],
  ]);
  buttons();
}

function unavailable(err) {
  available = false;
  running = false;
  $('gc-state').textContent =
    `Garbage collection is not available: this registry does not offer the collection route (${err.status}).`;
  $('gc-progress').hidden = true;
  buttons();
}

async function poll(gen) {
  timer = null;
  if (gen !== generation) return;
  try {
    const r = await apiJson('/v2/_admin/gc');
    if (gen !== generation) return;
    available = true;
    render(r.json);
  } catch (err) {
    if (gen !== generation) return;
    if (missingRoute(err)) { unavailable(err); return; }
    showNotice(err, 'error', 'Collection progress could not be read');
    running = false;
    buttons();
    return;
  }
  if (running) timer = setTimeout(() => poll(gen), GC_POLL_MS);
}

export function refresh() {
  stop();
  pollGen = generation;
  poll(pollGen);
}

export function stop() {
  if (timer) clearTimeout(timer);
  timer = null;
}

async function start(dryRun) {
  if (!dryRun) {
    const ok = await confirmDialog('Collect garbage now?',
      'Blobs that no manifest names are deleted from the store. Uploads in progress can make the registry refuse the run.',
      'Collect garbage');
    if (!ok) return;
  }
  clearNotice();
  try {
    await api('/v2/_admin/gc' + (dryRun ? '?dry_run=1' : ''), { method: 'POST' });
    awaiting = { key: lastKey, deadline: Date.now() + START_WAIT_MS };
  } catch (err) {
    if (err.status === 409) {
      showNotice({ title: 'A collection is already running', text: 'Its progress is shown below.' }, 'info');
      try { render(JSON.parse(err.body)); } catch (e) { /* the next poll shows it */ }
    } else if (missingRoute(err)) {
      unavailable(err);
      return;
    } else {
      showNotice(err, 'error', 'The collection did not start');
    }
  }
  running = true;
  buttons();
  refresh();
}

async function cancel() {
  try {
    await api('/v2/_admin/gc', { method: 'DELETE' });
    showNotice({ title: 'Cancel requested', text: 'The run stops at its next check.' }, 'info');
  } catch (err) {
    showNotice(err, 'error', 'The cancel request was refused');
  }
  refresh();
}

export function setup() {
  $('gc-dry').addEventListener('click', () => start(true));
  $('gc-run').addEventListener('click', () => start(false));
  $('gc-cancel').addEventListener('click', cancel);
}
