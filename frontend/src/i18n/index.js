// The page speaks the browser's language: Chinese for zh*, English
// otherwise. A text missing in Chinese falls back to English, and a key
// missing everywhere shows as itself, so a gap is visible but harmless.
import en from './en.js';
import zh from './zh.js';

const CATALOGS = { en, zh };

// 'zh' when the browser's first preferred language is a Chinese one.
export function pickLanguage(languages) {
  const first = (languages && languages.length ? languages[0] : 'en') || 'en';
  return first.toLowerCase().startsWith('zh') ? 'zh' : 'en';
}

// A t(key, params) for `lang`: "{name}" in a text becomes params.name.
export function translator(lang, catalogs = CATALOGS) {
  return (key, params) => {
    let text = catalogs[lang]?.[key] ?? catalogs.en[key] ?? key;
    if (params) text = text.replace(/\{(\w+)\}/g, (_, name) => String(params[name] ?? ''));
    return text;
  };
}

export const LANG = typeof navigator === 'undefined'
  ? 'en' : pickLanguage(navigator.languages && navigator.languages.length ? navigator.languages : [navigator.language]);
export const LOCALE = LANG === 'zh' ? 'zh-CN' : 'en';
export const t = translator(LANG);

// The server's own fixed messages are Chinese; an English page shows them
// in English. Any other text is shown as the server wrote it.
const SERVER_TEXTS = {
  '密码已设置，不能重复设置': 'A password is already set; it cannot be set again.',
  '密码不能为空': 'The password cannot be empty.',
  '密码设置成功': 'The password is set.',
  '尚未设置密码': 'No password has been set yet.',
  '登录尝试过于频繁，请稍后再试': 'Too many login attempts; please try again later.',
  '密码错误': 'Wrong password.',
  '登录成功': 'Logged in.',
  '已退出登录': 'Logged out.',
  '未登录': 'Not logged in.',
  '请先在本机设置密码': 'Set the password on this device first.',
};

export function serverText(text, lang = LANG) {
  return lang === 'en' && SERVER_TEXTS[text] ? SERVER_TEXTS[text] : text;
}
