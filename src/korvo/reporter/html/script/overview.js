// The header (job facts, environment, counted results) and the tables below the tree.
function buildOverview(model, reveal) {
  "use strict";
  var el = Format.el, byId = Format.byId, D = model.data, N = model.N;
  var root = model.info(0), summary = root.summary || {};

  function fact(dl, label, value) {
    if (value == null || value === "") return;
    var d = el("div"); d.appendChild(el("dt", null, label)); d.appendChild(el("dd", null, String(value)));
    dl.appendChild(d);
  }
  function header() {
    byId("job-result").appendChild(Format.badge(model.resultKey(0)));
    var dl = byId("facts");
    fact(dl, "Type", model.typeName(0));
    fact(dl, "Host", root.host);
    fact(dl, "Submitter", root.submitter);
    fact(dl, "Start", N ? Format.time(D.t0, model.startAt[0]) : "");
    fact(dl, "Stop", N ? (model.stopAt[0] != null ? Format.time(D.t0, model.stopAt[0]) : root.stoptime) : "");
    fact(dl, "Duration", Format.duration(N ? model.duration[0] : null));
    fact(dl, "Success rate", typeof summary.success_rate === "number" ? summary.success_rate.toFixed(1) + " %" : null);
    fact(dl, "Tasks", root.totaltasks != null ? root.totaltasks : null);
    fact(dl, "Nodes", Format.count(N));
    environment();
    counted();
  }
  // Where and how the job ran: the campaign's own facts and its extra data.
  function environment() {
    var dl = byId("environment"), rows = 0;
    ["cli", "jobfile", "submitter", "host", "korvopath", "korvoversion", "archivefile"].forEach(function (k) {
      if (root[k] != null && root[k] !== "") { fact(dl, k, Format.pretty(root[k])); rows++; }
    });
    var extra = root.extra;
    if (extra && typeof extra === "object" && !Array.isArray(extra)) {
      Object.keys(extra).forEach(function (k) {
        if (k === "merged_from") return;
        fact(dl, k, Format.pretty(extra[k])); rows++;
      });
    } else if (extra != null) { fact(dl, "extra", Format.pretty(extra)); rows++; }
    byId("environment-panel").hidden = rows === 0;
    byId("environment-count").textContent = rows ? " (" + rows + ")" : "";
  }
  // The counters of the campaign: counted results, not nodes (a task counts each of its
  // testcases, setups and cleanups once).
  function counted() {
    var counts = [], total = 0;
    Object.keys(summary).forEach(function (k) {
      if (k === "total" || k === "success_rate" || typeof summary[k] !== "number") return;
      counts.push([k, summary[k]]); total += summary[k];
    });
    counts.sort(function (a, b) { return Format.severityOf(b[0]) - Format.severityOf(a[0]); });
    var box = byId("counts");
    var shownTotal = summary.total != null ? summary.total : total;
    var title = el("h2", null, "Counted results: " + Format.count(shownTotal));
    title.title = "What the campaign's counters hold: one count per testcase, setup, cleanup or plugin of each task";
    box.appendChild(title);
    var bar = el("div", "bar"); bar.setAttribute("aria-hidden", "true");
    var legend = el("ul", "legend");
    counts.forEach(function (c) {
      var seg = el("span", Format.resultClass(c[0])); seg.style.width = (total ? 100 * c[1] / total : 0) + "%";
      seg.title = c[0] + ": " + c[1] + " counted"; bar.appendChild(seg);
      var li = el("li"); li.dataset.result = c[0];
      li.appendChild(el("span", "swatch " + Format.resultClass(c[0])));
      li.appendChild(el("span", null, c[0]));
      li.appendChild(el("b", "count", Format.count(c[1])));
      li.setAttribute("aria-label", Format.count(c[1]) + " counted " + c[0]);
      legend.appendChild(li);
    });
    if (total) box.appendChild(bar);
    box.appendChild(legend);
  }

  function nodeLink(n) {
    var b = el("button", "link", model.fullId(n)); b.type = "button";
    b.addEventListener("click", function () { reveal(n); });
    return b;
  }
  function tables() {
    var tcs = [], k;
    for (k = 0; k < N; k++) if (model.duration[k] != null && model.typeName(k).toLowerCase() === "testcase") tcs.push(k);
    if (!tcs.length) for (k = 1; k < N; k++) if (model.duration[k] != null && model.parent[k] > 0 && model.parent[model.parent[k]] === 0) tcs.push(k);
    tcs.sort(function (a, b) { return model.duration[b] - model.duration[a]; });
    tcs = tcs.slice(0, 20);
    var t = el("table"), head = el("tr");
    ["#", "testcase", "result", "duration"].forEach(function (h, j) { head.appendChild(el("th", j === 0 || j === 3 ? "num" : null, h)); });
    t.appendChild(head);
    tcs.forEach(function (n, j) {
      var tr = el("tr"); tr.appendChild(el("td", "num", j + 1));
      var c = el("td", "name"); c.appendChild(nodeLink(n)); tr.appendChild(c);
      c = el("td"); c.appendChild(Format.badge(model.resultKey(n))); tr.appendChild(c);
      tr.appendChild(el("td", "num", Format.duration(model.duration[n]))); t.appendChild(tr);
    });
    byId("slowest").appendChild(tcs.length ? t : el("p", "hint", "No testcases with a duration."));

    var tasks = [], longest = 1;
    for (k = model.firstChild[0]; k < model.firstChild[1]; k++) { tasks.push(model.children[k]); longest = Math.max(longest, model.duration[model.children[k]] || 0); }
    t = el("table"); head = el("tr");
    ["task", "type", "result", "counted results", "duration"].forEach(function (h, j) { head.appendChild(el("th", j === 4 ? "num" : null, h)); });
    t.appendChild(head);
    tasks.forEach(function (n) {
      var tr = el("tr"), c = el("td", "name"); c.appendChild(nodeLink(n)); tr.appendChild(c);
      tr.appendChild(el("td", null, model.typeName(n)));
      c = el("td"); c.appendChild(Format.badge(model.resultKey(n))); tr.appendChild(c);
      var s = model.info(n).summary || {}, parts = [];
      Object.keys(s).forEach(function (key) { if (key !== "total" && key !== "success_rate") parts.push(s[key] + " " + key); });
      tr.appendChild(el("td", null, parts.join(", ")));
      c = el("td", "num"); var bar = el("span", "durbar"); bar.style.width = Math.round(60 * (model.duration[n] || 0) / longest) + "px";
      c.appendChild(bar); c.appendChild(document.createTextNode(Format.duration(model.duration[n]))); tr.appendChild(c);
      t.appendChild(tr);
    });
    byId("tasks").appendChild(tasks.length ? t : el("p", "hint", "No tasks."));
  }
  return { header: header, tables: tables };
}
