// work.js - the view generation and the queue of per-row detail requests.

const PARALLEL = 4; // requests in flight for per-row details (each one may be a CGI process)

// Bumped on every view change; late answers for an old view compare their generation and are
// dropped. Importers see the current value (a live binding); only newGeneration changes it.
export let generation = 0;

export const queue = (() => {
  let active = 0;
  const waiting = [];
  let idleWaiters = [];
  function pump(finished) {
    while (active < PARALLEL && waiting.length) {
      const job = waiting.shift();
      active++;
      job().catch(() => {}).finally(() => { active--; pump(true); });
    }
    if (finished && active === 0 && waiting.length === 0) {
      const w = idleWaiters;
      idleWaiters = [];
      w.forEach((f) => f());
    }
  }
  return {
    push(job) { waiting.push(job); pump(false); },
    clear() { waiting.length = 0; },
    // Resolves when the queue next runs dry after a job, not while it merely has nothing yet.
    idle() { return new Promise((resolve) => { idleWaiters.push(resolve); }); },
  };
})();

// A new view: what was queued for the old one is dropped.
export function newGeneration() {
  generation++;
  queue.clear();
}

// Notes for the benchmark: when a view first shows its rows on screen, and when the details
// of the rows on screen (asked for once the first frame has laid them out) have all come.
// detailed: whether the rows ask for details at all (the repository list's rows need none
// when the usage route gave every tag count); when they do not, they are filled when painted.
export function markPainted(name, detailed) {
  const gen = generation;
  performance.mark(name + '-rendered');
  requestAnimationFrame(() => requestAnimationFrame(() => {
    performance.mark(name + '-painted');
    const filled = () => { if (gen === generation) performance.mark(name + '-details-filled'); };
    if (detailed) queue.idle().then(filled);
    else filled();
  }));
}
