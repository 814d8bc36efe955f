// Result chips and the search box: they decide which nodes the list keeps.
function createFilters(model, list, hooks) {
  "use strict";
  var el = Format.el, byId = Format.byId, N = model.N, D = model.data;
  var chosen = {}, chipKeys = [];
  var searchBox = byId("search"), matchCount = byId("match-count");

  function build() {
    // Each chip counts the nodes that carry that result themselves.
    var counts = model.resultCounts();
    chipKeys = Object.keys(counts).sort(function (a, b) { return Format.severityOf(b) - Format.severityOf(a); });
    var box = byId("chips");
    var bad = el("button", "chip", "Failures only"); bad.type = "button"; bad.id = "only-failures";
    bad.setAttribute("aria-pressed", "false");
    bad.addEventListener("click", function () {
      var on = bad.getAttribute("aria-pressed") !== "true";
      chipKeys.forEach(function (k) { chosen[k] = on && model.isFailureKey(k); });
      apply();
    });
    box.appendChild(bad);
    chipKeys.forEach(function (k) {
      var b = el("button", "chip"); b.type = "button"; b.dataset.result = k;
      var what = Format.plural(counts[k], "node", "nodes") + " " + k;
      b.title = "Show the " + what;
      b.setAttribute("aria-label", "Show the " + what);
      b.setAttribute("aria-pressed", "false");
      b.appendChild(el("span", "swatch " + Format.resultClass(k)));
      b.appendChild(el("span", null, k + " "));
      b.appendChild(el("b", "count", Format.count(counts[k])));
      b.addEventListener("click", function () { chosen[k] = !chosen[k]; apply(); });
      box.appendChild(b);
    });
  }
  function active() { return !!searchBox.value.trim() || chipKeys.some(function (k) { return chosen[k]; }); }
  function apply() {
    var q = searchBox.value.trim().toLowerCase();
    var byResult = chipKeys.some(function (k) { return chosen[k]; });
    document.querySelectorAll(".chip[data-result]").forEach(function (b) { b.setAttribute("aria-pressed", chosen[b.dataset.result] ? "true" : "false"); });
    var allBad = byResult && chipKeys.every(function (k) { return !!chosen[k] === model.isFailureKey(k); });
    byId("only-failures").setAttribute("aria-pressed", allBad ? "true" : "false");
    if (!byResult && !q) {
      list.setKeep(null); matchCount.textContent = "";
      list.expandFailures(); list.rebuild(); hooks.onChange(); return;
    }
    // A node matches the result filter by its own result; nodes without one (tasks, the
    // campaign) show as the way to their matching children.
    var okResult = new Uint8Array(D.results.length + 1);
    for (var r = -1; r < D.results.length; r++) okResult[r + 1] = !byResult || (r >= 0 && !!chosen[model.resultKeys[r]]);
    var idHit = null;
    if (q) { idHit = new Uint8Array(D.ids.length); for (var k = 0; k < D.ids.length; k++) idHit[k] = String(D.ids[k]).toLowerCase().indexOf(q) >= 0; }
    var dotted = q.indexOf(".") >= 0, matches = 0;
    var keep = new Uint8Array(N);
    for (var n = N - 1; n >= 0; n--) {
      var hit = okResult[D.result[n] + 1] === 1;
      if (hit && q) {
        var d = D.desc[n];
        hit = idHit[D.id[n]] === 1 || (d != null && String(d).toLowerCase().indexOf(q) >= 0) ||
          (dotted && model.fullId(n).toLowerCase().indexOf(q) >= 0);
      }
      if (hit) { keep[n] = 1; matches++; }
      if (keep[n] && n > 0) keep[model.parent[n]] = 1;
    }
    list.setKeep(keep);
    list.openParentsOf(keep);
    matchCount.textContent = Format.plural(matches, "match", "matches");
    list.rebuild();
    hooks.onChange();
  }
  function clear() {
    chosen = {}; searchBox.value = ""; list.setKeep(null);
    document.querySelectorAll(".chip").forEach(function (b) { b.setAttribute("aria-pressed", "false"); });
    matchCount.textContent = "";
  }
  var timer = 0;
  searchBox.addEventListener("input", function () {
    clearTimeout(timer);
    timer = setTimeout(apply, N > 200000 ? 250 : 80);
  });
  searchBox.addEventListener("keydown", function (ev) { if (ev.key === "Enter") { clearTimeout(timer); apply(); } });

  // What the reader chose, to be chosen again on a page reloaded with newer data.
  function state() { return { q: searchBox.value, chosen: chipKeys.filter(function (k) { return chosen[k]; }) }; }
  function restore(s) {
    if (!s) return;
    searchBox.value = typeof s.q === "string" ? s.q : "";
    (s.chosen || []).forEach(function (k) { if (chipKeys.indexOf(k) >= 0) chosen[k] = true; });
    if (active()) apply();
  }
  return { build: build, apply: apply, clear: clear, active: active, state: state, restore: restore };
}
