(function () {
  "use strict";
  var D = JSON.parse(document.getElementById("korvo-data").textContent);
  var N = D.up.length;
  var ROW = 28, OVERSCAN = 12;
  // Severity decides a parent's shown result (the worst below it) and what counts as a failure.
  var SEVERITY = { passed: 0, passx: 1, skipped: 2, blocked: 3, failed: 4, aborted: 5, errored: 6 };
  var KNOWN = ["passed", "passx", "skipped", "blocked", "failed", "aborted", "errored"];

  function $(id) { return document.getElementById(id); }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = text;
    return e;
  }

  // ---- the tree in arrays -------------------------------------------------------------
  // Columns come as differences (see the data builder): parents as distances up, starts
  // after the parent's start, log positions after the previous one.
  var parent = new Int32Array(N), depth = new Int32Array(N), childCount = new Int32Array(N);
  var startAt = new Array(N);
  if (N) { parent[0] = -1; startAt[0] = D.start[0]; }
  for (var i = 1; i < N; i++) {
    var up = i - D.up[i];
    parent[i] = up; depth[i] = depth[up] + 1; childCount[up]++;
    startAt[i] = D.start[i] == null ? null : (startAt[up] == null ? 0 : startAt[up]) + D.start[i];
  }
  var L = D.logs.length / 4, logNode = new Int32Array(L), logFile = new Int32Array(L);
  var logBegin = new Float64Array(L), logSize = new Float64Array(L);
  for (var k = 0; k < L; k++) {
    logNode[k] = (k ? logNode[k - 1] : 0) + D.logs[4 * k];
    logFile[k] = D.logs[4 * k + 1];
    logBegin[k] = (k ? logBegin[k - 1] : 0) + D.logs[4 * k + 2];
    logSize[k] = D.logs[4 * k + 3];
  }
  var firstChild = new Int32Array(N + 1), children = new Int32Array(Math.max(N - 1, 0));
  for (i = 0; i < N; i++) firstChild[i + 1] = firstChild[i] + childCount[i];
  var fill = firstChild.slice(0, N);
  for (i = 1; i < N; i++) children[fill[parent[i]]++] = i;

  var resultKeys = D.results.map(function (t) { return String(t).toLowerCase(); });
  function severityOf(key) { return key in SEVERITY ? SEVERITY[key] : 4; }
  // A node's shown result: its own, or the worst among its children (tasks, the campaign).
  var shown = new Int32Array(N);
  for (i = 0; i < N; i++) shown[i] = D.result[i];
  for (i = N - 1; i > 0; i--) {
    var p = parent[i], r = shown[i];
    if (r < 0 || D.result[p] >= 0) continue;
    if (shown[p] < 0 || severityOf(resultKeys[r]) > severityOf(resultKeys[shown[p]])) shown[p] = r;
  }
  function resultKey(n) { return shown[n] < 0 ? "none" : resultKeys[shown[n]]; }
  function isBad(n) { return shown[n] >= 0 && severityOf(resultKeys[shown[n]]) >= 3; }
  function typeName(n) { return D.type[n] < 0 ? "" : D.types[D.type[n]]; }
  function idOf(n) { return D.ids[D.id[n]]; }
  // The model's fullid: ids from below the campaign down to the node.
  function fullId(n) {
    if (n === 0) return idOf(0);
    var parts = [];
    for (; n > 0; n = parent[n]) parts.push(idOf(n));
    if (typeName(0) !== "Campaign") parts.push(idOf(0));
    return parts.reverse().join(".");
  }
  function info(n) { return D.info[n] || {}; }

  // ---- formatting ------------------------------------------------------------------------
  function fmtDur(us) {
    if (us == null) return "";
    var s = us / 1e6;
    if (s < 0.001) return "<1 ms";
    if (s < 1) return Math.round(s * 1000) + " ms";
    if (s < 60) return s.toFixed(2) + " s";
    var m = Math.floor(s / 60);
    if (m < 60) return m + " min " + String(Math.round(s - 60 * m)).padStart(2, "0") + " s";
    return Math.floor(m / 60) + " h " + String(m % 60).padStart(2, "0") + " min";
  }
  function pad(v, n) { return String(v).padStart(n || 2, "0"); }
  function fmtTime(offsetUs) {
    if (offsetUs == null || D.t0 == null) return "";
    var us = D.t0 + offsetUs, d = new Date(Math.floor(us / 1000));
    var frac = ((us % 1e6) + 1e6) % 1e6;
    return d.getUTCFullYear() + "-" + pad(d.getUTCMonth() + 1) + "-" + pad(d.getUTCDate()) + " " +
      pad(d.getUTCHours()) + ":" + pad(d.getUTCMinutes()) + ":" + pad(d.getUTCSeconds()) +
      (frac ? "." + pad(frac, 6) : "");
  }
  function fmtCount(v) { return Number(v).toLocaleString("en-US"); }
  function badge(key, label) {
    var cls = key === "none" ? "r-none" : (key in SEVERITY ? "r-" + key : "r-other");
    return el("span", "badge " + cls, label || (key === "none" ? "no result" : key));
  }

  // ---- header ----------------------------------------------------------------------------
  var root = info(0), summary = root.summary || {};
  function fact(dl, label, value) {
    if (value == null || value === "") return;
    var d = el("div"); d.appendChild(el("dt", null, label)); d.appendChild(el("dd", null, String(value)));
    dl.appendChild(d);
  }
  function buildHeader() {
    $("job-result").appendChild(badge(resultKey(0)));
    var dl = $("facts");
    fact(dl, "Type", typeName(0));
    fact(dl, "Host", root.host);
    fact(dl, "Submitter", root.submitter);
    fact(dl, "Start", fmtTime(startAt[0]));
    fact(dl, "Stop", startAt[0] != null && D.dur[0] != null ? fmtTime(startAt[0] + D.dur[0]) : root.stoptime);
    fact(dl, "Duration", fmtDur(D.dur[0]));
    fact(dl, "Success rate", typeof summary.success_rate === "number" ? summary.success_rate.toFixed(1) + " %" : null);
    fact(dl, "Tasks", root.totaltasks != null ? root.totaltasks : null);
    fact(dl, "Nodes", fmtCount(N));
    var counts = [], total = 0;
    Object.keys(summary).forEach(function (k) {
      if (k === "total" || k === "success_rate" || typeof summary[k] !== "number") return;
      counts.push([k, summary[k]]); total += summary[k];
    });
    counts.sort(function (a, b) { return severityOf(b[0]) - severityOf(a[0]); });
    var box = $("counts");
    box.appendChild(el("h2", null, "Results: " + fmtCount(summary.total != null ? summary.total : total) + " counted"));
    var bar = el("div", "bar"); bar.setAttribute("aria-hidden", "true");
    var legend = el("ul", "legend");
    counts.forEach(function (c) {
      var seg = el("span", key2cls(c[0])); seg.style.width = (total ? 100 * c[1] / total : 0) + "%";
      seg.title = c[0] + ": " + c[1]; bar.appendChild(seg);
      var li = el("li"); li.dataset.result = c[0];
      li.appendChild(el("span", "swatch " + key2cls(c[0])));
      li.appendChild(el("span", null, c[0]));
      var b = el("b", "count", fmtCount(c[1])); li.appendChild(b);
      legend.appendChild(li);
    });
    if (total) box.appendChild(bar);
    box.appendChild(legend);
  }
  function key2cls(k) { return k in SEVERITY ? "r-" + k : "r-other"; }

  function reveal(n) {
    for (var a = parent[n]; a >= 0; a = a > 0 ? parent[a] : -1) { expanded[a] = 1; if (a === 0) break; }
    if (keep && !keep[n]) clearFilters();
    rebuild();
    var at = rows.indexOf(n);
    if (at >= 0) { setActive(at, true); treeBox.focus(); showDetail(n); }
  }
  function nodeLink(n) {
    var b = el("button", "link", fullId(n)); b.type = "button";
    b.addEventListener("click", function () { reveal(n); });
    return b;
  }
  function buildTables() {
    var tcs = [];
    for (var k = 0; k < N; k++) if (D.dur[k] != null && typeName(k).toLowerCase() === "testcase") tcs.push(k);
    if (!tcs.length) for (k = 1; k < N; k++) if (D.dur[k] != null && parent[k] > 0 && parent[parent[k]] === 0) tcs.push(k);
    tcs.sort(function (a, b) { return D.dur[b] - D.dur[a]; });
    tcs = tcs.slice(0, 20);
    var t = el("table"), head = el("tr");
    ["#", "testcase", "result", "duration"].forEach(function (h, j) { head.appendChild(el("th", j === 0 || j === 3 ? "num" : null, h)); });
    t.appendChild(head);
    tcs.forEach(function (n, j) {
      var tr = el("tr"); tr.appendChild(el("td", "num", j + 1));
      var c = el("td", "name"); c.appendChild(nodeLink(n)); tr.appendChild(c);
      c = el("td"); c.appendChild(badge(resultKey(n))); tr.appendChild(c);
      tr.appendChild(el("td", "num", fmtDur(D.dur[n]))); t.appendChild(tr);
    });
    $("slowest").appendChild(tcs.length ? t : el("p", "hint", "No testcases with a duration."));

    var tasks = [], longest = 1;
    for (k = firstChild[0]; k < firstChild[1]; k++) { tasks.push(children[k]); longest = Math.max(longest, D.dur[children[k]] || 0); }
    t = el("table"); head = el("tr");
    ["task", "type", "result", "counts", "duration"].forEach(function (h, j) { head.appendChild(el("th", j === 4 ? "num" : null, h)); });
    t.appendChild(head);
    tasks.forEach(function (n) {
      var tr = el("tr"), c = el("td", "name"); c.appendChild(nodeLink(n)); tr.appendChild(c);
      tr.appendChild(el("td", null, typeName(n)));
      c = el("td"); c.appendChild(badge(resultKey(n))); tr.appendChild(c);
      var s = info(n).summary || {}, parts = [];
      Object.keys(s).forEach(function (key) { if (key !== "total" && key !== "success_rate") parts.push(s[key] + " " + key); });
      tr.appendChild(el("td", null, parts.join(", ")));
      c = el("td", "num"); var bar = el("span", "durbar"); bar.style.width = Math.round(60 * (D.dur[n] || 0) / longest) + "px";
      c.appendChild(bar); c.appendChild(document.createTextNode(fmtDur(D.dur[n]))); tr.appendChild(c);
      t.appendChild(tr);
    });
    $("tasks").appendChild(tasks.length ? t : el("p", "hint", "No tasks."));
  }

  // ---- tree state -------------------------------------------------------------------------
  var expanded = new Uint8Array(N), keep = null, rows = [], active = -1, selected = -1;
  var treeBox = $("tree"), spacer = $("spacer");
  function expandFailures() {
    expanded.fill(0);
    expanded[0] = 1;
    // Each node on the way to a failure is open, so failures show on open.
    for (var n = N - 1; n > 0; n--) if (isBad(n) && childCount[n] > 0 && hasBadChild(n)) expanded[n] = 1;
    for (n = firstChild[0]; n < firstChild[1]; n++) if (isBad(children[n])) expanded[children[n]] = 1;
  }
  function hasBadChild(n) {
    for (var k = firstChild[n]; k < firstChild[n + 1]; k++) if (isBad(children[k])) return true;
    return false;
  }
  function rebuild() {
    var out = [], stack = [0];
    while (stack.length) {
      var n = stack.pop();
      if (keep && !keep[n]) continue;
      out.push(n);
      if (expanded[n]) for (var k = firstChild[n + 1] - 1; k >= firstChild[n]; k--) stack.push(children[k]);
    }
    var activeNode = active >= 0 ? rows[active] : -1;
    rows = out;
    spacer.style.height = rows.length * ROW + "px";
    active = activeNode >= 0 ? rows.indexOf(activeNode) : -1;
    if (active < 0 && rows.length) active = 0;
    render();
  }

  var pool = [];
  function render() {
    var top = treeBox.scrollTop, h = treeBox.clientHeight || 600;
    var first = Math.max(0, Math.floor(top / ROW) - OVERSCAN);
    var last = Math.min(rows.length, Math.ceil((top + h) / ROW) + OVERSCAN);
    var need = last - first;
    while (pool.length < need) { var r = makeRow(); pool.push(r); spacer.appendChild(r.el); }
    for (var k = 0; k < pool.length; k++) {
      var row = pool[k];
      if (k >= need) { row.el.style.display = "none"; row.node = -1; continue; }
      fillRow(row, first + k);
    }
    if (active >= 0 && rows.length) treeBox.setAttribute("aria-activedescendant", "row-" + rows[active]);
    else treeBox.removeAttribute("aria-activedescendant");
  }
  function makeRow() {
    var e = el("div", "row"); e.setAttribute("role", "treeitem");
    var tw = el("span", "twisty"); tw.setAttribute("aria-hidden", "true");
    var b = el("span", "badge"), id = el("span", "rid"), ty = el("span", "rtype"), ds = el("span", "rdesc"), du = el("span", "rdur");
    e.appendChild(tw); e.appendChild(b); e.appendChild(id); e.appendChild(ty); e.appendChild(ds); e.appendChild(du);
    return { el: e, tw: tw, badge: b, id: id, type: ty, desc: ds, dur: du, node: -1 };
  }
  function fillRow(row, at) {
    var n = rows[at], e = row.el;
    e.style.display = "";
    e.style.transform = "translateY(" + at * ROW + "px)";
    e.style.paddingLeft = 6 + depth[n] * 18 + "px";
    e.dataset.index = at;
    e.classList.toggle("active", at === active);
    if (row.node === n && row.exp === expanded[n]) return;
    row.node = n; row.exp = expanded[n];
    e.id = "row-" + n;
    e.dataset.node = n;
    e.setAttribute("aria-level", depth[n] + 1);
    e.setAttribute("aria-selected", n === selected ? "true" : "false");
    if (childCount[n]) e.setAttribute("aria-expanded", expanded[n] ? "true" : "false"); else e.removeAttribute("aria-expanded");
    row.tw.textContent = childCount[n] ? (expanded[n] ? "\u25BE" : "\u25B8") : "";
    var key = resultKey(n);
    row.badge.className = "badge " + (key === "none" ? "r-none" : key2cls(key));
    row.badge.textContent = key === "none" ? "\u2014" : key;
    e.dataset.result = key;
    row.id.textContent = idOf(n);
    row.type.textContent = typeName(n);
    row.desc.textContent = D.desc[n] || "";
    row.dur.textContent = fmtDur(D.dur[n]);
  }
  function setActive(at, scroll) {
    if (!rows.length) return;
    active = Math.max(0, Math.min(rows.length - 1, at));
    if (scroll) {
      var y = active * ROW, top = treeBox.scrollTop, h = treeBox.clientHeight;
      if (y < top) treeBox.scrollTop = y;
      else if (y + ROW > top + h) treeBox.scrollTop = y + ROW - h;
    }
    render();
  }
  function toggle(n, open) {
    if (!childCount[n]) return;
    expanded[n] = open == null ? 1 - expanded[n] : (open ? 1 : 0);
    rebuild();
  }

  var pending = false;
  treeBox.addEventListener("scroll", function () {
    if (pending) return;
    pending = true;
    requestAnimationFrame(function () { pending = false; render(); });
  });
  treeBox.addEventListener("click", function (ev) {
    var rowEl = ev.target.closest(".row");
    if (!rowEl) return;
    var at = +rowEl.dataset.index, n = rows[at];
    if (ev.target.classList.contains("twisty")) { setActive(at); toggle(n); return; }
    setActive(at); select(n);
  });
  treeBox.addEventListener("dblclick", function (ev) {
    var rowEl = ev.target.closest(".row");
    if (rowEl) toggle(rows[+rowEl.dataset.index]);
  });
  treeBox.addEventListener("keydown", function (ev) {
    if (!rows.length) return;
    var n = rows[active], page = Math.max(1, Math.floor(treeBox.clientHeight / ROW) - 1);
    switch (ev.key) {
      case "ArrowDown": setActive(active + 1, true); break;
      case "ArrowUp": setActive(active - 1, true); break;
      case "PageDown": setActive(active + page, true); break;
      case "PageUp": setActive(active - page, true); break;
      case "Home": setActive(0, true); break;
      case "End": setActive(rows.length - 1, true); break;
      case "ArrowRight":
        if (childCount[n] && !expanded[n]) toggle(n, true);
        else if (childCount[n]) setActive(active + 1, true);
        break;
      case "ArrowLeft":
        if (childCount[n] && expanded[n]) toggle(n, false);
        else if (n > 0) { var at = rows.lastIndexOf(parent[n], active); if (at >= 0) setActive(at, true); }
        break;
      case "Enter": case " ": select(n); break;
      case "*": for (var k = firstChild[n]; k < firstChild[n + 1]; k++) expanded[children[k]] = 1; expanded[n] = 1; rebuild(); break;
      default: return;
    }
    ev.preventDefault();
  });

  // ---- details ----------------------------------------------------------------------------
  function select(n) {
    selected = n;
    for (var k = 0; k < pool.length; k++) pool[k].el.setAttribute("aria-selected", pool[k].node === n ? "true" : "false");
    showDetail(n);
  }
  function logPosition(n) {
    var lo = 0, hi = L - 1;
    while (lo <= hi) {
      var mid = (lo + hi) >> 1, at = logNode[mid];
      if (at === n) return { file: logFile[mid], begin: logBegin[mid], size: logSize[mid] };
      if (at < n) lo = mid + 1; else hi = mid - 1;
    }
    return null;
  }
  var decoder = new TextDecoder("utf-8");
  function logSlice(n, pos) {
    var state = D.sliceState[n];
    if (state === 1) return { note: "The log file " + D.files[pos.file] + " was not found in the log directory." };
    if (state === 2) return { note: "Not embedded: the report's total log budget was spent on other nodes." };
    if (state === 3 || pos.begin < 0 || pos.size < 0) return { note: "The log position is incomplete, so no slice can be cut." };
    if (!D.logsDir) return { note: "No log directory was given when the report was written, so no log is embedded." };
    if (pos.size === 0) return { text: "", note: "Nothing was written to the log while this ran." };
    var want = Math.min(pos.size, D.sliceCap);
    for (var k = 0; k < D.chunks.length; k++) {
      var c = D.chunks[k], str = c[2];
      if (c[0] !== pos.file || pos.begin < c[1] || pos.begin >= c[1] + str.length) continue;
      var from = pos.begin - c[1], to = Math.min(from + want, str.length);
      var bytes = new Uint8Array(to - from);
      for (var j = 0; j < bytes.length; j++) bytes[j] = str.charCodeAt(from + j);
      var notes = [];
      if (pos.size > D.sliceCap) notes.push("Cut at " + fmtCount(D.sliceCap) + " of " + fmtCount(pos.size) + " bytes.");
      if (to - from < want) notes.push("The log file ends before the end of this slice.");
      return { text: decoder.decode(bytes), note: notes.join(" ") };
    }
    return { note: "The log file ends before this slice begins." };
  }
  function pretty(v) { return typeof v === "string" ? v : JSON.stringify(v, null, 2); }
  function showDetail(n) {
    var box = $("detail");
    box.textContent = "";
    var h = el("h3"); h.appendChild(badge(resultKey(n))); h.appendChild(el("span", null, fullId(n)));
    box.appendChild(h);
    var dl = el("dl"), inf = info(n);
    function row(label, value) {
      if (value == null || value === "") return;
      dl.appendChild(el("dt", null, label)); dl.appendChild(el("dd", null, String(value)));
    }
    row("Type", typeName(n));
    row("Result", D.result[n] >= 0 ? D.results[D.result[n]] : (shown[n] >= 0 ? "worst below: " + D.results[shown[n]] : "none"));
    if (inf.result && inf.result.reason) row("Reason", pretty(inf.result.reason));
    row("Description", D.desc[n]);
    row("Start", fmtTime(startAt[n]));
    row("Stop", startAt[n] != null && D.dur[n] != null ? fmtTime(startAt[n] + D.dur[n]) : "");
    row("Duration", fmtDur(D.dur[n]));
    row("Children", childCount[n] ? fmtCount(childCount[n]) : "");
    var pos = logPosition(n);
    if (pos) row("Log", D.files[pos.file] + ", from byte " + fmtCount(pos.begin) + (pos.size >= 0 ? ", " + fmtCount(pos.size) + " bytes" : ""));
    box.appendChild(dl);
    var order = ["details", "extra", "parameters", "xref"];
    Object.keys(inf).forEach(function (k) { if (order.indexOf(k) < 0) order.push(k); });
    order.forEach(function (k) {
      if (!(k in inf)) return;
      var sec = el("section"); sec.className = "field field-" + k;
      sec.appendChild(el("h4", null, k)); sec.appendChild(el("pre", null, pretty(inf[k])));
      box.appendChild(sec);
    });
    if (pos) {
      var s = logSlice(n, pos), sec = el("section", "log-slice");
      sec.appendChild(el("h4", null, "Log " + D.files[pos.file]));
      if (s.note) sec.appendChild(el("p", "note", s.note));
      if (s.text != null && s.text !== "") sec.appendChild(el("pre", "log", s.text));
      box.appendChild(sec);
    }
  }

  // ---- filters ----------------------------------------------------------------------------
  var chosen = {};
  var chipKeys = [];
  function buildChips() {
    // Each chip counts the nodes that carry that result themselves.
    var counts = {};
    for (var n = 0; n < N; n++) if (D.result[n] >= 0) { var k = resultKeys[D.result[n]]; counts[k] = (counts[k] || 0) + 1; }
    chipKeys = Object.keys(counts).sort(function (a, b) { return severityOf(b) - severityOf(a); });
    var box = $("chips");
    var bad = el("button", "chip", "Failures only"); bad.type = "button"; bad.id = "only-failures";
    bad.setAttribute("aria-pressed", "false");
    bad.addEventListener("click", function () {
      var on = bad.getAttribute("aria-pressed") !== "true";
      chipKeys.forEach(function (k) { chosen[k] = on && severityOf(k) >= 3; });
      applyFilters();
    });
    box.appendChild(bad);
    chipKeys.forEach(function (k) {
      var b = el("button", "chip"); b.type = "button"; b.dataset.result = k;
      b.setAttribute("aria-pressed", "false");
      b.appendChild(el("span", "swatch " + key2cls(k)));
      b.appendChild(el("span", null, k + " "));
      b.appendChild(el("b", "count", fmtCount(counts[k])));
      b.addEventListener("click", function () { chosen[k] = !chosen[k]; applyFilters(); });
      box.appendChild(b);
    });
  }
  var searchBox = $("search");
  function applyFilters() {
    var q = searchBox.value.trim().toLowerCase();
    var byResult = chipKeys.some(function (k) { return chosen[k]; });
    document.querySelectorAll(".chip[data-result]").forEach(function (b) { b.setAttribute("aria-pressed", chosen[b.dataset.result] ? "true" : "false"); });
    var allBad = byResult && chipKeys.every(function (k) { return !!chosen[k] === (severityOf(k) >= 3); });
    $("only-failures").setAttribute("aria-pressed", allBad ? "true" : "false");
    if (!byResult && !q) {
      keep = null; $("match-count").textContent = "";
      expandFailures(); rebuild(); return;
    }
    // A node matches the result filter by its own result; nodes without one (tasks, the
    // campaign) show as the way to their matching children.
    var okResult = new Uint8Array(D.results.length + 1);
    for (var r = -1; r < D.results.length; r++) okResult[r + 1] = !byResult || (r >= 0 && !!chosen[resultKeys[r]]);
    var idHit = null;
    if (q) { idHit = new Uint8Array(D.ids.length); for (var k = 0; k < D.ids.length; k++) idHit[k] = String(D.ids[k]).toLowerCase().indexOf(q) >= 0; }
    var dotted = q.indexOf(".") >= 0, matches = 0;
    keep = new Uint8Array(N);
    for (var n = N - 1; n >= 0; n--) {
      var hit = okResult[D.result[n] + 1] === 1;
      if (hit && q) {
        var d = D.desc[n];
        hit = idHit[D.id[n]] === 1 || (d != null && String(d).toLowerCase().indexOf(q) >= 0) ||
          (dotted && fullId(n).toLowerCase().indexOf(q) >= 0);
      }
      if (hit) { keep[n] = 1; matches++; }
      if (keep[n] && n > 0) keep[parent[n]] = 1;
    }
    expanded.fill(0);
    for (n = 0; n < N; n++) if (keep[n] && n > 0) expanded[parent[n]] = 1;
    $("match-count").textContent = fmtCount(matches) + (matches === 1 ? " match" : " matches");
    rebuild();
  }
  function clearFilters() {
    chosen = {}; searchBox.value = ""; keep = null;
    document.querySelectorAll(".chip").forEach(function (b) { b.setAttribute("aria-pressed", "false"); });
    $("match-count").textContent = "";
  }
  var searchTimer = 0;
  searchBox.addEventListener("input", function () {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(applyFilters, N > 200000 ? 250 : 80);
  });
  searchBox.addEventListener("keydown", function (ev) { if (ev.key === "Enter") { clearTimeout(searchTimer); applyFilters(); } });
  $("expand-all").addEventListener("click", function () {
    if (N > 200000 && !keep && !confirm("Open all " + fmtCount(N) + " rows?")) return;
    expanded.fill(1); rebuild();
  });
  $("collapse-all").addEventListener("click", function () { expanded.fill(0); expanded[0] = 1; rebuild(); });

  // ---- print: the open rows as a plain list ---------------------------------------------------
  window.addEventListener("beforeprint", function () {
    var box = $("print-tree"); box.textContent = "";
    var limit = Math.min(rows.length, 20000);
    for (var k = 0; k < limit; k++) { var r = makeRow(); fillRow(r, k); r.el.style.transform = ""; r.el.removeAttribute("id"); box.appendChild(r.el); }
    if (rows.length > limit) box.appendChild(el("p", "note", "(" + fmtCount(rows.length - limit) + " more rows not printed)"));
  });
  window.addEventListener("afterprint", function () { $("print-tree").textContent = ""; });

  // ---- start ----------------------------------------------------------------------------------
  buildHeader();
  expandFailures();
  rebuild();
  buildChips();
  document.body.dataset.ready = "tree";
  requestAnimationFrame(function () {
    setTimeout(function () {
      performance.mark("tree-visible");
      // The tables below the first screen scan every node: built once the tree shows.
      buildTables();
      document.body.dataset.ready = "all";
    }, 0);
  });
})();
