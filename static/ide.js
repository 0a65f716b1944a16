// The IDE after sign-in: the workspace's files, the Trash, and the open
// files. On a phone the file list fills the screen and a file opens full
// screen; from 900px on, the list is on the left and the files in tabs on
// the right. The editor itself (/editor.js, CodeMirror) is imported the
// first time a file is opened. Uses window.quillo from app.js.
'use strict';

(() => {
  const { t, api, errorText } = window.quillo;
  const LOCALE = window.quillo.lang === 'zh' ? 'zh-CN' : 'en';
  const VERSION = new URL(document.currentScript.src).searchParams.get('v') || '';

  window.quillo.addStrings({
    en: {
      files: 'Files',
      workspace: 'Workspace',
      menu: 'Menu',
      newItem: 'New',
      newFile: 'New file',
      newFolder: 'New folder',
      upload: 'Upload files',
      trash: 'Trash',
      showHidden: 'Show hidden files',
      hideHidden: 'Hide hidden files',
      logOut: 'Log out',
      emptyFolder: 'This folder is empty.',
      loading: 'Loading…',
      actionsFor: 'Actions for {name}',
      rename: 'Rename',
      copy: 'Copy',
      delete: 'Delete',
      download: 'Download',
      cancel: 'Cancel',
      create: 'Create',
      name: 'Name',
      newName: 'New name',
      copyName: 'Name of the copy',
      badName: 'A name cannot be empty, “.” or “..”, nor contain “/”.',
      movedToTrash: '“{name}” is in the Trash.',
      undo: 'Undo',
      redo: 'Redo',
      restore: 'Restore',
      restored: '“{name}” is back in {path}.',
      trashEmpty: 'The Trash is empty.',
      trashUsage: '{used} of {limit}',
      deletedFrom: '{path} · deleted {when}',
      backToFiles: 'Back to the files',
      save: 'Save',
      saving: 'Saving…',
      saved: 'Saved',
      unsaved: 'Unsaved changes',
      closeFile: 'Close {name}',
      openFiles: 'Open files',
      readOnly: 'Read only',
      editorFor: 'Contents of {name}',
      leaveTitle: 'Unsaved changes',
      leaveText: '“{name}” has changes that are not saved.',
      discard: 'Discard changes',
      conflictTitle: 'The file changed on disk',
      conflictText: '“{name}” was changed since you opened it. Load that version (your changes are lost) or overwrite it with yours?',
      conflictGone: '“{name}” was deleted or moved since you opened it. Write your version there again?',
      loadTheirs: 'Load theirs',
      overwrite: 'Overwrite',
      tooLarge: '“{name}” is too large to edit here ({size}; the limit is {limit}).',
      notText: '“{name}” is not a text file.',
      openInTab: 'Open in a new tab',
      brokenLink: '“{name}” points outside the workspace or to nothing.',
      noAnswer: 'The server does not answer.',
      editorFailed: 'The editor could not be loaded.',
      extraKeys: 'Extra keys',
      keyTab: 'Tab',
      keyLeft: 'Cursor left',
      keyRight: 'Cursor right',
      keyUp: 'Cursor up',
      keyDown: 'Cursor down',
      welcome: 'Open a file from the list, or create one with +.',
      folder: 'folder',
      link: 'link',
      exists: '“{name}” exists already. Replace it?',
      replace: 'Replace',
      skip: 'Skip',
      uploaded: 'Uploaded: {count}',
      discardAll: 'Some files have unsaved changes. Log out and discard them?',
      serverStatus: 'Server status',
      staysSignedIn: 'This browser stays signed in for 30 days.',
      health: 'Health',
      ready: 'ready',
      notLoaded: 'not loaded',
      close: 'Close',
    },
    zh: {
      files: '文件',
      workspace: '工作区',
      menu: '菜单',
      newItem: '新建',
      newFile: '新建文件',
      newFolder: '新建文件夹',
      upload: '上传文件',
      trash: '回收站',
      showHidden: '显示隐藏文件',
      hideHidden: '不显示隐藏文件',
      logOut: '退出登录',
      emptyFolder: '此文件夹为空。',
      loading: '正在加载…',
      actionsFor: '“{name}”的操作',
      rename: '重命名',
      copy: '复制',
      delete: '删除',
      download: '下载',
      cancel: '取消',
      create: '创建',
      name: '名称',
      newName: '新名称',
      copyName: '副本名称',
      badName: '名称不能为空，不能是“.”或“..”，也不能包含“/”。',
      movedToTrash: '“{name}”已移到回收站。',
      undo: '撤销',
      redo: '重做',
      restore: '恢复',
      restored: '“{name}”已恢复到 {path}。',
      trashEmpty: '回收站是空的。',
      trashUsage: '已用 {used}，上限 {limit}',
      deletedFrom: '{path} · 删除于 {when}',
      backToFiles: '返回文件列表',
      save: '保存',
      saving: '正在保存…',
      saved: '已保存',
      unsaved: '有未保存的更改',
      closeFile: '关闭 {name}',
      openFiles: '打开的文件',
      readOnly: '只读',
      editorFor: '{name} 的内容',
      leaveTitle: '有未保存的更改',
      leaveText: '“{name}”有尚未保存的更改。',
      discard: '放弃更改',
      conflictTitle: '文件已在磁盘上被修改',
      conflictText: '自从你打开“{name}”以来，它已被修改。要加载磁盘上的版本（你的更改将丢失），还是用你的版本覆盖它？',
      conflictGone: '自从你打开“{name}”以来，它已被删除或移动。要把你的版本重新写回原处吗？',
      loadTheirs: '加载磁盘上的版本',
      overwrite: '覆盖',
      tooLarge: '“{name}”太大，无法在此编辑（{size}，上限 {limit}）。',
      notText: '“{name}”不是文本文件。',
      openInTab: '在新标签页中打开',
      brokenLink: '“{name}”指向工作区之外或不存在的位置。',
      noAnswer: '服务器没有响应。',
      editorFailed: '无法加载编辑器。',
      extraKeys: '附加按键',
      keyTab: '缩进',
      keyLeft: '光标左移',
      keyRight: '光标右移',
      keyUp: '光标上移',
      keyDown: '光标下移',
      welcome: '从列表中打开一个文件，或用 + 新建。',
      folder: '文件夹',
      link: '链接',
      exists: '“{name}”已存在。要替换它吗？',
      replace: '替换',
      skip: '跳过',
      uploaded: '已上传：{count}',
      discardAll: '有文件尚未保存。要退出登录并放弃这些更改吗？',
      serverStatus: '服务器状态',
      staysSignedIn: '此浏览器将保持登录 30 天。',
      health: '健康检查',
      ready: '就绪',
      notLoaded: '未加载',
      close: '关闭',
    },
  });

  // ---- small helpers -------------------------------------------------------

  const ICONS = {
    folder: 'M3 6.5A1.5 1.5 0 0 1 4.5 5h4l2 2h9A1.5 1.5 0 0 1 21 8.5v9a1.5 1.5 0 0 1-1.5 1.5h-15A1.5 1.5 0 0 1 3 17.5z',
    file: 'M6 3h8l4 4v14H6zM14 3v4h4',
    link: 'M14 4h6v6M20 4l-9 9M18 14v5a1 1 0 0 1-1 1H5a1 1 0 0 1-1-1V7a1 1 0 0 1 1-1h5',
    more: 'M12 5.5v.01M12 12v.01M12 18.5v.01',
    plus: 'M12 5v14M5 12h14',
    back: 'M15 5l-7 7 7 7',
    menu: 'M4 7h16M4 12h16M4 17h16',
    close: 'M6 6l12 12M18 6L6 18',
    trash: 'M4 7h16M9 7V4h6v3M6 7l1 13h10l1-13',
  };

  const iconTemplates = new Map();
  function icon(name) {
    if (!iconTemplates.has(name)) {
      const span = document.createElement('span');
      span.className = `icon icon-${name}`;
      span.setAttribute('aria-hidden', 'true');
      span.innerHTML = `<svg viewBox="0 0 24 24" width="22" height="22" fill="none" stroke="currentColor"
        stroke-width="${name === 'more' ? 3.2 : 1.8}" stroke-linecap="round" stroke-linejoin="round"><path d="${ICONS[name]}"/></svg>`;
      iconTemplates.set(name, span);
    }
    return iconTemplates.get(name).cloneNode(true);
  }

  // el('button.quiet#id', {attrs}, ...children): children are nodes or text.
  function el(spec, attrs, ...children) {
    const [tagAndClasses, id] = spec.split('#');
    const [tag, ...classes] = tagAndClasses.split('.');
    const node = document.createElement(tag);
    if (id) node.id = id;
    if (classes.length) node.className = classes.join(' ');
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === undefined || value === null || value === false) continue;
      if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value === true ? '' : value);
    }
    node.append(...children.filter((child) => child !== null && child !== undefined));
    return node;
  }

  function iconButton(name, label, onclick, extraClass) {
    return el(`button.icon-button${extraClass ? '.' + extraClass : ''}`,
      { type: 'button', 'aria-label': label, title: label, onclick }, icon(name));
  }

  // How the API names an entry: by path, or by its raw bytes when the name
  // is not valid UTF-8.
  const query = (entry) => (entry.raw ? `raw=${entry.raw}` : `path=${encodeURIComponent(entry.path)}`);
  const address = (entry, key = 'path') => (entry.raw
    ? { [key === 'path' ? 'raw' : `${key}_raw`]: entry.raw }
    : { [key]: entry.path });
  const joinPath = (dir, name) => (dir ? `${dir}/${name}` : name);
  const parentOf = (path) => (path.includes('/') ? path.slice(0, path.lastIndexOf('/')) : '');
  const baseName = (path) => path.slice(path.lastIndexOf('/') + 1);
  const sameEntry = (a, b) => (a.raw || a.path) === (b.raw || b.path);
  const rawUrl = (entry, download) => `/api/files/raw?${query(entry)}${download ? '&download=1' : ''}`;

  function formatSize(bytes) {
    if (typeof bytes !== 'number') return '';
    const units = ['B', 'KB', 'MB', 'GB', 'TB'];
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    return `${unit === 0 || value >= 10 ? Math.round(value) : value.toFixed(1)} ${units[unit]}`;
  }

  const dateFormat = new Intl.DateTimeFormat(LOCALE, { dateStyle: 'medium', timeStyle: 'short' });
  const formatTime = (seconds) => (typeof seconds === 'number' ? dateFormat.format(new Date(seconds * 1000)) : '');

  // Paths that are not UTF-8 travel as base64url of their bytes.
  const strictUtf8 = new TextDecoder('utf-8', { fatal: true });
  const lossyUtf8 = new TextDecoder();
  const isUtf8 = (bytes) => {
    try {
      strictUtf8.decode(bytes);
      return true;
    } catch (_) {
      return false;
    }
  };
  function rawBytes(raw) {
    const base64 = raw.replace(/-/g, '+').replace(/_/g, '/');
    return Uint8Array.from(atob(base64 + '==='.slice((base64.length + 3) % 4)), (c) => c.charCodeAt(0));
  }
  const rawText = (bytes) => btoa(String.fromCharCode(...bytes))
    .replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
  const placeOf = (bytes) => ({ path: lossyUtf8.decode(bytes), raw: isUtf8(bytes) ? null : rawText(bytes) });

  // The folders on the way to a raw path, the path itself last, each
  // addressed the way the API accepts it.
  function rawAncestors(raw) {
    const bytes = rawBytes(raw);
    const result = [];
    for (let i = 1; i <= bytes.length; i += 1) {
      if (i === bytes.length || bytes[i] === 0x2f) result.push(placeOf(bytes.subarray(0, i)));
    }
    return result;
  }

  // The folder an entry is in.
  function parentDir(entry) {
    if (!entry.raw) return { path: parentOf(entry.path), raw: null };
    const ancestors = rawAncestors(entry.raw);
    return ancestors.length > 1 ? ancestors[ancestors.length - 2] : { path: '', raw: null };
  }

  // How to name `name` inside folder `dir` in a JSON body, under `key`
  // ("path", "to") or its raw form ("raw", "to_raw").
  function childAddress(dir, name, key) {
    if (!dir.raw) return { [key]: joinPath(dir.path, name) };
    const bytes = new Uint8Array([...rawBytes(dir.raw), 0x2f, ...new TextEncoder().encode(name)]);
    return { [key === 'path' ? 'raw' : `${key}_raw`]: rawText(bytes) };
  }

  const PREVIEWS = {
    image: ['png', 'jpg', 'jpeg', 'gif', 'webp', 'svg', 'bmp', 'ico', 'avif'],
    audio: ['mp3', 'wav', 'ogg', 'oga', 'm4a', 'aac', 'flac', 'opus'],
    video: ['mp4', 'webm', 'mov', 'm4v', 'ogv'],
    pdf: ['pdf'],
  };
  function previewKind(name) {
    const extension = name.includes('.') ? name.slice(name.lastIndexOf('.') + 1).toLowerCase() : '';
    return Object.keys(PREVIEWS).find((kind) => PREVIEWS[kind].includes(extension)) || null;
  }

  // Every call goes through here: a 401 leads back to the login form, and a
  // server that does not answer becomes status 0.
  async function request(path, payload, method) {
    try {
      const answer = await api(path, payload, method);
      if (answer.status === 401) window.quillo.refresh();
      return answer;
    } catch (_) {
      return { status: 0, body: { error: t('noAnswer') } };
    }
  }

  const problem = (answer) => (answer.status === 0 ? t('noAnswer') : errorText(answer));

  // ---- state and page structure -----------------------------------------

  const state = {
    dir: { path: '', raw: null },
    entries: [],
    shown: [],
    view: 'files',
    showHidden: localStorage.getItem('quillo.showHidden') === '1',
    tabs: [],
    active: null,
    focusAfterRender: null,
  };
  let nextTabId = 1;
  let editorModule = null;
  let dom = null;

  const narrowQuery = window.matchMedia('(max-width: 899px)');
  const isNarrow = () => narrowQuery.matches;

  function build() {
    const shell = document.getElementById('shell');
    dom = {};
    dom.crumbs = el('ol.crumbs');
    dom.trashHead = el('div.pane-head', { hidden: true },
      iconButton('back', t('backToFiles'), () => showFiles()),
      el('h2', { text: t('trash') }),
      dom.trashUsage = el('span.muted.usage'));
    dom.message = el('p.pane-message.muted', { role: 'status', hidden: true });
    dom.entries = el('ul.entries', { onclick: onEntriesClick });
    dom.filesPane = el('nav.files-pane', { 'aria-label': t('files') },
      el('div.crumbs-row', {}, dom.crumbs), dom.trashHead, dom.message, dom.entries);

    dom.tabs = el('ul.tabs', { 'aria-label': t('openFiles') });
    dom.name = el('span.editor-name');
    dom.dirty = el('span.dirty', { role: 'img', 'aria-label': t('unsaved'), title: t('unsaved'), hidden: true, text: '●' });
    dom.readOnly = el('span.badge', { text: t('readOnly'), hidden: true });
    dom.saveState = el('span.save-state.muted', { role: 'status' });
    dom.save = el('button.primary.save-button#save-button', { type: 'button', onclick: () => state.active && save(state.active) }, t('save'));
    // Saving leaves the focus, and so the on-screen keyboard, in the editor.
    dom.save.addEventListener('mousedown', (event) => event.preventDefault());
    dom.head = el('div.editor-head', { hidden: true },
      iconButton('back', t('backToFiles'), () => leaveEditor(), 'editor-back'),
      el('h2.editor-title', {}, dom.name, dom.dirty), dom.readOnly, dom.saveState, dom.save);
    dom.host = el('div.editor-host');
    dom.keys = buildKeys();
    dom.welcome = el('p.welcome.muted', { text: t('welcome') });
    dom.editorPane = el('main.editor-pane', {}, dom.tabs, dom.head, dom.host, dom.keys, dom.welcome);

    dom.toastText = el('span');
    dom.toastAction = el('button.quiet', { type: 'button', hidden: true });
    dom.toast = el('div.toast', { role: 'status', 'aria-live': 'polite', hidden: true }, dom.toastText, dom.toastAction);

    dom.upload = el('input', { type: 'file', multiple: true, hidden: true, 'aria-hidden': 'true', tabindex: '-1' });
    dom.upload.addEventListener('change', () => uploadFiles([...dom.upload.files]));

    dom.ide = el('div.ide#ide', {},
      el('header.ide-top', {},
        el('div.brand', {}, el('span.logo', { 'aria-hidden': 'true', text: 'Q' }), el('span', { text: 'Quillo' })),
        el('div.bar-actions', {},
          iconButton('plus', t('newItem'), () => newMenu()),
          el('button.icon-button#menu-button', { type: 'button', 'aria-label': t('menu'), title: t('menu'), 'aria-haspopup': 'dialog', onclick: () => mainMenu() }, icon('menu')))),
      el('div.ide-body', {}, dom.filesPane, dom.editorPane),
      dom.toast, dom.upload);

    dom.dialog = el('dialog.sheet#ide-dialog');
    // A click on the backdrop of a modal dialog reaches the dialog itself.
    dom.dialog.addEventListener('click', (event) => {
      const box = dom.dialog.getBoundingClientRect();
      if (event.target === dom.dialog && (event.clientX < box.left || event.clientX > box.right
        || event.clientY < box.top || event.clientY > box.bottom)) dom.dialog.close('');
    });
    shell.replaceChildren(dom.ide, dom.dialog);

    const viewport = window.visualViewport;
    if (viewport) {
      let pending = false;
      const schedule = () => {
        if (pending) return;
        pending = true;
        requestAnimationFrame(() => { pending = false; fitToViewport(); });
      };
      viewport.addEventListener('resize', schedule);
      viewport.addEventListener('scroll', schedule);
    }
    window.addEventListener('resize', fitToViewport);
    fitToViewport();
    narrowQuery.addEventListener('change', layout);

    window.addEventListener('keydown', (event) => {
      if ((event.ctrlKey || event.metaKey) && !event.altKey && event.key.toLowerCase() === 's') {
        if (event.defaultPrevented || !state.active) return;
        event.preventDefault();
        save(state.active);
      }
    });
    window.addEventListener('beforeunload', (event) => {
      if (state.tabs.some((tab) => tab.dirty)) {
        event.preventDefault();
        event.returnValue = '';
      }
    });
    window.addEventListener('popstate', onPopState);
  }

  // The IDE takes the visible part of the screen: when the on-screen
  // keyboard opens, the editor shrinks above it and the line being edited
  // stays in sight.
  function fitToViewport() {
    const viewport = window.visualViewport;
    const height = viewport ? viewport.height : window.innerHeight;
    const top = viewport ? viewport.offsetTop : 0;
    dom.ide.style.setProperty('--view-height', `${Math.round(height)}px`);
    dom.ide.style.setProperty('--view-top', `${Math.round(top)}px`);
    const tab = state.active;
    if (tab && tab.editor && tab.editor.view.hasFocus) {
      requestAnimationFrame(() => tab.editor && tab.editor.revealCursor());
    }
  }

  // ---- the extra keys row --------------------------------------------------

  function buildKeys() {
    const keys = [
      ['tab', '⇥', t('keyTab')], ['(', '('], [')', ')'], ['[', '['], [']', ']'], ['{', '{'], ['}', '}'],
      ["'", "'"], ['"', '"'], ['left', '←', t('keyLeft')], ['up', '↑', t('keyUp')],
      ['down', '↓', t('keyDown')], ['right', '→', t('keyRight')], ['undo', '↶', t('undo')], ['redo', '↷', t('redo')],
    ];
    const row = el('div.keys', { role: 'toolbar', 'aria-label': t('extraKeys'), hidden: true });
    for (const [key, text, label] of keys) {
      const button = el('button.key', { type: 'button', 'aria-label': label, title: label, 'data-key': key, text });
      // Keeps the focus, and so the on-screen keyboard, in the editor.
      button.addEventListener('pointerdown', (event) => event.preventDefault());
      button.addEventListener('mousedown', (event) => event.preventDefault());
      button.addEventListener('click', () => {
        const tab = state.active;
        if (tab && tab.editor) editorModule.pressKey(tab.editor, key);
      });
      row.append(button);
    }
    return row;
  }

  // ---- dialogs and the toast -------------------------------------------------

  // Shows `content` in the sheet; resolves to the value of the button that
  // closed it ('' for Escape, a tap outside or Cancel).
  function openSheet(label, content, onSubmit) {
    const dialog = dom.dialog;
    if (dialog.open) dialog.close('');
    const form = el('form', { method: 'dialog' }, ...content);
    if (onSubmit) form.addEventListener('submit', onSubmit);
    dialog.replaceChildren(form);
    dialog.setAttribute('aria-label', label);
    dialog.returnValue = '';
    return new Promise((resolve) => {
      dialog.addEventListener('close', () => resolve(dialog.returnValue), { once: true });
      dialog.showModal();
    });
  }

  const sheetButton = (value, label, extra = '') =>
    el(`button.sheet-item${extra}`, { type: 'submit', value, text: label });
  const cancelButton = () => el('button.sheet-item.cancel', {
    type: 'button', text: t('cancel'), onclick: () => dom.dialog.close(''),
  });

  // A question with a few answers: resolves to the chosen value, or ''.
  function choose(title, text, choices) {
    return openSheet(title, [
      el('h2', { text: title }),
      text ? el('p', { text }) : null,
      el('div.sheet-actions', {},
        ...choices.map(([value, label, extra]) => sheetButton(value, label, extra ? `.${extra}` : '')),
        cancelButton()),
    ]);
  }

  // Asks for a file name; resolves to it, or null.
  async function askName(title, label, initial) {
    const input = el('input', { type: 'text', value: initial, autocomplete: 'off', autocapitalize: 'off', spellcheck: 'false', enterkeyhint: 'done' });
    const id = `name-${Date.now()}`;
    input.id = id;
    const error = el('p.form-error', { role: 'alert', hidden: true });
    const valid = () => {
      const name = input.value.trim();
      return name && name !== '.' && name !== '..' && !name.includes('/');
    };
    const shown = openSheet(title, [
      el('h2', { text: title }),
      el('label', { for: id, text: label }), input, error,
      el('div.sheet-actions.row', {}, sheetButton('ok', title, '.primary'), cancelButton()),
    ], (event) => {
      if (event.submitter && event.submitter.value !== 'ok') return;
      if (!valid()) {
        event.preventDefault();
        error.textContent = t('badName');
        error.hidden = false;
      } else {
        dom.dialog.returnValue = 'ok';
      }
    });
    // Select the name without its extension, ready to be typed over.
    const dot = initial.lastIndexOf('.');
    input.focus();
    input.setSelectionRange(0, dot > 0 ? dot : initial.length);
    return (await shown) === 'ok' ? input.value.trim() : null;
  }

  let toastTimer = null;
  function toast(text, action) {
    clearTimeout(toastTimer);
    dom.toastText.textContent = text;
    dom.toastAction.hidden = !action;
    dom.toastAction.onclick = null;
    if (action) {
      dom.toastAction.textContent = action.label;
      dom.toastAction.onclick = () => {
        dom.toast.hidden = true;
        action.run();
      };
    }
    dom.toast.hidden = false;
    toastTimer = setTimeout(() => { dom.toast.hidden = true; }, action ? 8000 : 5000);
  }

  // ---- the file list -------------------------------------------------------

  function dirFromLocation() {
    const hash = location.hash.startsWith('#/') ? location.hash.slice(2) : '';
    try {
      return { path: hash.split('/').filter(Boolean).map(decodeURIComponent).join('/'), raw: null };
    } catch (_) {
      return { path: '', raw: null };
    }
  }

  function dirUrl(dir) {
    return `#/${dir.path.split('/').filter(Boolean).map(encodeURIComponent).join('/')}`;
  }

  // Shows folder `dir`; `how` is 'push' (a new history entry), 'replace' or 'none'.
  async function navigate(dir, how = 'push') {
    state.view = 'files';
    const answer = await request(`/api/files/list?${query(dir)}`);
    if (answer.status !== 200) {
      if (answer.status === 401) return;
      if (dir.path && answer.status === 404) {
        navigate({ path: '', raw: null }, 'replace');
        return;
      }
      showMessage(problem(answer));
      return;
    }
    const moved = dir.path !== state.dir.path || dir.raw !== state.dir.raw;
    state.dir = { path: answer.body.path ?? dir.path, raw: dir.raw || null };
    state.entries = answer.body.entries || [];
    if (how === 'push' && moved) {
      history.pushState({ dir: state.dir }, '', dirUrl(state.dir));
    } else if (how !== 'none') {
      history.replaceState({ ...(history.state || {}), dir: state.dir }, '', dirUrl(state.dir));
    }
    renderFiles();
  }

  const reload = () => navigate(state.dir, 'none');

  function showMessage(text) {
    dom.message.textContent = text || '';
    dom.message.hidden = !text;
  }

  function renderCrumbs() {
    const crumbs = [{ label: t('workspace'), dir: { path: '', raw: null } }];
    if (state.dir.raw) {
      for (const dir of rawAncestors(state.dir.raw)) crumbs.push({ label: baseName(dir.path), dir });
    } else if (state.dir.path) {
      const parts = state.dir.path.split('/');
      parts.forEach((part, i) => crumbs.push({ label: part, dir: { path: parts.slice(0, i + 1).join('/'), raw: null } }));
    }
    dom.crumbs.replaceChildren(...crumbs.map((crumb, i) => {
      const last = i === crumbs.length - 1;
      return el('li', {}, last
        ? el('span.crumb', { 'aria-current': 'location', text: crumb.label })
        : el('button.crumb', { type: 'button', text: crumb.label, onclick: () => navigate(crumb.dir) }));
    }));
    dom.crumbs.parentElement.scrollLeft = dom.crumbs.parentElement.scrollWidth;
  }

  function entryMeta(entry) {
    if (entry.type === 'directory') return t('folder');
    if (entry.type === 'symlink' && entry.target_type !== 'file') return t('link');
    const parts = [formatSize(entry.size), formatTime(entry.mtime)];
    if (entry.writable === false) parts.push(t('readOnly'));
    return parts.filter(Boolean).join(' · ');
  }

  function entryIcon(entry) {
    if (entry.type === 'symlink') return entry.target_type === 'directory' ? 'folder' : 'link';
    return entry.type === 'directory' ? 'folder' : 'file';
  }

  // A folder of ten thousand files shows its first rows at once and the
  // rest over the next frames.
  const FIRST_ROWS = 200;
  const ROWS_PER_FRAME = 400;
  let renderToken = 0;

  function entryRow(entry, index, active) {
    const open = el('button.entry-open', { type: 'button', 'aria-current': active && sameEntry(entry, active) ? 'true' : null },
      icon(entryIcon(entry)),
      el('span.entry-text', {}, el('span.entry-name', { text: entry.name }), el('span.entry-meta', { text: entryMeta(entry) })));
    const more = el('button.icon-button.entry-more', {
      type: 'button', 'aria-label': t('actionsFor', { name: entry.name }), title: t('actionsFor', { name: entry.name }),
    }, icon('more'));
    return el('li.entry', { 'data-name': entry.name, 'data-type': entry.type, 'data-index': String(index) }, open, more);
  }

  function renderFiles() {
    dom.crumbs.parentElement.hidden = false;
    dom.trashHead.hidden = true;
    renderCrumbs();
    const entries = state.entries.filter((entry) => state.showHidden || !entry.hidden);
    state.shown = entries;
    showMessage(entries.length ? '' : t('emptyFolder'));
    const focus = state.focusAfterRender;
    state.focusAfterRender = null;
    const focusIndex = focus ? entries.findIndex((entry) => sameEntry(entry, focus)) : -1;
    const active = state.active && state.active.entry;
    const token = ++renderToken;
    const rows = (from, to) => {
      const fragment = document.createDocumentFragment();
      for (let i = from; i < to; i += 1) fragment.append(entryRow(entries[i], i, active));
      return fragment;
    };
    let done = Math.min(entries.length, Math.max(FIRST_ROWS, focusIndex + 1));
    dom.entries.replaceChildren(rows(0, done));
    const more = () => {
      if (token !== renderToken || done >= entries.length) return;
      const next = Math.min(entries.length, done + ROWS_PER_FRAME);
      dom.entries.append(rows(done, next));
      done = next;
      requestAnimationFrame(more);
    };
    requestAnimationFrame(more);
    if (focusIndex >= 0) dom.entries.children[focusIndex].querySelector('.entry-open').focus();
  }

  // One listener for every row of the file list.
  function onEntriesClick(event) {
    const row = event.target.closest('.entry[data-index]');
    if (!row || state.view !== 'files') return;
    const entry = state.shown[Number(row.dataset.index)];
    if (!entry) return;
    if (event.target.closest('.entry-more')) entryMenu(entry);
    else if (event.target.closest('.entry-open')) openEntry(entry);
  }

  // The list shows which of its files is the one open.
  function markCurrent() {
    const active = state.active && state.active.entry;
    for (const button of dom.entries.querySelectorAll('.entry-open[aria-current]')) button.removeAttribute('aria-current');
    if (!active || state.view !== 'files') return;
    const index = state.shown.findIndex((entry) => sameEntry(entry, active));
    const row = index >= 0 && dom.entries.children[index];
    if (row) row.querySelector('.entry-open').setAttribute('aria-current', 'true');
  }

  function openEntry(entry) {
    const target = entry.type === 'symlink' ? entry.target_type : entry.type;
    if (target === 'directory') {
      navigate({ path: entry.path, raw: entry.raw || null });
    } else if (target === 'file') {
      openFile(entry);
    } else {
      toast(t('brokenLink', { name: entry.name }));
    }
  }

  async function entryMenu(entry) {
    const isFile = (entry.type === 'symlink' ? entry.target_type : entry.type) === 'file';
    const choice = await openSheet(t('actionsFor', { name: entry.name }), [
      el('h2.sheet-title', { text: entry.name }),
      el('div.sheet-actions', {},
        sheetButton('rename', t('rename')),
        sheetButton('copy', t('copy')),
        isFile ? el('a.sheet-item', {
          href: rawUrl(entry, true), download: entry.name, text: t('download'),
          onclick: () => setTimeout(() => dom.dialog.close(''), 0),
        }) : null,
        sheetButton('delete', t('delete'), '.danger'),
        cancelButton()),
    ]);
    if (choice === 'rename') renameEntry(entry);
    else if (choice === 'copy') copyEntry(entry);
    else if (choice === 'delete') deleteEntry(entry);
  }

  async function renameEntry(entry) {
    const name = await askName(t('rename'), t('newName'), entry.name);
    if (!name || name === entry.name) return;
    const answer = await request('/api/files/rename',
      { ...address(entry, 'from'), ...childAddress(parentDir(entry), name, 'to') });
    if (answer.status !== 200) {
      toast(problem(answer));
      return;
    }
    const moved = { path: answer.body.path, raw: answer.body.raw || null };
    // Open files at (or, for a folder, inside) the renamed path follow it.
    for (const tab of state.tabs) {
      const { path } = tab.entry;
      if (sameEntry(tab.entry, entry)) {
        tab.entry = { ...tab.entry, ...moved, name: baseName(moved.path) };
      } else if (!entry.raw && !moved.raw && !tab.entry.raw && path.startsWith(`${entry.path}/`)) {
        tab.entry = { ...tab.entry, path: moved.path + path.slice(entry.path.length) };
      } else {
        continue;
      }
      renderTab(tab);
    }
    updateHead();
    state.focusAfterRender = moved;
    reload();
  }

  function copyName(name) {
    const dot = name.lastIndexOf('.');
    const suffix = window.quillo.lang === 'zh' ? ' 副本' : ' copy';
    return dot > 0 ? `${name.slice(0, dot)}${suffix}${name.slice(dot)}` : `${name}${suffix}`;
  }

  async function copyEntry(entry) {
    const name = await askName(t('copy'), t('copyName'), copyName(entry.name));
    if (!name) return;
    const answer = await request('/api/files/copy',
      { ...address(entry, 'from'), ...childAddress(parentDir(entry), name, 'to') });
    if (answer.status !== 200) {
      toast(problem(answer));
      return;
    }
    state.focusAfterRender = { path: answer.body.path, raw: answer.body.raw || null };
    reload();
  }

  async function deleteEntry(entry) {
    const answer = await request(`/api/files/delete?${query(entry)}`, undefined, 'DELETE');
    if (answer.status !== 200) {
      toast(problem(answer));
      return;
    }
    // Open files that went with it close, unless they hold unsaved work.
    for (const tab of [...state.tabs]) {
      const inside = sameEntry(tab.entry, entry)
        || (!entry.raw && tab.entry.path.startsWith(`${entry.path}/`));
      if (inside && !tab.dirty) closeTab(tab, true);
    }
    const trashId = answer.body.trash_id;
    toast(t('movedToTrash', { name: entry.name }), trashId === undefined ? null : {
      label: t('undo'),
      run: () => restore(trashId, entry.name),
    });
    reload();
  }

  async function newMenu() {
    const choice = await openSheet(t('newItem'), [
      el('h2', { text: t('newItem') }),
      el('div.sheet-actions', {},
        sheetButton('file', t('newFile')),
        sheetButton('directory', t('newFolder')),
        sheetButton('upload', t('upload')),
        cancelButton()),
    ]);
    if (choice === 'upload') {
      dom.upload.value = '';
      dom.upload.click();
      return;
    }
    if (choice !== 'file' && choice !== 'directory') return;
    const title = choice === 'file' ? t('newFile') : t('newFolder');
    const name = await askName(title, t('name'), '');
    if (!name) return;
    const answer = await request('/api/files/create', { ...childAddress(state.dir, name, 'path'), type: choice });
    if (answer.status !== 200) {
      toast(problem(answer));
      return;
    }
    const created = { path: answer.body.path, raw: answer.body.raw || null };
    if (choice === 'file') {
      await reload();
      const entry = state.entries.find((item) => sameEntry(item, created))
        || { ...created, name: baseName(created.path), type: 'file', writable: true };
      openFile(entry);
    } else {
      navigate(created);
    }
  }

  async function uploadFiles(files) {
    let count = 0;
    for (const file of files) {
      const url = `/api/files/upload?${query(state.dir)}&name=${encodeURIComponent(file.name)}`;
      let answer = await send(url, file);
      if (answer.status === 409) {
        const choice = await choose(t('upload'), t('exists', { name: file.name }), [['replace', t('replace'), 'primary'], ['skip', t('skip')]]);
        if (choice !== 'replace') continue;
        answer = await send(`${url}&overwrite=1`, file);
      }
      if (answer.status === 200) {
        count += 1;
      } else {
        toast(`${file.name}: ${problem(answer)}`);
        break;
      }
    }
    if (count) toast(t('uploaded', { count }));
    reload();
  }

  async function send(url, body) {
    try {
      const response = await fetch(url, { method: 'POST', credentials: 'same-origin', body });
      let json = {};
      try { json = await response.json(); } catch (_) { json = {}; }
      if (response.status === 401) window.quillo.refresh();
      return { status: response.status, body: json };
    } catch (_) {
      return { status: 0, body: {} };
    }
  }

  // ---- the Trash ---------------------------------------------------------------

  function showFiles() {
    state.view = 'files';
    reload();
  }

  async function showTrash() {
    state.view = 'trash';
    renderToken += 1;
    dom.crumbs.parentElement.hidden = true;
    dom.trashHead.hidden = false;
    dom.trashUsage.textContent = '';
    dom.entries.replaceChildren();
    showMessage(t('loading'));
    const answer = await request('/api/files/trash');
    if (state.view !== 'trash') return;
    if (answer.status !== 200) {
      showMessage(problem(answer));
      return;
    }
    const items = answer.body.items || [];
    if (typeof answer.body.total_size === 'number' && typeof answer.body.limit === 'number') {
      dom.trashUsage.textContent = t('trashUsage', { used: formatSize(answer.body.total_size), limit: formatSize(answer.body.limit) });
    }
    showMessage(items.length ? '' : t('trashEmpty'));
    dom.entries.replaceChildren(...items.map((item) => el('li.entry.trash-item', { 'data-name': item.name },
      el('div.entry-open', {},
        icon(item.type === 'directory' ? 'folder' : 'file'),
        el('span.entry-text', {},
          el('span.entry-name', { text: item.name }),
          el('span.entry-meta', { text: t('deletedFrom', { path: parentOf(item.path) || t('workspace'), when: formatTime(item.deleted_at) }) }))),
      el('button.quiet.restore', { type: 'button', 'aria-label': `${t('restore')} ${item.name}`, text: t('restore'), onclick: () => restore(item.id, item.name) }))));
  }

  async function restore(id, name) {
    const answer = await request('/api/files/restore', { id });
    if (answer.status !== 200) {
      toast(problem(answer));
      return;
    }
    toast(t('restored', { name, path: parentOf(answer.body.path || '') || t('workspace') }));
    if (state.view === 'trash') showTrash();
    else reload();
  }

  // ---- the main menu ---------------------------------------------------------

  async function mainMenu() {
    const choice = await openSheet(t('menu'), [
      el('h2', { text: t('menu') }),
      el('div.sheet-actions', {},
        sheetButton('trash', t('trash')),
        sheetButton('hidden', state.showHidden ? t('hideHidden') : t('showHidden')),
        el('button.sheet-item#status-item', { type: 'submit', value: 'status', text: t('serverStatus') }),
        el('button.sheet-item#logout', { type: 'submit', value: 'logout', text: t('logOut') }),
        cancelButton()),
    ]);
    if (choice === 'trash') {
      showTrash();
    } else if (choice === 'hidden') {
      state.showHidden = !state.showHidden;
      localStorage.setItem('quillo.showHidden', state.showHidden ? '1' : '0');
      if (state.view === 'files') renderFiles();
    } else if (choice === 'status') {
      serverStatus();
    } else if (choice === 'logout') {
      if (state.tabs.some((tab) => tab.dirty)) {
        const sure = await choose(t('logOut'), t('discardAll'), [['logout', t('logOut'), 'danger']]);
        if (sure !== 'logout') return;
      }
      const error = await window.quillo.logout();
      if (error) toast(error);
    }
  }

  // The health check and each route module.
  const MODULES = ['files', 'run', 'git', 'chat', 'venv', 'update', 'server_mgmt', 'browser',
    'notebook', 'debug', 'qarn'];

  function serverStatus() {
    const rows = [[t('health'), '/api/health', (body) => body.status === 'ok']].concat(
      MODULES.map((name) => [name, `/api/${name}/module`, (body) => body.module === name]));
    const list = el('ul.status-list#modules', { 'aria-live': 'polite' });
    for (const [label, path, healthy] of rows) {
      const status = el('span', { text: '…' });
      list.append(el('li', {}, el('span', { text: label }), status));
      request(path).then((answer) => {
        const ok = answer.status === 200 && healthy(answer.body);
        status.textContent = answer.status === 0 ? t('noAnswer') : t(ok ? 'ready' : 'notLoaded');
        status.className = ok ? 'ok' : 'bad';
      });
    }
    openSheet(t('serverStatus'), [
      el('h2', { text: t('serverStatus') }),
      el('p.muted', { text: t('staysSignedIn') }),
      list,
      el('div.sheet-actions.row', {}, el('button.sheet-item', { type: 'submit', value: '', text: t('close') })),
    ]);
  }

  // ---- open files --------------------------------------------------------------

  function loadEditor() {
    if (!editorModule) {
      editorModule = import(`/editor.js?v=${VERSION}`).then((module) => {
        editorModule = module;
        return module;
      }, (error) => {
        editorModule = null;
        throw error;
      });
    }
    return Promise.resolve(editorModule);
  }

  async function openFile(entry) {
    const existing = state.tabs.find((tab) => sameEntry(tab.entry, entry));
    if (existing) {
      activate(existing);
      return;
    }
    const id = nextTabId++;
    const tab = {
      id, entry: { ...entry }, editor: null, etag: null, dirty: false, saving: false,
      panel: el(`div.editor-panel#panel-${id}`, {}, el('p.muted.panel-note', { text: t('loading') })),
      item: null,
    };
    state.tabs.push(tab);
    dom.host.append(tab.panel);
    renderTab(tab);
    activate(tab);

    const kind = previewKind(entry.name);
    if (kind) {
      showPreview(tab, kind);
      return;
    }
    // The editor and the file's language load while the file is read.
    const editorReady = loadEditor()
      .then((module) => module.loadLanguage(entry.name).then((language) => [module, language]));
    editorReady.catch(() => {});
    const answer = await request(`/api/files/read?${query(entry)}`);
    if (!state.tabs.includes(tab)) return;
    if (answer.status === 413) {
      showNote(tab, t('tooLarge', { name: entry.name, size: formatSize(answer.body.size), limit: formatSize(answer.body.limit) }));
      return;
    }
    if (answer.status !== 200) {
      showNote(tab, problem(answer), answer.status !== 0 && answer.status !== 401);
      return;
    }
    if (answer.body.encoding === 'base64') {
      showNote(tab, t('notText', { name: entry.name }));
      return;
    }
    let module;
    let language;
    try {
      [module, language] = await editorReady;
    } catch (_) {
      showNote(tab, t('editorFailed'), false);
      return;
    }
    if (!state.tabs.includes(tab)) return;
    tab.etag = answer.body.etag;
    tab.panel.replaceChildren();
    tab.editor = module.createEditor({
      parent: tab.panel,
      text: answer.body.content,
      name: tab.entry.name,
      language,
      label: t('editorFor', { name: tab.entry.name }),
      readOnly: entry.writable === false,
      onChange: (dirty) => setDirty(tab, dirty),
      onSave: () => save(tab),
    });
    tab.panel.classList.add('has-editor');
    updateHead();
    if (state.active === tab && !window.matchMedia('(pointer: coarse)').matches) tab.editor.focus();
  }

  function showPreview(tab, kind) {
    const { entry } = tab;
    const source = rawUrl(entry, false);
    let media;
    if (kind === 'image') media = el('img.preview-media', { src: source, alt: entry.name });
    else if (kind === 'audio') media = el('audio.preview-media', { src: source, controls: true, preload: 'metadata', 'aria-label': entry.name });
    else if (kind === 'video') media = el('video.preview-media', { src: source, controls: true, playsinline: true, preload: 'metadata', 'aria-label': entry.name });
    else media = el('iframe.preview-media.preview-pdf', { src: source, title: entry.name });
    tab.panel.replaceChildren(el('div.preview', {}, media,
      el('p.preview-links', {},
        kind === 'pdf' ? el('a', { href: source, target: '_blank', rel: 'noopener', text: t('openInTab') }) : null,
        el('a', { href: rawUrl(entry, true), download: entry.name, text: t('download') }))));
    updateHead();
  }

  function showNote(tab, text, offerDownload = true) {
    tab.panel.replaceChildren(el('div.preview', {},
      el('p.panel-note', { text }),
      offerDownload ? el('p.preview-links', {}, el('a', { href: rawUrl(tab.entry, true), download: tab.entry.name, text: t('download') })) : null));
    updateHead();
  }

  function renderTab(tab) {
    const label = tab.entry.name;
    const item = el('li.tab', { 'data-tab': tab.id },
      el('button.tab-name', {
        type: 'button', title: tab.entry.path, 'aria-current': state.active === tab ? 'true' : null,
        'aria-controls': tab.panel.id, onclick: () => activate(tab),
      }, label, el('span.dirty', { role: 'img', 'aria-label': t('unsaved'), hidden: !tab.dirty, text: '●' })),
      iconButton('close', t('closeFile', { name: label }), () => closeTab(tab), 'tab-close'));
    if (tab.item) tab.item.replaceWith(item);
    else dom.tabs.append(item);
    tab.item = item;
  }

  function activate(tab) {
    const wasEditing = state.active !== null;
    state.active = tab;
    for (const other of state.tabs) {
      other.panel.hidden = other !== tab;
      const name = other.item.querySelector('.tab-name');
      if (other === tab) name.setAttribute('aria-current', 'true');
      else name.removeAttribute('aria-current');
    }
    // On a phone the editor covers the list: the browser's back leaves it.
    if (tab && isNarrow() && !wasEditing && !(history.state && history.state.editor)) {
      history.pushState({ ...(history.state || {}), editor: true }, '');
    }
    layout();
    updateHead();
    markCurrent();
    if (tab && tab.item) tab.item.scrollIntoView({ block: 'nearest', inline: 'nearest' });
  }

  function layout() {
    const editing = state.active !== null;
    dom.ide.classList.toggle('editing', editing);
    dom.welcome.hidden = state.tabs.length > 0;
    dom.tabs.hidden = state.tabs.length === 0;
    dom.head.hidden = !editing;
    dom.keys.hidden = !(editing && state.active.editor && !state.active.editor.view.state.readOnly);
  }

  function updateHead() {
    layout();
    const tab = state.active;
    if (!tab) return;
    dom.name.textContent = tab.entry.name;
    dom.name.title = tab.entry.path;
    dom.dirty.hidden = !tab.dirty;
    const editable = tab.editor && !tab.editor.view.state.readOnly;
    dom.readOnly.hidden = !(tab.editor && !editable);
    dom.save.hidden = !editable;
    dom.save.disabled = tab.saving;
    dom.saveState.textContent = tab.saving ? t('saving') : (tab.savedFlash ? t('saved') : '');
  }

  function setDirty(tab, dirty) {
    tab.dirty = dirty;
    if (dirty) tab.savedFlash = false;
    const marker = tab.item.querySelector('.dirty');
    marker.hidden = !dirty;
    if (tab === state.active) updateHead();
  }

  // Resolves true when the tab's changes are saved or may be dropped.
  async function mayLeave(tab) {
    if (!tab.dirty) return true;
    const choice = await choose(t('leaveTitle'), t('leaveText', { name: tab.entry.name }),
      [['save', t('save'), 'primary'], ['discard', t('discard'), 'danger']]);
    if (choice === 'save') return save(tab);
    return choice === 'discard';
  }

  async function closeTab(tab, force = false) {
    if (!force && !(await mayLeave(tab))) return false;
    const index = state.tabs.indexOf(tab);
    if (index < 0) return true;
    state.tabs.splice(index, 1);
    if (tab.editor) tab.editor.destroy();
    tab.panel.remove();
    tab.item.remove();
    if (state.active === tab) {
      const next = isNarrow() ? null : state.tabs[Math.min(index, state.tabs.length - 1)] || null;
      state.active = null;
      if (next) activate(next);
      if (!state.active && history.state && history.state.editor) history.back();
    }
    markCurrent();
    layout();
    return true;
  }

  // The back control of the phone layout: closes the file shown.
  async function leaveEditor() {
    const tab = state.active;
    if (!tab) return;
    state.focusAfterRender = tab.entry;
    if (await closeTab(tab)) {
      state.active = null;
      layout();
      renderFiles();
    }
  }

  async function onPopState(event) {
    const next = event.state || {};
    if (state.active && isNarrow() && !next.editor) {
      const tab = state.active;
      if (!(await mayLeave(tab))) {
        history.pushState({ ...next, editor: true }, '');
        return;
      }
      state.focusAfterRender = tab.entry;
      await closeTab(tab, true);
      state.active = null;
      layout();
    }
    const dir = next.dir || dirFromLocation();
    if (state.view !== 'files' || dir.path !== state.dir.path || (dir.raw || null) !== state.dir.raw) {
      navigate(dir, 'none');
    } else {
      renderFiles();
    }
  }

  // ---- saving --------------------------------------------------------------------

  // Writes the editor's text. `etag` overrides the tab's (null: write
  // without one). Resolves true once written.
  async function save(tab, etag = tab.etag) {
    if (!tab.editor || tab.saving || tab.editor.view.state.readOnly) return false;
    const doc = tab.editor.doc();
    const body = { ...address(tab.entry), content: doc.toString(), encoding: 'utf-8' };
    if (etag) body.etag = etag;
    tab.saving = true;
    if (tab === state.active) updateHead();
    const answer = await request('/api/files/write', body, 'PUT');
    tab.saving = false;
    if (answer.status === 200) {
      tab.etag = answer.body.etag;
      tab.savedFlash = true;
      tab.editor.markSaved(doc);
      if (tab === state.active) updateHead();
      setTimeout(() => {
        tab.savedFlash = false;
        if (tab === state.active) updateHead();
      }, 2500);
      if (state.view === 'files' && parentOf(tab.entry.path) === state.dir.path) reload();
      return true;
    }
    if (tab === state.active) updateHead();
    if (answer.status === 409) return resolveConflict(tab, answer.body);
    toast(`${tab.entry.name}: ${problem(answer)}`);
    return false;
  }

  // A save refused because the file changed on disk since it was read.
  async function resolveConflict(tab, conflict) {
    const gone = conflict.etag === null || conflict.etag === undefined;
    const choices = gone ? [['overwrite', t('overwrite'), 'primary']]
      : [['theirs', t('loadTheirs')], ['overwrite', t('overwrite'), 'danger']];
    const choice = await choose(t('conflictTitle'),
      t(gone ? 'conflictGone' : 'conflictText', { name: tab.entry.name }), choices);
    if (choice === 'overwrite') return save(tab, gone ? null : conflict.etag);
    if (choice === 'theirs') {
      const answer = await request(`/api/files/read?${query(tab.entry)}`);
      if (answer.status === 200 && answer.body.encoding !== 'base64') {
        tab.etag = answer.body.etag;
        tab.editor.setText(answer.body.content);
      } else {
        toast(`${tab.entry.name}: ${answer.status === 200 ? t('notText', { name: tab.entry.name }) : problem(answer)}`);
      }
    }
    return false;
  }

  // ---- start -------------------------------------------------------------------------

  window.quilloIde = {
    start() {
      if (!dom) {
        build();
        navigate(dirFromLocation(), 'replace');
      } else if (state.view === 'trash') {
        showTrash();
      } else {
        reload();
      }
    },
  };
})();
