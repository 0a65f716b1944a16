// Content search answers arrive as lines of JSON, streamed while the server
// searches: one line per match, a last line that says the search is done.
// Pure: the view feeds it text as it comes and gets parsed results back.

// Splits streamed text into lines, whatever the chunk boundaries; a line
// cut in two waits for its end.
export class LineSplitter {
  constructor(onLine) {
    this.onLine = onLine;
    this.rest = '';
  }

  push(text) {
    const lines = (this.rest + text).split('\n');
    this.rest = lines.pop();
    for (const line of lines) if (line.trim()) this.onLine(line);
  }

  // The answer ended: a last line without a line break still counts.
  end() {
    if (this.rest.trim()) this.onLine(this.rest);
    this.rest = '';
  }
}

const isCount = (value) => Number.isInteger(value) && value >= 0;

// {kind: 'match', path, line, col, text}, {kind: 'done', truncated, files,
// matches}, or null for a line that is neither (it is skipped, not shown).
export function parseSearchLine(line) {
  let item;
  try {
    item = JSON.parse(line);
  } catch (_) {
    return null;
  }
  if (!item || typeof item !== 'object') return null;
  if (item.done === true) {
    return {
      kind: 'done',
      truncated: item.truncated === true,
      files: isCount(item.files) ? item.files : 0,
      matches: isCount(item.matches) ? item.matches : 0,
    };
  }
  if (typeof item.path !== 'string' || !isCount(item.line) || item.line < 1) return null;
  return {
    kind: 'match',
    path: item.path,
    line: item.line,
    col: isCount(item.col) && item.col >= 1 ? item.col : 1,
    text: typeof item.text === 'string' ? item.text : '',
  };
}

// Where in `text` to mark the query: [start, end] in UTF-16 units, or null.
// `col` (1-based, from the server) is tried first, then a search that
// ignores case, as the server's does.
export function matchRange(text, query, col) {
  const at = col - 1;
  if (at >= 0 && text.slice(at, at + query.length).toLowerCase() === query.toLowerCase()) {
    return [at, at + query.length];
  }
  const found = text.toLowerCase().indexOf(query.toLowerCase());
  return found >= 0 ? [found, found + query.length] : null;
}
