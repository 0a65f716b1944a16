// The editor's own words (search panel, go-to-line, announcements) in
// Chinese; English is CodeMirror's default. Keys are CodeMirror's phrases.
export const ZH_PHRASES = {
  // Search panel.
  Find: '查找',
  Replace: '替换为',
  next: '下一个',
  previous: '上一个',
  all: '全选',
  'match case': '区分大小写',
  regexp: '正则',
  'by word': '全词',
  replace: '替换',
  'replace all': '全部替换',
  close: '关闭',
  'current match': '当前匹配',
  'on line': '位于行',
  'replaced match on line $': '已替换第 $ 行的匹配',
  'replaced $ matches': '已替换 $ 处匹配',
  // Go to line.
  'Go to line': '跳转到行',
  go: '跳转',
  // Elsewhere in the editor.
  'Control character': '控制字符',
  Completions: '补全',
};

// The phrases for a page language such as 'zh-CN' or 'en', or null for
// CodeMirror's English.
export function phrasesFor(lang) {
  return /^zh\b/i.test(lang || '') ? ZH_PHRASES : null;
}
