// registry.js - the registry page: repositories, one repository's tags, storage and maintenance,
// all read from the registry's own /v2 API in the browser. No build step, no framework.
(function () {
  'use strict';

  const CATALOG_PAGE = 100;   // names per catalog request; later pages come as the list is scrolled
  const TAGS_PAGE = 100;      // tags per tag-list request
  const PARALLEL = 4;         // requests in flight for per-row details (each one is a CGI process)
  const GC_POLL_MS = 1000;
  const INDEX_TYPES = new Set([
    'application/vnd.oci.image.index.v1+json',
    'application/vnd.docker.distribution.manifest.list.v2+json',
  ]);
  const TYPE_NAMES = {
    'application/vnd.oci.image.manifest.v1+json': 'OCI image',
    'application/vnd.oci.image.index.v1+json': 'OCI index',
    'application/vnd.docker.distribution.manifest.v2+json': 'Docker image',
    'application/vnd.docker.distribution.manifest.list.v2+json': 'Docker manifest list',
  };
  const MANIFEST_ACCEPT = Object.keys(TYPE_NAMES).join(', ');

  const $ = (id) => document.getElementById(id);

  const present = (list) => list.filter((x) => x !== null && x !== undefined);

  // Builds an element; children are nodes or texts (texts never parsed as markup).
  function el(tag, props, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(props || {})) {
      if (key === 'class') node.className = value;
      else if (key === 'text') node.textContent = value;
      else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else node.setAttribute(key, value);
    }
    node.append(...present(children));
    return node;
  }

  // ---- API access -------------------------------------------------------------------------

  class ApiError extends Error {
    constructor(status, code, message, body) {
      super(message);
      this.status = status;
      this.code = code;
      this.body = body;
    }
  }

  // One request; answers {status, headers, text, bytes} or throws an ApiError carrying the
  // registry's own error code and message when it gave one.
  async function api(path, options) {
    const opts = options || {};
    let resp;
    try {
      const method = opts.method || 'GET';
      resp = await fetch(path, {
        method,
        headers: opts.headers || {},
        // The server wants a length on every POST, even an empty one.
        body: method === 'POST' ? '' : undefined,
        cache: 'no-store',
        credentials: 'same-origin',
      });
    } catch (e) {
      throw new ApiError(0, 'NETWORK', 'the registry could not be reached');
    }
    const buffer = await resp.arrayBuffer();
    const text = new TextDecoder().decode(buffer);
    if (!resp.ok) {
      let code = '', message = '';
      try {
        const first = JSON.parse(text).errors[0];
        code = first.code || '';
        message = first.message || '';
      } catch (e) { /* not a registry error body: the status says it all */ }
      throw new ApiError(resp.status, code, message || resp.statusText || 'request failed', text);
    }
    return { status: resp.status, headers: resp.headers, text, bytes: buffer.byteLength };
  }

  async function apiJson(path, options) {
    const r = await api(path, options);
    try {
      r.json = JSON.parse(r.text);
    } catch (e) {
      throw new ApiError(r.status, 'BAD_RESPONSE', 'the registry answered with text that is not JSON');
    }
    return r;
  }

  // The path of the next page from a Link header, if any.
  function nextLink(headers) {
    const link = headers.get('Link');
    const m = link && /<([^>]+)>\s*;\s*rel="?next"?/.exec(link);
    return m ? m[1] : null;
  }

  // Names keep their slashes as path separators; each component is escaped on its own.
  const namePath = (name) => name.split('/').map(encodeURIComponent).join('/');

  // A route the registry does not offer (older or trimmed deployments) rather than a failure.
  const missingRoute = (err) => err instanceof ApiError && (err.status === 404 || err.status === 405) &&
    (err.code === 'UNSUPPORTED' || err.code === '');

  // ---- Messages -----------------------------------------------------------------------------

  function describe(err) {
    if (!(err instanceof ApiError)) return { title: 'Something went wrong in the page', text: String(err) };
    const detail = err.code ? `${err.message} (${err.code})` : err.message;
    switch (true) {
      case err.status === 0:
        return { title: 'The registry could not be reached', text: 'Check that the server is running, then reload the page.' };
      case err.status === 401:
        return {
          title: 'Sign-in needed (401)',
          text: 'The registry refused the request without credentials. Reload the page and enter your user name ' +
                'and password when the browser asks; this page stores nothing itself.',
        };
      case err.status === 403: return { title: 'Not permitted (403)', text: detail };
      case err.status === 404: return { title: 'Not found (404)', text: detail };
      case err.status === 405: return { title: 'Not allowed by this registry (405)', text: detail };
      case err.status >= 500: return { title: `The registry failed (${err.status})`, text: detail };
      default: return { title: `The registry refused the request (${err.status})`, text: detail };
    }
  }

  function showNotice(what, kind, prefix) {
    const box = $('notice');
    const msg = what instanceof Error || what instanceof ApiError ? describe(what) : what;
    box.className = 'notice' + (kind === 'info' ? ' info' : '');
    box.replaceChildren(...present([el('strong', { text: (prefix ? prefix + ': ' : '') + msg.title }),
                                    msg.text ? el('span', { text: msg.text }) : null]));
    box.hidden = false;
  }

  function clearNotice() { $('notice').hidden = true; }

  // ---- Formatting ---------------------------------------------------------------------------

  function human(bytes) {
    if (typeof bytes !== 'number' || !isFinite(bytes)) return '—';
    const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];
    let value = bytes, i = 0;
    while (value >= 1024 && i < units.length - 1) { value /= 1024; i++; }
    return i === 0 ? `${bytes} B` : `${value.toFixed(value < 10 ? 2 : 1)} ${units[i]}`;
  }

  const count = (n) => (typeof n === 'number' ? n.toLocaleString('en-US') : '—');

  function duration(ms) {
    const s = Math.max(0, ms) / 1000;
    if (s < 60) return `${s.toFixed(1)} s`;
    const m = Math.floor(s / 60);
    return m < 60 ? `${m} min ${Math.round(s - m * 60)} s` : `${Math.floor(m / 60)} h ${m % 60} min`;
  }

  function age(date) {
    const s = (Date.now() - date.getTime()) / 1000;
    if (s < 3600) return `${Math.max(1, Math.round(s / 60))} min`;
    if (s < 86400) return `${Math.round(s / 3600)} h`;
    return `${Math.round(s / 86400)} days`;
  }

  const shortDigest = (d) => (d ? d.replace(/^sha256:/, '').slice(0, 12) : '');

  function platformName(p) {
    if (!p) return 'unknown';
    return [p.os || '?', p.architecture || '?'].concat(p.variant ? [p.variant] : []).join('/');
  }

  // warn: colour the bar as it nears its end (a quota), rather than as progress.
  function setBar(fill, bar, fraction, warn) {
    const pct = Math.max(0, Math.min(1, fraction)) * 100;
    fill.style.width = pct.toFixed(1) + '%';
    fill.classList.toggle('high', !!warn && pct >= 80 && pct < 100);
    fill.classList.toggle('full', !!warn && pct >= 100);
    bar.setAttribute('aria-valuenow', pct.toFixed(0));
  }

  function figures(list, items) {
    list.replaceChildren(...items.map(([label, value, id]) =>
      el('div', id ? { 'data-figure': id } : {}, el('dt', { text: label }), el('dd', { text: value }))));
  }

  // Notes for the benchmark: when a view first shows its rows on screen, and when the details
  // of the rows on screen (asked for once the first frame has laid them out) have all come.
  function markPainted(name) {
    const gen = generation;
    performance.mark(name + '-rendered');
    requestAnimationFrame(() => requestAnimationFrame(() => {
      performance.mark(name + '-painted');
      queue.idle().then(() => { if (gen === generation) performance.mark(name + '-details-filled'); });
    }));
  }

  // ---- Work queue for per-row details ------------------------------------------------------

  let generation = 0; // bumped on every view change; late answers for an old view are dropped

  const queue = (() => {
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

  // Calls load(row) once, when the row comes near the screen.
  function lazyObserver(load) {
    const io = new IntersectionObserver((entries) => {
      for (const e of entries) {
        if (!e.isIntersecting) continue;
        io.unobserve(e.target);
        load(e.target);
      }
    }, { rootMargin: '300px 0px' });
    return io;
  }

  // ---- Views --------------------------------------------------------------------------------

  const VIEWS = ['repos', 'repo', 'storage'];

  function showView(name) {
    for (const v of VIEWS) $('view-' + v).hidden = v !== name;
    for (const a of document.querySelectorAll('[data-nav]')) {
      if (a.dataset.nav === (name === 'repo' ? 'repos' : name)) a.setAttribute('aria-current', 'page');
      else a.removeAttribute('aria-current');
    }
  }

  function route() {
    generation++;
    queue.clear();
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

  // ---- Repository list ----------------------------------------------------------------------

  const reposView = (() => {
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

    async function open() {
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
      if (ok) markPainted('repos');
      // Further pages come when the end of the list nears the screen, unless a filter is
      // narrowing the list (then "Load all" asks for them explicitly).
      pageObserver = new IntersectionObserver((entries) => {
        if (entries.some((e) => e.isIntersecting) && next && !loading && filterText() === '') loadPage(next);
      }, { rootMargin: '400px 0px' });
      pageObserver.observe($('repos-sentinel'));
    }

    function teardown() {
      if (tagsObserver) tagsObserver.disconnect();
      if (pageObserver) pageObserver.disconnect();
      tagsObserver = pageObserver = null;
    }

    $('repo-filter').addEventListener('input', updateCount);
    $('repos-more').addEventListener('click', () => { if (next && !loading) loadPage(next); });
    $('repos-all').addEventListener('click', async () => {
      const gen = generation;
      while (next && gen === generation) { if (!(await loadPage(next))) break; }
    });

    return { open, teardown };
  })();

  // ---- One repository -----------------------------------------------------------------------

  const repoView = (() => {
    let name = '';
    let next = null;
    let loading = false;
    let rows = new Map();   // tag -> row
    let infos = new Map();  // tag -> manifest facts
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

    // What the page shows of one manifest, read from its body and headers.
    function manifestFacts(r) {
      let body = {};
      try { body = JSON.parse(r.text); } catch (e) { /* sized by its bytes alone */ }
      const mediaType = (r.headers.get('Content-Type') || body.mediaType || '').split(';')[0].trim();
      const facts = {
        digest: r.headers.get('Docker-Content-Digest') || '',
        mediaType,
        bytes: r.bytes,
        isIndex: INDEX_TYPES.has(mediaType) || Array.isArray(body.manifests),
        children: [],
        size: r.bytes,
        lastModified: r.headers.get('Last-Modified'),
      };
      if (facts.isIndex) {
        // An index weighs itself and the child manifests it lists; their layers are shown per
        // platform in the details.
        facts.children = (body.manifests || []).map((m) => ({
          digest: m.digest, size: m.size, mediaType: m.mediaType, platform: m.platform,
          attestation: !!(m.annotations && m.annotations['vnd.docker.reference.type']),
        }));
        facts.size = r.bytes + facts.children.reduce((sum, c) => sum + (Number(c.size) || 0), 0);
      } else if (body.config || body.layers) {
        facts.size = (Number(body.config && body.config.size) || 0) +
          (body.layers || []).reduce((sum, l) => sum + (Number(l.size) || 0), 0);
      }
      return facts;
    }

    function fillRow(row, facts) {
      const [, digestCell, typeCell, platCell, sizeCell, ageCell] = row.cells;
      digestCell.replaceChildren(el('code', { title: facts.digest, text: shortDigest(facts.digest) }));
      typeCell.textContent = TYPE_NAMES[facts.mediaType] || facts.mediaType || '—';
      typeCell.title = facts.mediaType;
      platCell.replaceChildren(...facts.children.filter((c) => !c.attestation)
        .map((c) => el('span', { class: 'platform', text: platformName(c.platform) })));
      sizeCell.textContent = human(facts.size);
      sizeCell.title = facts.isIndex ? 'the index and the child manifests it lists' : 'config and layers';
      if (facts.lastModified && !isNaN(Date.parse(facts.lastModified))) {
        $('tags-table').classList.add('has-age');
        ageCell.textContent = age(new Date(facts.lastModified));
        ageCell.title = facts.lastModified;
      }
      for (const c of [digestCell, typeCell, sizeCell]) c.classList.remove('pending');
      row.dataset.loaded = '1';
    }

    async function loadManifest(row, gen) {
      const tag = row.dataset.tag;
      try {
        const r = await api(`/v2/${namePath(name)}/manifests/${encodeURIComponent(tag)}`,
                            { headers: { Accept: MANIFEST_ACCEPT } });
        if (gen !== generation) return;
        const facts = manifestFacts(r);
        infos.set(tag, facts);
        fillRow(row, facts);
      } catch (err) {
        if (gen !== generation) return;
        row.cells[1].textContent = describe(err).title;
        row.dataset.loaded = 'error';
      }
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

    async function childSize(child) {
      const r = await api(`/v2/${namePath(name)}/manifests/${child.digest}`, { headers: { Accept: MANIFEST_ACCEPT } });
      return manifestFacts(r).size;
    }

    function detailsContent(tag, facts) {
      const dl = el('dl', { class: 'detail-grid' });
      const add = (label, value) => dl.append(el('dt', { text: label }), el('dd', {}, value));
      add('Digest', el('code', { text: facts.digest }));
      add('Media type', el('code', { text: facts.mediaType || '—' }));
      add('Pull by tag', pullLine(':' + tag, `Copy the pull command for ${tag}`));
      add('Pull by digest', pullLine('@' + facts.digest, `Copy the pull command for ${facts.digest}`));
      const others = [...infos].filter(([t, f]) => t !== tag && f.digest === facts.digest).map(([t]) => t);
      if (others.length) add('Also tagged', others.join(', '));

      const parts = [dl];
      if (facts.isIndex) {
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
              const size = await childSize(c);
              if (gen === generation) { sizeCell.textContent = human(size); sizeCell.classList.remove('pending'); }
            } catch (err) {
              if (gen === generation) sizeCell.textContent = describe(err).title;
            }
          });
        }
        parts.push(el('table', { class: 'grid compact platforms' },
          el('caption', { text: 'Platforms in this index (image size: config and layers)' }),
          el('thead', {}, el('tr', {}, el('th', { scope: 'col', text: 'Platform' }),
            el('th', { scope: 'col', text: 'Manifest' }), el('th', { scope: 'col', class: 'num', text: 'Image size' }))),
          body));
      }
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

    async function open(repoName, notice) {
      const gen = generation;
      teardown();
      name = repoName;
      next = null;
      rows = new Map();
      infos = new Map();
      $('repo-title').textContent = name;
      document.title = `${name} - Registry`;
      $('tags-body').replaceChildren();
      $('tags-table').classList.remove('has-age');
      $('tags-count').textContent = 'Loading…';
      if (notice) showNotice(notice, 'info');
      observer = lazyObserver((row) => queue.push(() => loadManifest(row, gen)));
      const ok = await loadPage(`/v2/${namePath(name)}/tags/list?n=${TAGS_PAGE}`);
      if (gen !== generation || !ok) return;
      markPainted('tags');
      pageObserver = new IntersectionObserver((entries) => {
        if (entries.some((e) => e.isIntersecting) && next && !loading) loadPage(next);
      }, { rootMargin: '400px 0px' });
      pageObserver.observe($('tags-sentinel'));
    }

    function teardown() {
      if (observer) observer.disconnect();
      if (pageObserver) pageObserver.disconnect();
      observer = pageObserver = null;
      document.title = 'Registry';
    }

    async function deleteRef(ref, what) {
      try {
        await api(`/v2/${namePath(name)}/manifests/${encodeURIComponent(ref)}`, { method: 'DELETE' });
      } catch (err) {
        showNotice(err, 'error', `The registry did not delete ${what}`);
        $('main').focus();
        return;
      }
      generation++;
      queue.clear();
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

    $('tag-filter').addEventListener('input', updateCount);
    $('tags-more').addEventListener('click', () => { if (next && !loading) loadPage(next); });

    return { open, teardown };
  })();

  // ---- Confirmation -------------------------------------------------------------------------

  function confirmDialog(title, text, okLabel) {
    const dialog = $('confirm');
    $('confirm-title').textContent = title;
    $('confirm-text').textContent = text;
    $('confirm-yes').textContent = okLabel;
    dialog.returnValue = '';
    return new Promise((resolve) => {
      dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
      dialog.showModal();
      $('confirm-no').focus();
    });
  }

  // ---- Storage, collection and retention ----------------------------------------------------

  const storageView = (() => {
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

    function open() {
      loadUsage();
      gc.refresh();
    }

    $('ret-preview').addEventListener('click', previewRetention);
    return { open };
  })();

  const gc = (() => {
    let timer = null;
    let available = true;
    let running = false;
    let pollGen = -1;
    let lastKey = '';      // which run the record shown tells of
    let awaiting = null;   // a start the registry accepted that no record has shown yet
    const START_WAIT_MS = 10000;
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

    function refresh() {
      stop();
      pollGen = generation;
      poll(pollGen);
    }

    function stop() {
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

    $('gc-dry').addEventListener('click', () => start(true));
    $('gc-run').addEventListener('click', () => start(false));
    $('gc-cancel').addEventListener('click', cancel);
    return { refresh, stop };
  })();

  window.addEventListener('hashchange', route);
  route();
})();
