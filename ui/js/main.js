// main.js - the registry page: repositories, one repository's tags, storage and maintenance, all
// read from the registry's own /v2 API in the browser. Served as ES modules; no build step, no
// framework. The location's fragment names the view.
import { $, clearNotice } from './dom.js';
import * as gc from './views/gc.js';
import * as repoView from './views/repo.js';
import * as reposView from './views/repos.js';
import * as storageView from './views/storage.js';
import { newGeneration } from './work.js';

const VIEWS = ['repos', 'repo', 'storage'];

function showView(name) {
  for (const v of VIEWS) $('view-' + v).hidden = v !== name;
  for (const a of document.querySelectorAll('[data-nav]')) {
    if (a.dataset.nav === (name === 'repo' ? 'repos' : name)) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
}

function route() {
  newGeneration();
  gc.stop();
  clearNotice();
  const hash = location.hash.replace(/^#/, '');
  const repoMatch = /^\/repo\/(.+)$/.exec(hash);
  if (repoMatch) {
    let name;
    try { name = decodeURIComponent(repoMatch[1]); } catch (e) { name = repoMatch[1]; }
    showView('repo');
    reposView.teardown();
    repoView.open(name);
  } else if (hash === '/storage') {
    showView('storage');
    repoView.teardown();
    reposView.teardown();
    storageView.open();
  } else {
    showView('repos');
    repoView.teardown();
    reposView.open();
  }
}

reposView.setup();
repoView.setup();
storageView.setup();
window.addEventListener('hashchange', route);
route();
