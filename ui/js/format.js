// format.js - how the page writes sizes, counts, times and names. No DOM here: the browser test
// imports these and checks them on their own.

const UNITS = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];

// Binary units, three significant figures from 1 KiB on; whole bytes below.
export function human(bytes) {
  if (typeof bytes !== 'number' || !isFinite(bytes)) return '—';
  let value = bytes, i = 0;
  while (value >= 1024 && i < UNITS.length - 1) { value /= 1024; i++; }
  return i === 0 ? `${bytes} B` : `${value.toFixed(value < 10 ? 2 : 1)} ${UNITS[i]}`;
}

export const count = (n) => (typeof n === 'number' ? n.toLocaleString('en-US') : '—');

export function duration(ms) {
  const s = Math.max(0, ms) / 1000;
  if (s < 60) return `${s.toFixed(1)} s`;
  const m = Math.floor(s / 60);
  return m < 60 ? `${m} min ${Math.round(s - m * 60)} s` : `${Math.floor(m / 60)} h ${m % 60} min`;
}

// How long ago date was, coarsely: minutes below an hour, hours below a day, then days.
export function age(date, now = Date.now()) {
  const s = (now - date.getTime()) / 1000;
  if (s < 3600) return `${Math.max(1, Math.round(s / 60))} min`;
  if (s < 86400) return `${Math.round(s / 3600)} h`;
  return `${Math.round(s / 86400)} days`;
}

export const shortDigest = (d) => (d ? d.replace(/^sha256:/, '').slice(0, 12) : '');

export function platformName(p) {
  if (!p) return 'unknown';
  return [p.os || '?', p.architecture || '?'].concat(p.variant ? [p.variant] : []).join('/');
}
