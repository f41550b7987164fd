// manifest.js - what the page reads out of a manifest answer, and what a pull of an index fetches.
// No DOM here: the browser test imports these and checks them on their own.

export const INDEX_TYPES = new Set([
  'application/vnd.oci.image.index.v1+json',
  'application/vnd.docker.distribution.manifest.list.v2+json',
]);

export const TYPE_NAMES = {
  'application/vnd.oci.image.manifest.v1+json': 'OCI image',
  'application/vnd.oci.image.index.v1+json': 'OCI index',
  'application/vnd.docker.distribution.manifest.v2+json': 'Docker image',
  'application/vnd.docker.distribution.manifest.list.v2+json': 'Docker manifest list',
};

export const MANIFEST_ACCEPT = Object.keys(TYPE_NAMES).join(', ');

// An index may list indexes; deeper than this the page stops following them.
const INDEX_DEPTH_MAX = 4;

const sizeOf = (descriptor) => Number(descriptor && descriptor.size) || 0;

// What the page shows of one manifest, read from its answer ({headers, text, bytes}).
// size: config and layers for an image; null for an index, whose size needs its children
// (pullBytes).
export function manifestFacts(r) {
  let body = {};
  try { body = JSON.parse(r.text) || {}; } catch (e) { /* sized by its bytes alone */ }
  const mediaType = (r.headers.get('Content-Type') || body.mediaType || '').split(';')[0].trim();
  const stored = r.headers.get('Last-Modified');
  const facts = {
    digest: r.headers.get('Docker-Content-Digest') || '',
    mediaType,
    bytes: r.bytes,
    isIndex: INDEX_TYPES.has(mediaType) || Array.isArray(body.manifests),
    children: [],
    blobs: [],
    size: r.bytes,
    stored: stored && !isNaN(Date.parse(stored)) ? new Date(stored) : null,
  };
  if (facts.isIndex) {
    facts.children = (Array.isArray(body.manifests) ? body.manifests : []).map((m) => ({
      digest: m.digest, size: m.size, mediaType: m.mediaType, platform: m.platform,
      attestation: !!(m.annotations && m.annotations['vnd.docker.reference.type']),
    }));
    facts.size = null;
  } else if (body.config || body.layers) {
    facts.blobs = [body.config].concat(Array.isArray(body.layers) ? body.layers : [])
      .filter((d) => d && typeof d === 'object').map((d) => ({ digest: d.digest, size: sizeOf(d) }));
    facts.size = facts.blobs.reduce((sum, b) => sum + b.size, 0);
  }
  return facts;
}

// The bytes a pull of every manifest an index lists fetches: the index, each child manifest and
// each config and layer they name, every digest once (a client fetches a blob two platforms share
// only once). load(digest) answers a child's facts or throws; a child that cannot be read counts
// with the size its descriptor gives and is counted in unread, and so is an index nested too deep.
export async function pullBytes(index, load) {
  const seen = new Set([index.digest]);
  let bytes = index.bytes, unread = 0;
  const once = (d) => {
    if (d.digest && seen.has(d.digest)) return;
    if (d.digest) seen.add(d.digest);
    bytes += sizeOf(d);
  };
  async function visit(children, depth) {
    for (const c of children) {
      if (c.digest && seen.has(c.digest)) continue;
      if (c.digest) seen.add(c.digest);
      let f = null;
      try { f = await load(c.digest); } catch (e) { /* counted below */ }
      if (!f) { unread++; bytes += sizeOf(c); continue; }
      bytes += f.bytes;
      if (!f.isIndex) f.blobs.forEach(once);
      else if (depth < INDEX_DEPTH_MAX) await visit(f.children, depth + 1);
      else unread++;
    }
  }
  await visit(index.children, 1);
  return { bytes, unread };
}
