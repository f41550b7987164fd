// api.js - the page's client of the registry's /v2 API: requests, errors with the registry's own
// code and message, paging links, and what an error means to a person.

export class ApiError extends Error {
  constructor(status, code, message, body) {
    super(message);
    this.status = status;
    this.code = code;
    this.body = body;
  }
}

// One request; answers {status, headers, text, bytes} or throws an ApiError carrying the
// registry's own error code and message when it gave one.
export async function api(path, options) {
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

export async function apiJson(path, options) {
  const r = await api(path, options);
  try {
    r.json = JSON.parse(r.text);
  } catch (e) {
    throw new ApiError(r.status, 'BAD_RESPONSE', 'the registry answered with text that is not JSON');
  }
  return r;
}

// The path of the next page from a Link header, if any.
export function nextLink(headers) {
  const link = headers.get('Link');
  const m = link && /<([^>]+)>\s*;\s*rel="?next"?/.exec(link);
  return m ? m[1] : null;
}

// Names keep their slashes as path separators; each component is escaped on its own.
export const namePath = (name) => name.split('/').map(encodeURIComponent).join('/');

// A route the registry does not offer (older or trimmed deployments) rather than a failure.
export const missingRoute = (err) => err instanceof ApiError && (err.status === 404 || err.status === 405) &&
  (err.code === 'UNSUPPORTED' || err.code === '');

// A title and a sentence for a failure, as the notice shows them.
export function describe(err) {
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
