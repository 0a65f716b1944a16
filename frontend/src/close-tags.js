// Closing tags typed by hand after the editor already closed them.
//
// HTML (and JSX) auto-closing inserts `</h1>` as soon as `<h1>` is typed.
// Someone used to writing the closing tag themselves then types `</h1>` as
// well and would end up with it twice. So the editor remembers the last
// closing tag it inserted on its own, and when a `>` typed by hand finishes
// the very same text right next to it (just before it, or just after it
// when the editor completed `</` to `</h1>`), the inserted copy goes away
// in the same transaction, so one undo takes back both.
//
// The check happens on the `>` rather than key by key so that it also works
// with on-screen keyboards that compose letters: only the finished tag is
// compared, whatever way its letters came in.
import { StateField, EditorState } from '@codemirror/state';

// What auto-closing inserts: `</name>` after `>`, or `name>` after `</`.
const CLOSE_TAG = /^(?:<\/)?[^\s<>/]+>$/;

// The closing tags the editor inserted and nobody edited since, as
// {from, to, text}, newest first; nested elements make several.
const MAX_TAGS = 32;
const insertedCloseTags = StateField.define({
  create: () => [],
  update(tags, tr) {
    let kept = tags;
    if (tr.docChanged && tags.length) kept = tags.map((tag) => mapTag(tag, tr.changes)).filter(Boolean);
    if (tr.isUserEvent('input.complete')) {
      tr.changes.iterChanges((fromA, toA, fromB, toB, inserted) => {
        const text = inserted.toString();
        if (CLOSE_TAG.test(text)) kept = [{ from: fromB, to: toB, text }, ...kept].slice(0, MAX_TAGS);
      });
    }
    return kept;
  },
});

// Where a tag is after `changes`, or null if they touched it.
function mapTag(tag, changes) {
  let touched = false;
  changes.iterChangedRanges((fromA, toA) => {
    if (fromA < tag.to && toA > tag.from) touched = true;
  });
  if (touched) return null;
  const from = changes.mapPos(tag.from, 1);
  const to = changes.mapPos(tag.to, -1);
  return to - from === tag.text.length ? { ...tag, from, to } : null;
}

// The single `>` insertion of a transaction, as the position right after it.
function typedClosingBracket(tr) {
  let end = -1;
  let count = 0;
  tr.changes.iterChanges((fromA, toA, fromB, toB, inserted) => {
    count += 1;
    if (fromA === toA && inserted.length > 0 && inserted.sliceString(inserted.length - 1) === '>') end = toB;
  });
  return count === 1 ? end : -1;
}

// What to delete when the text typed up to `typedEnd` repeats `tag` (mapped
// into `doc`): the tag itself when typed right after it, or the tag and the
// blank space before it when typed ahead of it (the hand-typed tag went on a
// line of its own above the inserted one).
function duplicate(tag, doc, typedEnd) {
  const { from, to, text } = tag;
  if (doc.sliceString(from, to) !== text) return null;
  if (typedEnd === to + text.length && doc.sliceString(to, typedEnd) === text) return { from, to };
  if (typedEnd > from || from - typedEnd > 200) return null;
  const gap = doc.sliceString(typedEnd, from);
  if (/\S/.test(gap) || doc.sliceString(typedEnd - text.length, typedEnd) !== text) return null;
  return { from: typedEnd, to };
}

const dropDuplicateCloseTag = EditorState.transactionFilter.of((tr) => {
  if (!tr.docChanged || !tr.isUserEvent('input')) return tr;
  const tags = tr.startState.field(insertedCloseTags, false);
  if (!tags || !tags.length) return tr;
  const typedEnd = typedClosingBracket(tr);
  if (typedEnd < 0) return tr;
  for (const tag of tags) {
    const mapped = mapTag(tag, tr.changes);
    const range = mapped && duplicate(mapped, tr.newDoc, typedEnd);
    if (range) return [tr, { changes: range, sequential: true }];
  }
  return tr;
});

export const closeTagTyping = [insertedCloseTags, dropDuplicateCloseTag];
