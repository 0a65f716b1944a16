// What the IDE's views share: the folder shown, the open files, and the
// page's elements (filled in by main.js when the IDE is built).

export const state = {
  dir: { path: '', raw: null },
  entries: [],
  shown: [],
  view: 'files',
  showHidden: localStorage.getItem('quillo.showHidden') === '1',
  tabs: [],
  active: null,
  focusAfterRender: null,
  // What the run module runs: {extensions, executable}, once it said so.
  launchRules: null,
};
export const dom = {};

export const narrowQuery = window.matchMedia('(max-width: 899px)');
export const isNarrow = () => narrowQuery.matches;

// A phone or a tablet: the on-screen keyboard comes up with the focus, so
// nothing takes the focus without a tap.
export const touchScreen = () => window.matchMedia('(pointer: coarse)').matches;

// The cache-busting token of this page's assets, and the sign-in flow's
// refresh and logout (given by start()).
export const app = { version: '', refresh: () => {}, logout: async () => '' };
