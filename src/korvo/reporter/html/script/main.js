// Wires the parts together: selection and the address's fragment (deep links), printing,
// and the order the page is built in.
(function () {
  "use strict";
  var byId = Format.byId, el = Format.el;
  var D = JSON.parse(byId("korvo-data").textContent);
  var model = buildModel(D);
  var past = buildHistory(model, JSON.parse(byId("korvo-history").textContent));
  var details = createDetails(model, byId("detail"), byId("announce"));
  var filters = null;
  var list = createVirtualList(model, byId("tree"), byId("spacer"), {
    onSelect: function (n) { details.show(n); writeFragment(n); },
    onHidden: function () { filters.clear(); },
    history: past
  });
  filters = createFilters(model, list, {
    // The details follow the filter: a node the filter hides is not shown as selected.
    onChange: function () {
      var n = list.selected();
      if (n >= 0 && !list.keeps(n)) { list.unselect(); details.clear("The selected node is hidden by the filter."); }
    }
  });

  // The fragment names a node by its ids below the root: "#/task002/tc003/step1".
  function writeFragment(n) {
    var hash = "#/" + model.pathOf(n).map(encodeURIComponent).join("/");
    if (location.hash !== hash) history.replaceState(null, "", hash);
  }
  function readFragment() {
    var hash = location.hash;
    if (hash.slice(0, 2) !== "#/") return -1;
    var parts = hash.slice(2).split("/").filter(function (p) { return p !== ""; });
    try { parts = parts.map(decodeURIComponent); } catch (e) { return -1; }
    return model.findPath(parts);
  }
  function followFragment() {
    var n = readFragment();
    if (n >= 0) { list.reveal(n); byId("tree").focus(); }
    else if (location.hash.slice(0, 2) === "#/") details.clear("The node named in the address (" + decodeURI(location.hash) + ") is not in this report.");
  }
  window.addEventListener("hashchange", followFragment);

  byId("expand-all").addEventListener("click", function () {
    if (model.N > 200000 && !filters.active() && !confirm("Open all " + Format.count(model.N) + " rows?")) return;
    list.expandAll();
  });
  byId("collapse-all").addEventListener("click", function () { list.collapseAll(); });

  // Print: the open rows as a plain list.
  window.addEventListener("beforeprint", function () {
    var box = byId("print-tree"), rows = list.rows(); box.textContent = "";
    var limit = Math.min(rows.length, 20000);
    for (var k = 0; k < limit; k++) { var r = list.makeRow(); list.fillPrintRow(r, k); box.appendChild(r.el); }
    if (rows.length > limit) box.appendChild(el("p", "note", "(" + Format.count(rows.length - limit) + " more rows not printed)"));
  });
  window.addEventListener("afterprint", function () { byId("print-tree").textContent = ""; });

  var overview = buildOverview(model, function (n) { list.reveal(n); byId("tree").focus(); }, past);
  overview.header();
  list.expandFailures();
  list.rebuild();
  filters.build();
  followFragment();
  createLive(JSON.parse(byId("korvo-live").textContent), filters, list).start();
  document.body.dataset.ready = "tree";
  requestAnimationFrame(function () {
    setTimeout(function () {
      performance.mark("tree-visible");
      // The tables below the first screen scan every node: built once the tree shows.
      overview.tables();
      document.body.dataset.ready = "all";
    }, 0);
  });
})();
