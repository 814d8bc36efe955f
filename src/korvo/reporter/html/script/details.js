// The panel of the selected node: its fields, data and log slice.
function createDetails(model, box, announcer) {
  "use strict";
  var el = Format.el, D = model.data;
  var decoder = new TextDecoder("utf-8");
  var HINT = "Select a row to see its details, extra data and log.";

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
      if (pos.size > D.sliceCap) notes.push("Cut at " + Format.count(D.sliceCap) + " of " + Format.count(pos.size) + " bytes.");
      if (to - from < want) notes.push("The log file ends before the end of this slice.");
      return { text: decoder.decode(bytes), note: notes.join(" ") };
    }
    return { note: "The log file ends before this slice begins." };
  }
  // Times as the report stores them: a stop the document does not hold is not made up.
  function stopText(n, inf) {
    if (model.stopAt[n] != null) return Format.time(D.t0, model.stopAt[n]);
    return inf.stoptime != null ? String(inf.stoptime) : "";
  }
  function show(n) {
    box.textContent = "";
    var key = model.resultKey(n);
    var h = el("h3"); h.appendChild(Format.badge(key)); h.appendChild(el("span", "fullid", model.fullId(n)));
    box.appendChild(h);
    var dl = el("dl"), inf = model.info(n);
    function row(label, value) {
      if (value == null || value === "") return;
      dl.appendChild(el("dt", null, label)); dl.appendChild(el("dd", null, String(value)));
    }
    row("Type", model.typeName(n));
    var own = D.result[n];
    row("Result", own >= 0 ? D.results[own] : (key !== "none" ? "worst below: " + key : "none"));
    if (inf.result && inf.result.reason) row("Reason", Format.pretty(inf.result.reason));
    else if (model.reasonLine(n)) row("Reason below", model.reasonLine(n));
    row("Description", model.description(n));
    row("Start", model.startAt[n] != null ? Format.time(D.t0, model.startAt[n]) : inf.starttime);
    row("Stop", stopText(n, inf));
    row("Duration", Format.duration(model.duration[n]));
    row("Children", model.childCount[n] ? Format.count(model.childCount[n]) : "");
    var pos = model.logPosition(n);
    if (pos) row("Log", D.files[pos.file] + ", from byte " + Format.count(pos.begin) + (pos.size >= 0 ? ", " + Format.count(pos.size) + " bytes" : ""));
    box.appendChild(dl);
    var order = ["details", "extra", "parameters", "xref"];
    // Fields the rows above show already are left out: times, and a result with no data.
    var shownAbove = { starttime: 1, stoptime: 1 };
    if (inf.result && Object.keys(inf.result).every(function (k) { return k === "value" || k === "reason"; })) shownAbove.result = 1;
    Object.keys(inf).forEach(function (k) { if (order.indexOf(k) < 0 && !shownAbove[k]) order.push(k); });
    order.forEach(function (k) {
      if (!(k in inf)) return;
      var sec = el("section"); sec.className = "field field-" + k;
      sec.appendChild(el("h4", null, k)); sec.appendChild(el("pre", null, Format.pretty(inf[k])));
      box.appendChild(sec);
    });
    if (pos) {
      var s = logSlice(n, pos), sec = el("section", "log-slice");
      sec.appendChild(el("h4", null, "Log " + D.files[pos.file]));
      if (s.note) sec.appendChild(el("p", "note", s.note));
      if (s.text != null && s.text !== "") sec.appendChild(el("pre", "log", s.text));
      box.appendChild(sec);
    }
    // A short line for screen readers; the panel itself is not read aloud on each selection.
    announcer.textContent = "Selected " + model.fullId(n) + ", " + (key === "none" ? "no result" : key);
  }
  function clear(note) {
    box.textContent = "";
    box.appendChild(el("p", "hint", note || HINT));
  }
  return { show: show, clear: clear };
}
