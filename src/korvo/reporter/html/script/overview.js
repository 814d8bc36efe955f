// The header (job facts, environment, counted results) and the tables below the tree.
function buildOverview(model, reveal, past) {
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
    if (past && past.trends.length) trends(past.trends, past.series);
  }

  // ---- trends of the series, as inline SVG ------------------------------------------------
  var SVG = "http://www.w3.org/2000/svg";
  function svg(tag, attrs) {
    var e = document.createElementNS(SVG, tag);
    Object.keys(attrs || {}).forEach(function (k) { e.setAttribute(k, attrs[k]); });
    return e;
  }
  function chart(title, jobs, draw) {
    var W = 600, H = 150, pad = 28;
    var fig = el("figure", "trend");
    fig.appendChild(el("figcaption", null, title));
    var box = svg("svg", { viewBox: "0 0 " + W + " " + H, role: "img", "aria-label": title });
    box.appendChild(svg("line", { x1: pad, y1: H - pad, x2: W - 4, y2: H - pad, "class": "axis" }));
    var step = (W - pad - 8) / Math.max(1, jobs.length);
    draw(box, { W: W, H: H, pad: pad, step: step, x: function (k) { return pad + 4 + k * step; },
                plot: H - 2 * pad + 18 });
    fig.appendChild(box);
    return fig;
  }
  function label(box, x, y, text, anchor) {
    var t = svg("text", { x: x, y: y, "text-anchor": anchor || "start", "class": "trend-label" });
    t.textContent = text;
    box.appendChild(t);
  }
  function line(box, g, values, top, cls) {
    var points = [];
    values.forEach(function (v, k) {
      if (v == null) return;
      var y = g.H - g.pad - (top ? v / top : 0) * g.plot;
      points.push((g.x(k) + g.step / 2).toFixed(1) + "," + y.toFixed(1));
      var dot = svg("circle", { cx: (g.x(k) + g.step / 2).toFixed(1), cy: y.toFixed(1), r: 2.5, "class": cls });
      var tip = svg("title"); tip.textContent = String(v); dot.appendChild(tip);
      box.appendChild(dot);
    });
    box.appendChild(svg("polyline", { points: points.join(" "), "class": cls + " trend-line" }));
  }
  function trends(jobs, series) {
    var section = byId("trends");
    section.hidden = false;
    byId("trends-title").textContent = "Trends of the last " + Format.plural(jobs.length, "job", "jobs") +
      (series ? " of " + series : "");
    var box = byId("trend-charts");
    var rates = jobs.map(function (j) {
      var c = j.counts || {}, total = 0, ok = 0;
      Object.keys(c).forEach(function (k) {
        if (k === "total" || k === "success_rate") return;
        total += c[k]; if (k === "passed" || k === "passx") ok += c[k];
      });
      return total ? Math.round(1000 * ok / total) / 10 : null;
    });
    box.appendChild(chart("Pass rate (%)", jobs, function (g, geo) {
      label(g, 2, geo.H - geo.pad, "0"); label(g, 2, geo.H - geo.pad - geo.plot + 4, "100");
      line(g, geo, rates, 100, "trend-rate");
    }));
    var keys = {};
    jobs.forEach(function (j) { Object.keys(j.counts || {}).forEach(function (k) { if (k !== "total" && k !== "success_rate") keys[k] = 1; }); });
    var order = Object.keys(keys).sort(function (a, b) { return Format.severityOf(a) - Format.severityOf(b); });
    var most = Math.max.apply(null, jobs.map(function (j) { var t = 0; order.forEach(function (k) { t += (j.counts || {})[k] || 0; }); return t; }).concat([1]));
    box.appendChild(chart("Counted results", jobs, function (g, geo) {
      label(g, 2, geo.H - geo.pad - geo.plot + 4, Format.count(most));
      jobs.forEach(function (j, k) {
        var y = geo.H - geo.pad;
        order.forEach(function (key) {
          var v = (j.counts || {})[key] || 0;
          if (!v) return;
          var h = v / most * geo.plot;
          y -= h;
          var bar = svg("rect", { x: geo.x(k).toFixed(1), y: y.toFixed(1), width: Math.max(1, geo.step - 2).toFixed(1),
                                  height: h.toFixed(1), "class": "bar-" + Format.resultClass(key) });
          var tip = svg("title"); tip.textContent = j.campaign + ": " + v + " " + key; bar.appendChild(tip);
          g.appendChild(bar);
        });
      });
    }));
    var runtimes = jobs.map(function (j) { return typeof j.runtime === "number" ? j.runtime : null; });
    var longest = Math.max.apply(null, runtimes.filter(function (v) { return v != null; }).concat([0.001]));
    box.appendChild(chart("Duration (s)", jobs, function (g, geo) {
      label(g, 2, geo.H - geo.pad - geo.plot + 4, longest.toFixed(longest < 10 ? 2 : 0));
      line(g, geo, runtimes, longest, "trend-duration");
    }));
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
