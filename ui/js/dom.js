// dom.js - building the page's elements, the notice line, bars, figure lists and the
// confirmation dialog.
import { ApiError, describe } from './api.js';

export const $ = (id) => document.getElementById(id);

export const present = (list) => list.filter((x) => x !== null && x !== undefined);

// Builds an element; children are nodes or texts (texts never parsed as markup).
export function el(tag, props, ...children) {
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

export function showNotice(what, kind, prefix) {
  const box = $('notice');
  const msg = what instanceof Error || what instanceof ApiError ? describe(what) : what;
  box.className = 'notice' + (kind === 'info' ? ' info' : '');
  box.replaceChildren(...present([el('strong', { text: (prefix ? prefix + ': ' : '') + msg.title }),
                                  msg.text ? el('span', { text: msg.text }) : null]));
  box.hidden = false;
}

export function clearNotice() { $('notice').hidden = true; }

// warn: colour the bar as it nears its end (a quota), rather than as progress.
export function setBar(fill, bar, fraction, warn) {
  const pct = Math.max(0, Math.min(1, fraction)) * 100;
  fill.style.width = pct.toFixed(1) + '%';
  fill.classList.toggle('high', !!warn && pct >= 80 && pct < 100);
  fill.classList.toggle('full', !!warn && pct >= 100);
  bar.setAttribute('aria-valuenow', pct.toFixed(0));
}

export function figures(list, items) {
  list.replaceChildren(...items.map(([label, value, id]) =>
    el('div', id ? { 'data-figure': id } : {}, el('dt', { text: label }), el('dd', { text: value }))));
}

// Resolves true when the person confirms, false when they cancel or close the dialog.
export function confirmDialog(title, text, okLabel) {
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

// Calls load(row) once, when the row comes near the screen.
export function lazyObserver(load) {
  const io = new IntersectionObserver((entries) => {
    for (const e of entries) {
      if (!e.isIntersecting) continue;
      io.unobserve(e.target);
      load(e.target);
    }
  }, { rootMargin: '300px 0px' });
  return io;
}
