// The IDE's settings, as the server stores them for every device: what
// each one may be, and its default. Pure: whatever comes back from the
// server (an older version, another client, a hand-edited file) is read
// through normalize(), so a bad value falls back to the default.

export const EDITOR_KEYS = [
  'tab', '(', ')', '[', ']', '{', '}', "'", '"', 'left', 'up', 'down', 'right',
  'home', 'end', 'pageUp', 'pageDown', 'undo', 'redo',
];
export const TERMINAL_KEYS = ['ctrl', 'esc', 'tab', 'left', 'up', 'down', 'right', '|', '~', '/', '-', 'paste'];

export const DEFAULTS = Object.freeze({
  editorFontSize: 16,
  terminalFontSize: 14,
  theme: 'system',
  tabSize: 4,
  wordWrap: true,
  autoSave: 'off',
  editorKeys: EDITOR_KEYS,
  terminalKeys: TERMINAL_KEYS,
});

export const CHOICES = {
  editorFontSize: [12, 13, 14, 15, 16, 18, 20, 22, 24],
  terminalFontSize: [10, 11, 12, 13, 14, 15, 16, 18, 20],
  theme: ['system', 'light', 'dark'],
  tabSize: [2, 4, 8],
  autoSave: ['off', 'pause'],
};

// A list of keys: the known ones, in their usual order, each once. An
// empty list is allowed (a row the user turned off).
function keyList(value, known) {
  if (!Array.isArray(value)) return null;
  return known.filter((key) => value.includes(key));
}

export function normalize(stored) {
  const source = stored && typeof stored === 'object' ? stored : {};
  const settings = { ...DEFAULTS };
  for (const [name, choices] of Object.entries(CHOICES)) {
    if (choices.includes(source[name])) settings[name] = source[name];
  }
  if (typeof source.wordWrap === 'boolean') settings.wordWrap = source.wordWrap;
  settings.editorKeys = keyList(source.editorKeys, EDITOR_KEYS) ?? DEFAULTS.editorKeys;
  settings.terminalKeys = keyList(source.terminalKeys, TERMINAL_KEYS) ?? DEFAULTS.terminalKeys;
  return settings;
}
