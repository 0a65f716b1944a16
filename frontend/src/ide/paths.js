// How the files API names an entry: by its path, or by the base64url of
// its bytes ("raw") when the name is not valid UTF-8. Pure functions.


export const query = (entry) => (entry.raw ? `raw=${entry.raw}` : `path=${encodeURIComponent(entry.path)}`);
export const address = (entry, key = 'path') => (entry.raw
  ? { [key === 'path' ? 'raw' : `${key}_raw`]: entry.raw }
  : { [key]: entry.path });
export const joinPath = (dir, name) => (dir ? `${dir}/${name}` : name);
export const parentOf = (path) => (path.includes('/') ? path.slice(0, path.lastIndexOf('/')) : '');
export const baseName = (path) => path.slice(path.lastIndexOf('/') + 1);
export const sameEntry = (a, b) => (a.raw || a.path) === (b.raw || b.path);
export const rawUrl = (entry, download) => `/api/files/raw?${query(entry)}${download ? '&download=1' : ''}`;

// Paths that are not UTF-8 travel as base64url of their bytes.
const strictUtf8 = new TextDecoder('utf-8', { fatal: true });
const lossyUtf8 = new TextDecoder();
export const isUtf8 = (bytes) => {
  try {
    strictUtf8.decode(bytes);
    return true;
  } catch (_) {
    return false;
  }
};
export function rawBytes(raw) {
  const base64 = raw.replace(/-/g, '+').replace(/_/g, '/');
  return Uint8Array.from(atob(base64 + '==='.slice((base64.length + 3) % 4)), (c) => c.charCodeAt(0));
}
export const rawText = (bytes) => btoa(String.fromCharCode(...bytes))
  .replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
const placeOf = (bytes) => ({ path: lossyUtf8.decode(bytes), raw: isUtf8(bytes) ? null : rawText(bytes) });

// The folders on the way to a raw path, the path itself last, each
// addressed the way the API accepts it.
export function rawAncestors(raw) {
  const bytes = rawBytes(raw);
  const result = [];
  for (let i = 1; i <= bytes.length; i += 1) {
    if (i === bytes.length || bytes[i] === 0x2f) result.push(placeOf(bytes.subarray(0, i)));
  }
  return result;
}

// The folder an entry is in.
export function parentDir(entry) {
  if (!entry.raw) return { path: parentOf(entry.path), raw: null };
  const ancestors = rawAncestors(entry.raw);
  return ancestors.length > 1 ? ancestors[ancestors.length - 2] : { path: '', raw: null };
}

// How to name `name` inside folder `dir` in a JSON body, under `key`
// ("path", "to") or its raw form ("raw", "to_raw").
export function childAddress(dir, name, key) {
  if (!dir.raw) return { [key]: joinPath(dir.path, name) };
  const bytes = new Uint8Array([...rawBytes(dir.raw), 0x2f, ...new TextEncoder().encode(name)]);
  return { [key === 'path' ? 'raw' : `${key}_raw`]: rawText(bytes) };
}

export const PREVIEWS = {
  image: ['png', 'jpg', 'jpeg', 'gif', 'webp', 'svg', 'bmp', 'ico', 'avif'],
  audio: ['mp3', 'wav', 'ogg', 'oga', 'm4a', 'aac', 'flac', 'opus'],
  video: ['mp4', 'webm', 'mov', 'm4v', 'ogv'],
  pdf: ['pdf'],
};
export function previewKind(name) {
  const extension = name.includes('.') ? name.slice(name.lastIndexOf('.') + 1).toLowerCase() : '';
  return Object.keys(PREVIEWS).find((kind) => PREVIEWS[kind].includes(extension)) || null;
}
