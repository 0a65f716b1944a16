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
      terminal: 'Terminal',
      terminals: 'Terminals',
      newTerminal: 'New terminal',
      terminalN: 'Terminal {n}',
      closeTerminal: 'Close terminal {n}',
      terminalInput: 'Terminal {n}: type here',
      noTerminals: 'No terminal is open. Open one with +.',
      terminalKeys: 'Terminal keys',
      keyCtrl: 'Ctrl: hold for the next key',
      keyEsc: 'Escape',
      keyPipe: 'Vertical bar',
      keyTilde: 'Tilde',
      keySlash: 'Slash',
      keyMinus: 'Minus',
      paste: 'Paste',
      pasteLabel: 'Text to paste',
      terminalFailed: 'The terminal could not be loaded.',
      reconnecting: 'Connection lost. Reconnecting…',
      takenOver: 'Opened in another window.',
      takeBack: 'Use here',
      shellEnded: 'The shell ended.',
      shellExited: 'The shell ended with code {code}.',
      shellKilled: 'The shell was ended by {signal}.',
      terminalGone: 'This terminal no longer exists.',
      run: 'Run',
      runOutput: 'Output',
      running: 'Running…',
      starting: 'Starting…',
      stop: 'Stop',
      stopProgram: 'Stop the program',
      closeOutput: 'Close the output',
      programInput: 'Input for the program',
      send: 'Send',
      endOfInput: 'End of input',
      exitedIn: 'Exited with code {code} in {time}',
      stoppedBy: 'Stopped by {signal}',
      ended: 'Ended',
      seconds: '{n} s',
      minutes: '{m} min {s} s',
      cannotRun: 'Files whose name is not UTF-8 cannot be run.',
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
      terminal: '终端',
      terminals: '终端列表',
      newTerminal: '新建终端',
      terminalN: '终端 {n}',
      closeTerminal: '关闭终端 {n}',
      terminalInput: '终端 {n}：在此输入',
      noTerminals: '没有打开的终端。用 + 新建一个。',
      terminalKeys: '终端按键',
      keyCtrl: 'Ctrl：作用于下一个键',
      keyEsc: 'Esc 键',
      keyPipe: '竖线',
      keyTilde: '波浪号',
      keySlash: '斜杠',
      keyMinus: '减号',
      paste: '粘贴',
      pasteLabel: '要粘贴的文本',
      terminalFailed: '无法加载终端。',
      reconnecting: '连接已断开，正在重新连接…',
      takenOver: '已在另一个窗口中打开。',
      takeBack: '在此使用',
      shellEnded: 'Shell 已结束。',
      shellExited: 'Shell 已结束，退出码 {code}。',
      shellKilled: 'Shell 已被 {signal} 结束。',
      terminalGone: '此终端已不存在。',
      run: '运行',
      runOutput: '输出',
      running: '正在运行…',
      starting: '正在启动…',
      stop: '停止',
      stopProgram: '停止程序',
      closeOutput: '关闭输出',
      programInput: '程序的输入',
      send: '发送',
      endOfInput: '结束输入',
      exitedIn: '已退出，退出码 {code}，用时 {time}',
      stoppedBy: '已被 {signal} 停止',
      ended: '已结束',
      seconds: '{n} 秒',
      minutes: '{m} 分 {s} 秒',
      cannotRun: '文件名不是 UTF-8 的文件无法运行。',
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
    terminal: 'M4 5h16v14H4zM7.5 9.5l3 2.5-3 2.5M12.5 15h4',
    play: 'M8 5.5v13l10.5-6.5z',
    paste: 'M9 4h6v3H9zM7 5.5H5.5V20h13V5.5H17',
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
    dom.run = iconButton('play', t('run'), () => state.active && runFile(state.active), 'run-button');
    dom.run.id = 'run-button';
    // Saving leaves the focus, and so the on-screen keyboard, in the editor.
    dom.save.addEventListener('mousedown', (event) => event.preventDefault());
    dom.head = el('div.editor-head', { hidden: true },
      iconButton('back', t('backToFiles'), () => leaveEditor(), 'editor-back'),
      el('h2.editor-title', {}, dom.name, dom.dirty), dom.readOnly, dom.saveState, dom.run, dom.save);
    dom.host = el('div.editor-host');
    dom.keys = buildKeys();
    dom.welcome = el('p.welcome.muted', { text: t('welcome') });
    dom.runPanel = buildRunPanel();
    dom.editorPane = el('main.editor-pane', {}, dom.tabs, dom.head, dom.host, dom.runPanel, dom.keys, dom.welcome);
    dom.termView = buildTerminalView();

    dom.toastText = el('span');
    dom.toastAction = el('button.quiet', { type: 'button', hidden: true });
    dom.toast = el('div.toast', { role: 'status', 'aria-live': 'polite', hidden: true }, dom.toastText, dom.toastAction);

    dom.upload = el('input', { type: 'file', multiple: true, hidden: true, 'aria-hidden': 'true', tabindex: '-1' });
    dom.upload.addEventListener('change', () => uploadFiles([...dom.upload.files]));

    dom.ide = el('div.ide#ide', {},
      el('header.ide-top', {},
        el('div.brand', {}, el('span.logo', { 'aria-hidden': 'true', text: 'Q' }), el('span', { text: 'Quillo' })),
        el('div.bar-actions', {},
          iconButton('terminal', t('terminal'), () => openTerminalView()),
          iconButton('plus', t('newItem'), () => newMenu()),
          el('button.icon-button#menu-button', { type: 'button', 'aria-label': t('menu'), title: t('menu'), 'aria-haspopup': 'dialog', onclick: () => mainMenu() }, icon('menu')))),
      el('div.ide-body', {}, dom.filesPane, dom.editorPane),
      dom.termView, dom.toast, dom.upload);

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
    // A phone that wakes from its lock screen, or a network that comes
    // back, reconnects at once instead of at the end of its wait.
    document.addEventListener('visibilitychange', () => {
      if (document.visibilityState === 'visible') reconnectNow();
    });
    window.addEventListener('online', reconnectNow);
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
        sheetButton('terminal', t('terminal')),
        sheetButton('trash', t('trash')),
        sheetButton('hidden', state.showHidden ? t('hideHidden') : t('showHidden')),
        el('button.sheet-item#status-item', { type: 'submit', value: 'status', text: t('serverStatus') }),
        el('button.sheet-item#logout', { type: 'submit', value: 'logout', text: t('logOut') }),
        cancelButton()),
    ]);
    if (choice === 'terminal') {
      openTerminalView();
    } else if (choice === 'trash') {
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
      else forgetStreams();
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
    dom.run.hidden = !tab.editor || Boolean(tab.entry.raw);
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
    if (terms.shown !== Boolean(next.terminal)) {
      if (next.terminal) showTerminalView();
      else hideTerminalView();
      return;
    }
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

  // ---- terminals and runs: shared pieces -------------------------------------

  // xterm.js (/terminal.js) and its style sheet come the first time a
  // terminal or the output of a run is shown.
  let terminalModule = null;
  function loadTerminal() {
    if (!terminalModule) {
      const link = el('link', { rel: 'stylesheet', href: `/terminal.css?v=${VERSION}` });
      const styled = new Promise((resolve, reject) => {
        link.addEventListener('load', resolve, { once: true });
        link.addEventListener('error', reject, { once: true });
      });
      document.head.append(link);
      terminalModule = Promise.all([import(`/terminal.js?v=${VERSION}`), styled]).then(([module]) => {
        terminalModule = module;
        return module;
      }, (error) => {
        terminalModule = null;
        link.remove();
        throw error;
      });
    }
    return Promise.resolve(terminalModule);
  }

  const encoder = new TextEncoder();
  const socketUrl = (path) => `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}${path}`;
  const streams = new Set();

  // A WebSocket to a terminal or a run that comes back by itself when it
  // drops (a phone's screen lock, a network change), waiting longer after
  // each failed try. The server sends what it kept first on every new
  // socket, so `onOpen` clears what was shown. It stays closed after the
  // end (1000), after another window took the stream over (4001) and when
  // the server has no such stream (4404).
  // `exists()` tells, after a refused handshake, whether to try again.
  // `onStatus` hears 'open', 'retrying', 'ended', 'taken' and 'gone'.
  class Stream {
    constructor(path, handlers) {
      this.url = socketUrl(path);
      this.handlers = handlers;
      this.socket = null;
      this.timer = null;
      this.attempt = 0;
      this.stopped = false;
      this.waiting = [];
      this.waitingBytes = 0;
      streams.add(this);
      this.connect();
    }

    connect() {
      clearTimeout(this.timer);
      this.timer = null;
      const socket = new WebSocket(this.url);
      socket.binaryType = 'arraybuffer';
      this.socket = socket;
      let opened = false;
      socket.addEventListener('open', () => {
        if (socket !== this.socket) return;
        opened = true;
        this.attempt = 0;
        this.handlers.onOpen();
        this.handlers.onStatus('open');
        for (const data of this.waiting) socket.send(data);
        this.waiting = [];
        this.waitingBytes = 0;
      });
      socket.addEventListener('message', (event) => {
        if (socket !== this.socket) return;
        if (typeof event.data !== 'string') {
          this.handlers.onBinary(new Uint8Array(event.data));
          return;
        }
        let message;
        try {
          message = JSON.parse(event.data);
        } catch (_) {
          return;
        }
        this.handlers.onText(message);
      });
      socket.addEventListener('close', (event) => {
        if (socket !== this.socket || this.stopped) return;
        this.socket = null;
        if (event.code === 1000) this.handlers.onStatus('ended');
        else if (event.code === 4001) this.handlers.onStatus('taken');
        else if (event.code === 4404) this.gone();
        else this.retry(opened);
      });
    }

    async retry(opened) {
      // A refused handshake is a stream the server no longer has, or a
      // server that is down; only the first is final.
      if (!opened && (await this.handlers.exists()) === false) {
        this.gone();
        return;
      }
      if (this.stopped) return;
      const delay = Math.min(500 * 2 ** this.attempt, 10000);
      this.attempt += 1;
      this.handlers.onStatus('retrying');
      this.timer = setTimeout(() => this.connect(), delay);
    }

    // The server has no such terminal or run (any more).
    gone() {
      this.stopped = true;
      streams.delete(this);
      this.handlers.onStatus('gone');
    }

    // Skips what is left of the wait.
    now() {
      if (this.timer !== null && !this.stopped) this.connect();
    }

    // After another window took it over: take it back.
    reclaim() {
      this.stopped = false;
      this.attempt = 0;
      streams.add(this);
      this.connect();
    }

    // What is typed while the socket is coming back waits for it (up to
    // 64 KiB), rather than being lost.
    send(data) {
      if (this.socket && this.socket.readyState === WebSocket.OPEN) {
        this.socket.send(data);
        return true;
      }
      const reconnecting = !this.stopped && (this.timer !== null
        || (this.socket !== null && this.socket.readyState === WebSocket.CONNECTING));
      const size = typeof data === 'string' ? data.length : data.byteLength;
      if (!reconnecting || this.waitingBytes + size > 65536) return false;
      this.waiting.push(data);
      this.waitingBytes += size;
      return true;
    }

    close() {
      this.stopped = true;
      streams.delete(this);
      clearTimeout(this.timer);
      this.timer = null;
      this.waiting = [];
      this.waitingBytes = 0;
      if (this.socket) this.socket.close(1000);
      this.socket = null;
    }
  }

  function reconnectNow() {
    for (const stream of streams) stream.now();
  }

  // A line of status with, at times, one button.
  function statusLine(className) {
    const text = el('span.stream-text');
    const action = el('button.quiet.stream-action', { type: 'button', hidden: true });
    const node = el(`div.stream-status${className ? '.' + className : ''}`, { role: 'status', 'aria-live': 'polite' }, text, action);
    return {
      node,
      set(message, button) {
        text.textContent = message || '';
        action.hidden = !button;
        action.onclick = null;
        if (button) {
          action.textContent = button.label;
          action.setAttribute('aria-label', button.label);
          action.onclick = button.run;
        }
        node.classList.toggle('empty', !message && !button);
      },
    };
  }

  // Fits a terminal to its box whenever the box changes size: the screen
  // turns, the on-screen keyboard opens, a panel opens beside it.
  function fitOnResize(box, fit) {
    let pending = false;
    new ResizeObserver(() => {
      if (pending) return;
      pending = true;
      requestAnimationFrame(() => {
        pending = false;
        fit();
      });
    }).observe(box);
  }

  function formatDuration(ms) {
    if (typeof ms !== 'number') return '';
    if (ms < 60000) return t('seconds', { n: (ms / 1000).toFixed(1) });
    const total = Math.round(ms / 1000);
    return t('minutes', { m: Math.floor(total / 60), s: total % 60 });
  }

  // ---- the Terminal view -------------------------------------------------------

  const terms = { shown: false, sessions: [], active: null, counter: 0, loaded: false };

  function buildTerminalView() {
    dom.termTabs = el('ul.term-tabs', { 'aria-label': t('terminals') });
    dom.termStatus = statusLine('term-status');
    dom.termEmpty = el('p.muted.term-empty', { text: t('noTerminals'), hidden: true });
    dom.termHost = el('div.term-host', {}, dom.termEmpty);
    fitOnResize(dom.termHost, () => terms.active && terms.active.handle && terms.active.handle.fit());
    dom.termKeys = buildTerminalKeys();
    return el('section.term-view', { 'aria-label': t('terminal'), hidden: true },
      el('div.term-head', {},
        iconButton('back', t('backToFiles'), () => closeTerminalView(), 'term-back'),
        el('h2.visually-hidden', { text: t('terminal') }),
        dom.termTabs,
        iconButton('plus', t('newTerminal'), () => newTerminal(), 'term-new')),
      dom.termStatus.node, dom.termHost, dom.termKeys);
  }

  // Keys a phone keyboard lacks. Ctrl stays pressed for the next key typed.
  function buildTerminalKeys() {
    const keys = [
      ['ctrl', 'Ctrl', t('keyCtrl')], ['esc', 'Esc', t('keyEsc')], ['tab', '⇥', t('keyTab')],
      ['left', '←', t('keyLeft')], ['up', '↑', t('keyUp')], ['down', '↓', t('keyDown')], ['right', '→', t('keyRight')],
      ['|', '|', t('keyPipe')], ['~', '~', t('keyTilde')], ['/', '/', t('keySlash')], ['-', '-', t('keyMinus')],
    ];
    const row = el('div.keys.term-keys', { role: 'toolbar', 'aria-label': t('terminalKeys') });
    const keep = (button) => {
      // Keeps the focus, and so the on-screen keyboard, in the terminal.
      button.addEventListener('pointerdown', (event) => event.preventDefault());
      button.addEventListener('mousedown', (event) => event.preventDefault());
      return button;
    };
    for (const [key, text, label] of keys) {
      const button = keep(el('button.key', {
        type: 'button', 'aria-label': label, title: label, 'data-key': key, text,
        'aria-pressed': key === 'ctrl' ? 'false' : null,
      }));
      button.addEventListener('click', () => {
        const handle = terms.active && terms.active.handle;
        if (!handle) return;
        if (key === 'ctrl') handle.setCtrl(!handle.ctrl);
        else handle.key(key);
      });
      row.append(button);
    }
    dom.ctrlKey = row.querySelector('[data-key="ctrl"]');
    const paste = keep(el('button.key.key-paste', { type: 'button', 'aria-label': t('paste'), title: t('paste'), 'data-key': 'paste' }, icon('paste')));
    paste.addEventListener('click', () => pasteIntoTerminal());
    row.append(paste);
    return row;
  }

  function showCtrl() {
    const handle = terms.active && terms.active.handle;
    dom.ctrlKey.setAttribute('aria-pressed', handle && handle.ctrl ? 'true' : 'false');
  }

  async function pasteIntoTerminal() {
    const session = terms.active;
    if (!session || !session.handle) return;
    let text = null;
    try {
      text = await navigator.clipboard.readText();
    } catch (_) {
      // No permission, or a page without a secure context: ask for it.
    }
    if (text === null) text = await askPaste();
    if (text && terms.active === session) {
      session.handle.paste(text);
      session.handle.focus();
    }
  }

  async function askPaste() {
    const id = `paste-${Date.now()}`;
    const area = el('textarea.paste-area', { id, rows: '4', autocapitalize: 'off', autocomplete: 'off', spellcheck: 'false' });
    const shown = openSheet(t('paste'), [
      el('h2', { text: t('paste') }),
      el('label', { for: id, text: t('pasteLabel') }), area,
      el('div.sheet-actions.row', {}, sheetButton('ok', t('paste'), '.primary'), cancelButton()),
    ]);
    area.focus();
    return (await shown) === 'ok' ? area.value : null;
  }

  function openTerminalView() {
    if (terms.shown) return;
    history.pushState({ ...(history.state || {}), terminal: true }, '');
    showTerminalView();
  }

  function closeTerminalView() {
    if (history.state && history.state.terminal) history.back();
    else hideTerminalView();
  }

  async function showTerminalView() {
    terms.shown = true;
    dom.ide.classList.add('terminal-open');
    dom.termView.hidden = false;
    if (dom.dialog.open) dom.dialog.close('');
    try {
      await loadTerminal();
    } catch (_) {
      dom.termStatus.set(t('terminalFailed'));
      return;
    }
    if (!terms.shown) return;
    if (!terms.loaded) {
      terms.loaded = true;
      // Terminals opened before a reload, or in another window, are still
      // there: list them and attach to each.
      const answer = await request('/api/run/terminals');
      if (answer.status === 200) {
        const known = new Set(terms.sessions.map((session) => session.id));
        const found = (answer.body.terminals || []).filter((info) => !known.has(info.id))
          .sort((a, b) => (a.created || 0) - (b.created || 0));
        for (const info of found) addSession(info);
      } else {
        terms.loaded = false;
        dom.termStatus.set(problem(answer));
      }
      if (!terms.sessions.length && terms.loaded) await newTerminal();
    }
    const session = terms.active || terms.sessions[0];
    if (session) activateSession(session);
    renderTermLayout();
  }

  function hideTerminalView() {
    terms.shown = false;
    dom.ide.classList.remove('terminal-open');
    dom.termView.hidden = true;
  }

  function renderTermLayout() {
    dom.termEmpty.hidden = terms.sessions.length > 0;
    dom.termKeys.hidden = !terms.active;
    if (!terms.active) dom.termStatus.set('');
  }

  async function newTerminal() {
    try {
      await loadTerminal();
    } catch (_) {
      toast(t('terminalFailed'));
      return;
    }
    // The new shell starts at the size a terminal has here.
    const size = terms.active && terms.active.handle
      ? { cols: terms.active.handle.cols, rows: terms.active.handle.rows } : {};
    const answer = await request('/api/run/terminals', size);
    if (answer.status !== 201) {
      toast(problem(answer));
      return;
    }
    activateSession(addSession(answer.body));
    renderTermLayout();
  }

  function addSession(info) {
    terms.counter += 1;
    const session = {
      id: info.id, n: terms.counter, state: 'connecting', exit: null, handle: null, stream: null,
      pane: el('div.term-pane', { 'data-terminal': info.id }),
      item: null,
    };
    dom.termHost.append(session.pane);
    session.handle = terminalModule.createTerminal(session.pane, {
      label: t('terminalInput', { n: session.n }),
      onData: (text) => session.stream && session.stream.send(encoder.encode(text)),
      onResize: () => sendSize(session),
      onCtrlChange: () => { if (terms.active === session) showCtrl(); },
    });
    session.handle.fit();
    const label = t('terminalN', { n: session.n });
    session.item = el('li.term-tab', { 'data-terminal': info.id },
      el('button.term-tab-name', { type: 'button', 'aria-label': label, onclick: () => activateSession(session) }, label),
      iconButton('close', t('closeTerminal', { n: session.n }), () => closeSession(session), 'tab-close'));
    dom.termTabs.append(session.item);
    terms.sessions.push(session);
    session.stream = new Stream(`/api/run/terminals/${encodeURIComponent(info.id)}/ws`, {
      onOpen: () => {
        session.handle.clear();
        sendSize(session);
      },
      onBinary: (bytes) => session.handle.write(bytes),
      onText: (message) => {
        if (message.type === 'exit') session.exit = message;
      },
      onStatus: (status) => {
        session.state = status;
        if (terms.active === session) showSessionStatus(session);
      },
      exists: async () => {
        const answer = await request('/api/run/terminals');
        if (answer.status !== 200) return null;
        return (answer.body.terminals || []).some((item) => item.id === session.id);
      },
    });
    return session;
  }

  function sendSize(session) {
    const { handle, stream } = session;
    if (stream) stream.send(JSON.stringify({ type: 'resize', cols: handle.cols, rows: handle.rows }));
  }

  function showSessionStatus(session) {
    const closeIt = { label: t('close'), run: () => closeSession(session) };
    if (session.exit) {
      const { code, signal } = session.exit;
      const text = signal ? t('shellKilled', { signal })
        : (typeof code === 'number' ? t('shellExited', { code }) : t('shellEnded'));
      dom.termStatus.set(text, closeIt);
    } else if (session.state === 'retrying') {
      dom.termStatus.set(t('reconnecting'));
    } else if (session.state === 'taken') {
      dom.termStatus.set(t('takenOver'), { label: t('takeBack'), run: () => session.stream.reclaim() });
    } else if (session.state === 'gone') {
      dom.termStatus.set(t('terminalGone'), closeIt);
    } else if (session.state === 'ended') {
      dom.termStatus.set(t('shellEnded'), closeIt);
    } else {
      dom.termStatus.set('');
    }
  }

  function activateSession(session) {
    terms.active = session;
    for (const other of terms.sessions) {
      other.pane.classList.toggle('current', other === session);
      const name = other.item.querySelector('.term-tab-name');
      if (other === session) name.setAttribute('aria-current', 'true');
      else name.removeAttribute('aria-current');
    }
    session.item.scrollIntoView({ block: 'nearest', inline: 'nearest' });
    session.handle.fit();
    showSessionStatus(session);
    showCtrl();
    renderTermLayout();
    if (!window.matchMedia('(pointer: coarse)').matches) session.handle.focus();
  }

  async function closeSession(session) {
    const index = terms.sessions.indexOf(session);
    if (index < 0) return;
    terms.sessions.splice(index, 1);
    session.stream.close();
    session.handle.dispose();
    session.pane.remove();
    session.item.remove();
    if (terms.active === session) {
      terms.active = null;
      const next = terms.sessions[Math.min(index, terms.sessions.length - 1)];
      if (next) activateSession(next);
    }
    renderTermLayout();
    const answer = await request(`/api/run/terminals/${encodeURIComponent(session.id)}`, undefined, 'DELETE');
    if (answer.status !== 200 && answer.status !== 404) toast(problem(answer));
  }

  // Signed out: the sockets go, the shells and programs go on on the server,
  // and the Terminal view finds them again after the next sign-in.
  function forgetStreams() {
    for (const session of terms.sessions) {
      session.stream.close();
      session.handle.dispose();
      session.pane.remove();
      session.item.remove();
    }
    Object.assign(terms, { sessions: [], active: null, counter: 0, loaded: false });
    if (terms.shown) closeTerminalView();
    renderTermLayout();
    if (runs.stream) runs.stream.close();
    runs.stream = null;
    runs.info = null;
    setRunning(false);
    dom.runPanel.hidden = true;
  }

  // ---- running the open file ---------------------------------------------------

  const runs = { info: null, running: false, handle: null, stream: null, fileName: '' };

  function buildRunPanel() {
    dom.runTitle = el('h2.run-title');
    dom.runStatus = statusLine('run-status');
    dom.runStop = el('button.quiet.run-stop', { type: 'button', 'aria-label': t('stopProgram'), title: t('stopProgram'), text: t('stop'), onclick: () => stopRun() });
    dom.runOutput = el('div.run-output');
    fitOnResize(dom.runOutput, () => runs.handle && runs.handle.fit());
    dom.runInput = el('input.run-line', {
      type: 'text', 'aria-label': t('programInput'), placeholder: t('programInput'),
      autocomplete: 'off', autocapitalize: 'off', autocorrect: 'off', spellcheck: 'false', enterkeyhint: 'send',
    });
    dom.runEof = el('button.quiet.run-eof', { type: 'button', 'aria-label': t('endOfInput'), title: t('endOfInput'), text: '^D', onclick: () => endRunInput() });
    const form = el('form.run-input', {},
      dom.runInput,
      el('button.quiet.run-send', { type: 'submit', 'aria-label': t('send'), title: t('send'), text: t('send') }),
      dom.runEof);
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      sendRunLine();
    });
    return el('section.run-panel', { 'aria-label': t('runOutput'), hidden: true },
      el('div.run-head', {}, dom.runTitle, dom.runStop,
        iconButton('close', t('closeOutput'), () => { dom.runPanel.hidden = true; }, 'run-close')),
      dom.runStatus.node, dom.runOutput, form);
  }

  function setRunning(running) {
    runs.running = running;
    dom.runStop.disabled = !running;
    dom.runInput.disabled = !running;
    dom.runEof.disabled = !running;
    dom.runPanel.querySelector('.run-send').disabled = !running;
  }

  async function runFile(tab) {
    if (tab.entry.raw) {
      toast(t('cannotRun'));
      return;
    }
    if (tab.dirty && !(await save(tab))) return;
    let module;
    try {
      module = await loadTerminal();
    } catch (_) {
      toast(t('terminalFailed'));
      return;
    }
    // Running again replaces the run before, which need not go on.
    if (runs.info && runs.running) request(`/api/run/runs/${encodeURIComponent(runs.info.id)}/stop`, {});
    dom.run.disabled = true;
    const answer = await request('/api/run/start', { path: tab.entry.path });
    dom.run.disabled = false;
    if (answer.status !== 201) {
      toast(`${tab.entry.name}: ${problem(answer)}`);
      return;
    }
    dom.runPanel.hidden = false;
    if (!runs.handle) {
      runs.handle = module.createTerminal(dom.runOutput, { label: t('runOutput'), readOnly: true, convertEol: true });
    }
    runs.handle.fit();
    attachRun(answer.body, tab.entry.name);
  }

  function attachRun(info, fileName) {
    if (runs.stream) runs.stream.close();
    runs.info = info;
    runs.fileName = fileName;
    dom.runTitle.textContent = `${t('runOutput')} · ${fileName}`;
    dom.runTitle.title = info.path || fileName;
    runs.handle.clear();
    dom.runInput.value = '';
    setRunning(true);
    dom.runStatus.set(t('starting'));
    const stream = new Stream(`/api/run/runs/${encodeURIComponent(info.id)}/ws`, {
      onOpen: () => runs.handle.clear(),
      onBinary: (bytes) => runs.handle.write(bytes),
      onText: (message) => {
        if (message.type !== 'exit') return;
        setRunning(false);
        dom.runStatus.set(exitText(message));
      },
      onStatus: (status) => {
        if (runs.stream !== stream) return;
        if (status === 'open') {
          if (runs.running) dom.runStatus.set(t('running'));
        } else if (status === 'retrying') {
          dom.runStatus.set(t('reconnecting'));
        } else if (status === 'taken') {
          dom.runStatus.set(t('takenOver'), { label: t('takeBack'), run: () => stream.reclaim() });
        } else if (status === 'gone' || (status === 'ended' && runs.running)) {
          setRunning(false);
          dom.runStatus.set(t('ended'));
        }
      },
      exists: async () => {
        const answer = await request('/api/run/runs');
        if (answer.status !== 200) return null;
        return (answer.body.runs || []).some((item) => item.id === info.id);
      },
    });
    runs.stream = stream;
  }

  function exitText({ code, signal, duration_ms: duration }) {
    if (signal) return t('stoppedBy', { signal });
    if (typeof code === 'number') return t('exitedIn', { code, time: formatDuration(duration) });
    return t('ended');
  }

  function sendRunLine() {
    if (!runs.stream || !runs.running) return;
    const line = dom.runInput.value;
    if (!runs.stream.send(encoder.encode(`${line}\n`))) return;
    dom.runInput.value = '';
    // No terminal echoes what was typed, so the output shows it itself.
    runs.handle.write(`\x1b[2m${line}\x1b[22m\n`);
  }

  function endRunInput() {
    if (runs.stream && runs.running) runs.stream.send(JSON.stringify({ type: 'eof' }));
  }

  async function stopRun() {
    if (!runs.info || !runs.running) return;
    const answer = await request(`/api/run/runs/${encodeURIComponent(runs.info.id)}/stop`, {});
    if (answer.status !== 200) toast(problem(answer));
  }

  // ---- start -------------------------------------------------------------------------

  window.quilloIde = {
    start() {
      if (!dom) {
        build();
        navigate(dirFromLocation(), 'replace');
        // A reload in the Terminal view comes back to it.
        if (history.state && history.state.terminal) showTerminalView();
      } else if (state.view === 'trash') {
        showTrash();
      } else {
        reload();
      }
    },
  };
})();
