// The Trash: what was deleted, restoring it, deleting it for good.
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el, formatSize, formatTime, icon, iconButton } from './dom.js';
import { cancelRender, reload, showMessage, showPane } from './files.js';
import { parentOf } from './paths.js';
import { choose, toast } from './sheet.js';
import { dom, state } from './state.js';

export function showFiles() {
  state.view = 'files';
  reload();
}

export async function showTrash() {
  state.view = 'trash';
  cancelRender();
  showPane('trash');
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
  dom.emptyTrash.hidden = items.length === 0;
  dom.entries.replaceChildren(...items.map((item) => el('li.entry.trash-item', { 'data-name': item.name },
    el('div.entry-open', {},
      icon(item.type === 'directory' ? 'folder' : 'file'),
      el('span.entry-text', {},
        el('span.entry-name', { text: item.name }),
        el('span.entry-meta', { text: t('deletedFrom', { path: parentOf(item.path) || t('workspace'), when: formatTime(item.deleted_at) }) }))),
    el('button.quiet.restore', { type: 'button', 'aria-label': `${t('restore')} ${item.name}`, text: t('restore'), onclick: () => restore(item.id, item.name) }),
    iconButton('trash', t('deleteForGoodLabel', { name: item.name }), () => deleteForGood(item), 'delete-for-good'))));
}

export async function restore(id, name) {
  const answer = await request('/api/files/restore', { id });
  if (answer.status !== 200) {
    toast(problem(answer));
    return;
  }
  toast(t('restored', { name, path: parentOf(answer.body.path || '') || t('workspace') }));
  if (state.view === 'trash') showTrash();
  else reload();
}

async function deleteForGood(item) {
  const sure = await choose(t('deleteForGood'), t('deleteForGoodText', { name: item.name }),
    [['delete', t('deleteForGood'), 'danger']]);
  if (sure !== 'delete') return;
  const answer = await request(`/api/files/trash/${encodeURIComponent(item.id)}`, undefined, 'DELETE');
  if (answer.status !== 200 && answer.status !== 404) toast(problem(answer));
  else toast(t('deletedForGood', { name: item.name }));
  if (state.view === 'trash') showTrash();
}

export async function emptyTrash() {
  const sure = await choose(t('emptyTrash'), t('emptyTrashText'), [['empty', t('emptyTrash'), 'danger']]);
  if (sure !== 'empty') return;
  const answer = await request('/api/files/trash', undefined, 'DELETE');
  if (answer.status !== 200) toast(problem(answer));
  else toast(t('trashEmptied'));
  if (state.view === 'trash') showTrash();
}
