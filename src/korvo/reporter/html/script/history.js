// The job's history, when the report was written with one (html --db): each testcase's
// last outcomes, oldest first and this job last, with a "new failure" or "flaky" badge,
// and the trends of the series.
function buildHistory(model, H) {
  "use strict";
  var cases = (H && H.cases) || {}, keys = {};
  // A node's name in the history: its task's testscript (or id) and the ids below the
  // task; a job-level plugin is its own script.
  function keyOf(n) {
    if (n in keys) return keys[n];
    var ids = [], a = n;
    while (a > 0 && model.depth[a] > 1) { ids.push(String(model.idOf(a))); a = model.parent[a]; }
    var key = null;
    if (a > 0) {
      if (model.typeName(a) === "Plugin") { ids.push(String(model.idOf(a))); key = model.idOf(a) + "::" + ids.reverse().join("/"); }
      else if (ids.length) key = (model.info(a).testscript || model.idOf(a)) + "::" + ids.reverse().join("/");
    }
    return (keys[n] = key);
  }
  function of(n) {
    if (!H || n === 0) return null;
    var key = keyOf(n);
    return key && cases[key] ? cases[key] : null;
  }
  return { present: !!H, of: of, trends: (H && H.trends) || [], series: H ? H.series : null };
}

// The outcome strip of a row: a square per job, oldest first.
function historyStrip(entry) {
  "use strict";
  var box = Format.el("span", "strip");
  var names = { p: "passed", f: "failed", s: "skipped" };
  var text = [];
  for (var k = 0; k < entry.strip.length; k++) {
    var c = entry.strip[k];
    box.appendChild(Format.el("span", "tick tick-" + c));
    text.push(names[c] || c);
  }
  box.title = "Last " + entry.strip.length + " jobs, oldest first: " + text.join(", ");
  box.setAttribute("aria-label", box.title);
  return box;
}
