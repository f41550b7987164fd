// browser.js - a small driver for headless Chromium over its DevTools pipe (file descriptors 3
// and 4, NUL-separated JSON messages): no WebSocket, no npm package, only Node's standard library.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

// Flags that keep Chromium quiet on a machine without a network or a display.
const FLAGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-extensions', '--disable-default-apps', '--mute-audio', '--hide-scrollbars',
  '--remote-debugging-pipe', '--window-size=1280,900',
];

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

class Browser {
  static async launch() {
    const b = new Browser();
    b.profile = fs.mkdtempSync(path.join(os.tmpdir(), 'ui-chromium-'));
    b.proc = spawn(CHROMIUM, [...FLAGS, `--user-data-dir=${b.profile}`, 'about:blank'],
                   { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
    b.stderr = '';
    b.proc.stdio[2].on('data', (d) => { b.stderr = (b.stderr + d).slice(-4000); });
    b.nextId = 1;
    b.pending = new Map();
    b.listeners = [];
    let buffer = '';
    b.proc.stdio[4].on('data', (chunk) => {
      buffer += chunk.toString('utf8');
      let end;
      while ((end = buffer.indexOf('\0')) >= 0) {
        const msg = JSON.parse(buffer.slice(0, end));
        buffer = buffer.slice(end + 1);
        b.dispatch(msg);
      }
    });
    b.exited = new Promise((resolve) => b.proc.on('exit', resolve));
    b.exited.then(() => {
      for (const { reject } of b.pending.values()) reject(new Error('chromium exited: ' + b.stderr));
      b.pending.clear();
    });
    await b.send('Target.setDiscoverTargets', { discover: true });
    return b;
  }

  dispatch(msg) {
    if (msg.id !== undefined) {
      const p = this.pending.get(msg.id);
      if (!p) return;
      this.pending.delete(msg.id);
      if (msg.error) p.reject(new Error(`${p.method}: ${msg.error.message}`));
      else p.resolve(msg.result);
      return;
    }
    for (const l of this.listeners.slice()) l(msg);
  }

  send(method, params, sessionId, timeoutMs) {
    const id = this.nextId++;
    const msg = { id, method, params: params || {} };
    if (sessionId) msg.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error(`${method}: no answer within ${timeoutMs || 15000} ms`));
      }, timeoutMs || 15000);
      this.pending.set(id, {
        method,
        resolve: (v) => { clearTimeout(timer); resolve(v); },
        reject: (e) => { clearTimeout(timer); reject(e); },
      });
      this.proc.stdio[3].write(JSON.stringify(msg) + '\0');
    });
  }

  // Waits for one event of a session that satisfies the predicate.
  waitEvent(sessionId, method, timeoutMs) {
    return new Promise((resolve, reject) => {
      const listener = (msg) => {
        if (msg.method !== method || msg.sessionId !== sessionId) return;
        done();
        resolve(msg.params);
      };
      const timer = setTimeout(() => { done(); reject(new Error(`no ${method} within ${timeoutMs} ms`)); }, timeoutMs);
      const done = () => { clearTimeout(timer); this.listeners = this.listeners.filter((l) => l !== listener); };
      this.listeners.push(listener);
    });
  }

  async newPage() {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, sessionId);
    await page.send('Page.enable');
    await page.send('Runtime.enable');
    await page.send('Network.enable');
    page.consoleErrors = [];
    this.listeners.push((msg) => {
      if (msg.sessionId !== sessionId) return;
      if (msg.method === 'Runtime.exceptionThrown') {
        page.consoleErrors.push(msg.params.exceptionDetails.exception
          ? msg.params.exceptionDetails.exception.description : msg.params.exceptionDetails.text);
      }
    });
    return page;
  }

  async close() {
    try { await this.send('Browser.close', {}, undefined, 5000); } catch (e) { /* killed below */ }
    const timer = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
    await this.exited;
    clearTimeout(timer);
    fs.rmSync(this.profile, { recursive: true, force: true });
  }
}

class Page {
  constructor(browser, sessionId) {
    this.browser = browser;
    this.sessionId = sessionId;
  }

  send(method, params, timeoutMs) { return this.browser.send(method, params, this.sessionId, timeoutMs); }

  // A fresh load every time, also where only the fragment differs from the page shown.
  async goto(url) {
    if (url !== 'about:blank') await this.goto('about:blank');
    const loaded = this.browser.waitEvent(this.sessionId, 'Page.loadEventFired', 15000);
    const r = await this.send('Page.navigate', { url });
    if (r.errorText) throw new Error(`navigation to ${url}: ${r.errorText}`);
    await loaded;
  }

  async reload() {
    const loaded = this.browser.waitEvent(this.sessionId, 'Page.loadEventFired', 15000);
    await this.send('Page.reload', { ignoreCache: true });
    await loaded;
  }

  // Answers the server's authentication challenges as a person at the browser's prompt would:
  // null dismisses the prompt, {username, password} fills it in. Every other request goes on.
  async answerAuthentication(credentials) {
    this.credentials = credentials;
    if (this.intercepting) return;
    this.intercepting = true;
    this.browser.listeners.push((msg) => {
      if (msg.sessionId !== this.sessionId) return;
      if (msg.method === 'Fetch.requestPaused') {
        this.send('Fetch.continueRequest', { requestId: msg.params.requestId }).catch(() => {});
      } else if (msg.method === 'Fetch.authRequired') {
        const answer = this.credentials ? { response: 'ProvideCredentials', ...this.credentials }
                                        : { response: 'CancelAuth' };
        this.send('Fetch.continueWithAuth', { requestId: msg.params.requestId, authChallengeResponse: answer })
          .catch(() => {});
      }
    });
    await this.send('Fetch.enable', { handleAuthRequests: true, patterns: [{ urlPattern: '*' }] });
  }

  // Evaluates an expression in the page (awaiting a promise) and returns its value.
  async eval(expression) {
    const r = await this.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (r.exceptionDetails) {
      const d = r.exceptionDetails;
      throw new Error(`in page: ${d.exception ? d.exception.description : d.text}`);
    }
    return r.result.value;
  }

  // Polls an expression until it is truthy; returns its value or throws with the last one seen.
  async waitFor(expression, what, timeoutMs) {
    const limit = Date.now() + (timeoutMs || 10000);
    let last;
    for (;;) {
      try { last = await this.eval(expression); } catch (e) { last = e.message; }
      if (last) return last;
      if (Date.now() > limit) throw new Error(`timed out waiting for ${what} (last value: ${JSON.stringify(last)})`);
      await sleep(50);
    }
  }

  async screenshot(file) {
    const metrics = await this.send('Page.getLayoutMetrics');
    const size = metrics.cssContentSize || metrics.contentSize;
    const clip = { x: 0, y: 0, width: 1280, height: Math.min(Math.ceil(size.height), 4000), scale: 1 };
    const r = await this.send('Page.captureScreenshot', { format: 'png', clip, captureBeyondViewport: true });
    fs.writeFileSync(file, Buffer.from(r.data, 'base64'));
  }
}

module.exports = { Browser, sleep };
