// Formatting and small DOM helpers shared by every part of the page.
var Format = (function () {
  // Severity decides a parent's shown result: the worst below it.
  var SEVERITY = { passed: 0, passx: 1, skipped: 2, blocked: 3, failed: 4, aborted: 5, errored: 6 };

  function byId(id) { return document.getElementById(id); }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = text;
    return e;
  }
  function severityOf(key) { return key in SEVERITY ? SEVERITY[key] : 4; }
  function resultClass(key) { return key === "none" ? "r-none" : (key in SEVERITY ? "r-" + key : "r-other"); }
  function badge(key, label) {
    return el("span", "badge " + resultClass(key), label || (key === "none" ? "no result" : key));
  }
  function duration(us) {
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
  // A wall-clock reading `offsetUs` after `t0` (both in microseconds), as the report stores it.
  function time(t0, offsetUs) {
    if (offsetUs == null || t0 == null) return "";
    var us = t0 + offsetUs, d = new Date(Math.floor(us / 1000));
    var frac = ((us % 1e6) + 1e6) % 1e6;
    return d.getUTCFullYear() + "-" + pad(d.getUTCMonth() + 1) + "-" + pad(d.getUTCDate()) + " " +
      pad(d.getUTCHours()) + ":" + pad(d.getUTCMinutes()) + ":" + pad(d.getUTCSeconds()) +
      (frac ? "." + pad(frac, 6) : "");
  }
  function count(v) { return Number(v).toLocaleString("en-US"); }
  function plural(n, one, many) { return count(n) + " " + (n === 1 ? one : many); }
  function pretty(v) { return typeof v === "string" ? v : JSON.stringify(v, null, 2); }
  function firstLine(v) {
    if (v == null) return "";
    var text = typeof v === "string" ? v : JSON.stringify(v);
    var at = text.search(/\r|\n/);
    return (at < 0 ? text : text.slice(0, at)).trim();
  }

  return {
    SEVERITY: SEVERITY, byId: byId, el: el, severityOf: severityOf,
    resultClass: resultClass, badge: badge, duration: duration, time: time, count: count,
    plural: plural, pretty: pretty, firstLine: firstLine
  };
})();
