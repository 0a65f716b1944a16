// Whether the run API would accept a file, by the rules the run module
// itself states at /api/run/module: the extensions it knows how to run,
// and whether a file with execute permission runs as itself. Pure.

// ".py" for "a/b.PY"; '' without a dot or for a leading one (".bashrc").
export function extensionOf(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(dot).toLowerCase() : '';
}

// `rules` is what the server said ({extensions, executable}), or null
// while it is not known: nothing is offered on a guess.
export function canRun(entry, rules) {
  if (!entry || !rules || entry.raw) return false; // names not in UTF-8 cannot be passed to the API
  const extensions = Array.isArray(rules.extensions) ? rules.extensions : [];
  if (extensions.includes(extensionOf(entry.name || ''))) return true;
  return Boolean(rules.executable && entry.executable);
}
