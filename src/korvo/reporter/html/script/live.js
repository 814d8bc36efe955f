// A page written while its job runs ("live": true) reloads itself every few seconds to show
// the newer file. Pages opened from disk cannot fetch their own file, so the whole page
// reloads: the selection stays in the address, and the filters and scroll positions are kept
// in sessionStorage across the reload.
function createLive(live, filters, list) {
  "use strict";
  var byId = Format.byId;
  var RELOAD_MS = 4000;
  var KEY = "korvo-live-place:" + location.pathname;

  function save() {
    var place = {
      filters: filters.state(), tree: byId("tree").scrollTop,
      detail: byId("detail").scrollTop, x: window.scrollX, y: window.scrollY
    };
    try { sessionStorage.setItem(KEY, JSON.stringify(place)); } catch (e) { /* storage off: reload anyway */ }
  }
  function restore() {
    var place = null;
    try { place = JSON.parse(sessionStorage.getItem(KEY) || "null"); sessionStorage.removeItem(KEY); } catch (e) { place = null; }
    if (!place || typeof place !== "object") return;
    filters.restore(place.filters);
    byId("tree").scrollTop = +place.tree || 0;
    list.render();
    byId("detail").scrollTop = +place.detail || 0;
    window.scrollTo(+place.x || 0, +place.y || 0);
  }
  function start() {
    restore();
    if (!live || live.live !== true) return;
    document.body.dataset.live = "true";
    setTimeout(function () { save(); location.reload(); }, RELOAD_MS);
  }
  return { start: start };
}
