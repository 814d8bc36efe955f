// The results tree as a virtual list: only the rows on screen exist in the DOM. Owns which
// nodes are open, which rows show (the filter's `keep`), the active row and the selection.
function createVirtualList(model, box, spacer, hooks) {
  "use strict";
  var el = Format.el, N = model.N;
  var ROW = 28, OVERSCAN = 12;
  // Browsers cap an element's height (Chromium near 33.5 million px, Firefox near 17.9
  // million): past this height the scroll position is scaled onto the rows.
  var MAX_HEIGHT = 8000000;
  var expanded = new Uint8Array(N), keep = null, rows = [], active = -1, selected = -1;
  var pool = [];

  function viewHeight() { return box.clientHeight || 600; }
  function fullHeight() { return rows.length * ROW; }
  function scrollHeight() { return Math.min(fullHeight(), MAX_HEIGHT); }
  // The row offset shown at the top for the box's scroll position, and back.
  function virtualTop() {
    var h = viewHeight(), full = fullHeight(), room = scrollHeight() - h;
    if (full <= MAX_HEIGHT || room <= 0) return box.scrollTop;
    return Math.min(1, box.scrollTop / room) * (full - h);
  }
  function scrollFor(top) {
    var h = viewHeight(), full = fullHeight(), room = scrollHeight() - h;
    if (full <= MAX_HEIGHT || room <= 0) return top;
    return Math.round(top / (full - h) * room);
  }

  function expandFailures() {
    expanded.fill(0);
    if (!N) return;
    expanded[0] = 1;
    // Each node on the way to a failure is open, so failures show on open.
    for (var n = N - 1; n > 0; n--) if (model.isBad(n) && model.childCount[n] > 0 && model.hasBadChild(n)) expanded[n] = 1;
    for (n = model.firstChild[0]; n < model.firstChild[1]; n++) if (model.isBad(model.children[n])) expanded[model.children[n]] = 1;
  }
  function rebuild() {
    var out = [], stack = N ? [0] : [];
    while (stack.length) {
      var n = stack.pop();
      if (keep && !keep[n]) continue;
      out.push(n);
      if (expanded[n]) for (var k = model.firstChild[n + 1] - 1; k >= model.firstChild[n]; k--) stack.push(model.children[k]);
    }
    var activeNode = active >= 0 ? rows[active] : -1;
    rows = out;
    spacer.style.height = scrollHeight() + "px";
    active = activeNode >= 0 ? rows.indexOf(activeNode) : -1;
    if (active < 0 && rows.length) active = 0;
    render();
  }

  function render() {
    var h = viewHeight(), top = virtualTop(), scroll = box.scrollTop;
    var first = Math.max(0, Math.floor(top / ROW) - OVERSCAN);
    var last = Math.min(rows.length, Math.ceil((top + h) / ROW) + OVERSCAN);
    var need = last - first;
    while (pool.length < need) { var r = makeRow(); pool.push(r); spacer.appendChild(r.el); }
    for (var k = 0; k < pool.length; k++) {
      var row = pool[k];
      if (k >= need) { row.el.style.display = "none"; row.node = -1; row.el.removeAttribute("id"); continue; }
      fillRow(row, first + k, scroll + (first + k) * ROW - top);
    }
    // Only a row that is in the DOM may be named as the active one.
    if (active >= first && active < last) box.setAttribute("aria-activedescendant", "row-" + rows[active]);
    else box.removeAttribute("aria-activedescendant");
  }
  function makeRow() {
    var e = el("div", "row"); e.setAttribute("role", "treeitem");
    var tw = el("span", "twisty"); tw.setAttribute("aria-hidden", "true");
    var b = el("span", "badge"), id = el("span", "rid"), ty = el("span", "rtype"), ds = el("span", "rdesc");
    var why = el("span", "rreason"), past = el("span", "rhistory"), du = el("span", "rdur");
    [tw, b, id, ty, ds, why, past, du].forEach(function (part) { e.appendChild(part); });
    return { el: e, tw: tw, badge: b, id: id, type: ty, desc: ds, reason: why, history: past, dur: du, node: -1 };
  }
  function fillRow(row, at, y) {
    var n = rows[at], e = row.el;
    e.style.display = "";
    e.style.transform = "translateY(" + y + "px)";
    e.style.paddingLeft = 6 + model.depth[n] * 18 + "px";
    e.dataset.index = at;
    e.classList.toggle("active", at === active);
    e.setAttribute("aria-selected", n === selected ? "true" : "false");
    if (row.node === n && row.exp === expanded[n]) return;
    row.node = n; row.exp = expanded[n];
    e.id = "row-" + n;
    e.dataset.node = n;
    e.setAttribute("aria-level", model.depth[n] + 1);
    // Screen readers learn where a row sits among its siblings, which the DOM cannot tell.
    var p = model.parent[n];
    e.setAttribute("aria-setsize", p >= 0 ? model.childCount[p] : 1);
    e.setAttribute("aria-posinset", p >= 0 ? model.siblingIndex[n] + 1 : 1);
    var open = model.childCount[n] ? (expanded[n] ? "true" : "false") : null;
    if (open) e.setAttribute("aria-expanded", open); else e.removeAttribute("aria-expanded");
    row.tw.textContent = model.childCount[n] ? (expanded[n] ? "\u25BE" : "\u25B8") : "";
    var key = model.resultKey(n);
    row.badge.className = "badge " + Format.resultClass(key);
    row.badge.textContent = key === "none" ? "\u2014" : key;
    e.dataset.result = key;
    row.id.textContent = model.idOf(n);
    row.type.textContent = model.typeName(n);
    row.desc.textContent = model.description(n) || "";
    var why = model.reasonLine(n);
    row.reason.textContent = why;
    row.reason.title = why;
    row.history.textContent = "";
    var past = hooks.history ? hooks.history.of(n) : null;
    if (past) {
      if (past.badge) row.history.appendChild(el("span", "hbadge hbadge-" + past.badge.replace(/ /g, "-"), past.badge));
      row.history.appendChild(historyStrip(past));
    }
    row.dur.textContent = Format.duration(model.duration[n]);
  }
  function setActive(at, scroll) {
    if (!rows.length) return;
    active = Math.max(0, Math.min(rows.length - 1, at));
    if (scroll) {
      var y = active * ROW, top = virtualTop(), h = viewHeight();
      if (y < top) box.scrollTop = scrollFor(y);
      else if (y + ROW > top + h) box.scrollTop = scrollFor(y + ROW - h);
    }
    render();
  }
  function toggle(n, open) {
    if (!model.childCount[n]) return;
    expanded[n] = open == null ? 1 - expanded[n] : (open ? 1 : 0);
    rebuild();
  }
  function select(n) {
    selected = n;
    render();
    hooks.onSelect(n);
  }
  // Opens the way to `n`, shows its row and selects it.
  function reveal(n) {
    for (var a = model.parent[n]; a >= 0; a = model.parent[a]) expanded[a] = 1;
    if (keep && !keep[n]) hooks.onHidden(n);
    rebuild();
    var at = rows.indexOf(n);
    if (at < 0) return false;
    var h = viewHeight(), y = at * ROW;
    box.scrollTop = scrollFor(Math.max(0, y - Math.floor(h / 3)));
    setActive(at, true);
    select(n);
    return true;
  }

  var pending = false;
  box.addEventListener("scroll", function () {
    if (pending) return;
    pending = true;
    requestAnimationFrame(function () { pending = false; render(); });
  });
  box.addEventListener("click", function (ev) {
    var rowEl = ev.target.closest(".row");
    if (!rowEl) return;
    var at = +rowEl.dataset.index, n = rows[at];
    if (ev.target.classList.contains("twisty")) { setActive(at); toggle(n); return; }
    setActive(at); select(n);
  });
  box.addEventListener("dblclick", function (ev) {
    var rowEl = ev.target.closest(".row");
    if (rowEl) toggle(rows[+rowEl.dataset.index]);
  });
  box.addEventListener("keydown", function (ev) {
    if (!rows.length) return;
    var n = rows[active], page = Math.max(1, Math.floor(box.clientHeight / ROW) - 1);
    switch (ev.key) {
      case "ArrowDown": setActive(active + 1, true); break;
      case "ArrowUp": setActive(active - 1, true); break;
      case "PageDown": setActive(active + page, true); break;
      case "PageUp": setActive(active - page, true); break;
      case "Home": setActive(0, true); break;
      case "End": setActive(rows.length - 1, true); break;
      case "ArrowRight":
        if (model.childCount[n] && !expanded[n]) toggle(n, true);
        else if (model.childCount[n]) setActive(active + 1, true);
        break;
      case "ArrowLeft":
        if (model.childCount[n] && expanded[n]) toggle(n, false);
        else if (n > 0) { var at = rows.lastIndexOf(model.parent[n], active); if (at >= 0) setActive(at, true); }
        break;
      case "Enter": case " ": select(n); break;
      case "*":
        for (var k = model.firstChild[n]; k < model.firstChild[n + 1]; k++) expanded[model.children[k]] = 1;
        expanded[n] = 1; rebuild(); break;
      default: return;
    }
    ev.preventDefault();
  });

  return {
    rows: function () { return rows; },
    selected: function () { return selected; },
    setKeep: function (k) { keep = k; },
    keeps: function (n) { return !keep || keep[n] === 1; },
    expandFailures: expandFailures,
    expandAll: function () { expanded.fill(1); rebuild(); },
    collapseAll: function () { expanded.fill(0); if (N) expanded[0] = 1; rebuild(); },
    openParentsOf: function (keepers) {
      expanded.fill(0);
      for (var n = 1; n < N; n++) if (keepers[n]) expanded[model.parent[n]] = 1;
    },
    rebuild: rebuild, render: render, reveal: reveal, select: select,
    unselect: function () { selected = -1; render(); },
    makeRow: makeRow,
    fillPrintRow: function (row, at) { fillRow(row, at, 0); row.el.style.transform = ""; row.el.removeAttribute("id"); }
  };
}
