// The tree decoded from the embedded data: arrays indexed by node (0 is the root, nodes in
// tree order), read-only once built.
function buildModel(D) {
  "use strict";
  var N = D.up.length;
  // Columns come as differences (see the data builder): parents as distances up, starts
  // after the parent's start, stops after the node's own start, log positions after the
  // previous one.
  var parent = new Int32Array(N), depth = new Int32Array(N), childCount = new Int32Array(N);
  var siblingIndex = new Int32Array(N);
  var startAt = new Array(N), stopAt = new Array(N);
  if (N) { parent[0] = -1; startAt[0] = D.start[0]; }
  for (var i = 1; i < N; i++) {
    var up = i - D.up[i];
    parent[i] = up; depth[i] = depth[up] + 1; siblingIndex[i] = childCount[up]++;
    startAt[i] = D.start[i] == null ? null : (startAt[up] == null ? 0 : startAt[up]) + D.start[i];
  }
  var stops = D.stop || [];
  for (i = 0; i < N; i++) stopAt[i] = stops[i] == null ? null : (startAt[i] == null ? 0 : startAt[i]) + stops[i];
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
  // What each result means ("pass", "skip", "fail"), by the rule the data builder applies.
  var resultClass = D.resultClass;
  var failing = {};
  resultKeys.forEach(function (k, i) { if (resultClass[i] === "fail") failing[k] = 1; });
  var severityOf = Format.severityOf;
  // A node's shown result: its own, or the worst among its children (tasks, the campaign).
  var shown = new Int32Array(N);
  for (i = 0; i < N; i++) shown[i] = D.result[i];
  for (i = N - 1; i > 0; i--) {
    var p = parent[i], r = shown[i];
    if (r < 0 || D.result[p] >= 0) continue;
    if (shown[p] < 0 || severityOf(resultKeys[r]) > severityOf(resultKeys[shown[p]])) shown[p] = r;
  }
  function resultKey(n) { return shown[n] < 0 ? "none" : resultKeys[shown[n]]; }
  function ownResultKey(n) { return D.result[n] < 0 ? "none" : resultKeys[D.result[n]]; }
  function isBad(n) { return shown[n] >= 0 && resultClass[shown[n]] === "fail"; }
  function isFailureKey(key) { return failing[key] === 1; }
  function typeName(n) { return D.type[n] < 0 ? "" : D.types[D.type[n]]; }
  function idOf(n) { return D.ids[D.id[n]]; }
  function info(n) { return D.info[n] || {}; }
  function description(n) { return D.desc[n]; }
  // The model's fullid: ids from below the campaign down to the node.
  function fullId(n) {
    if (n === 0) return idOf(0);
    var parts = [];
    for (; n > 0; n = parent[n]) parts.push(idOf(n));
    if (typeName(0) !== "Campaign") parts.push(idOf(0));
    return parts.reverse().join(".");
  }
  // The ids from below the root down to `n`; findPath is its inverse (the first child with
  // each id, so a path pasted from another run of the same job finds its node).
  function pathOf(n) {
    var parts = [];
    for (; n > 0; n = parent[n]) parts.push(String(idOf(n)));
    return parts.reverse();
  }
  function findPath(parts) {
    var n = 0;
    for (var j = 0; j < parts.length; j++) {
      var next = -1;
      for (var k = firstChild[n]; k < firstChild[n + 1]; k++) {
        if (String(idOf(children[k])) === parts[j]) { next = children[k]; break; }
      }
      if (next < 0) return -1;
      n = next;
    }
    return N ? n : -1;
  }
  function hasBadChild(n) {
    for (var k = firstChild[n]; k < firstChild[n + 1]; k++) if (isBad(children[k])) return true;
    return false;
  }
  function ownReason(n) {
    var res = info(n).result;
    return res && res.reason != null && res.reason !== "" ? Format.firstLine(res.reason) : "";
  }
  // Why a failed node failed: its own reason, else that of the first failure below it.
  var reasonCache = {};
  function reasonLine(n) {
    if (!isBad(n)) return "";
    if (n in reasonCache) return reasonCache[n];
    var found = ownReason(n), stack = [n];
    while (!found && stack.length) {
      var m = stack.pop();
      for (var k = firstChild[m + 1] - 1; k >= firstChild[m]; k--) {
        var c = children[k];
        if (isBad(c)) stack.push(c);
      }
      if (m !== n && isBad(m)) found = ownReason(m);
    }
    return (reasonCache[n] = found);
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
  function resultCounts() {
    var counts = {};
    for (var n = 0; n < N; n++) if (D.result[n] >= 0) { var key = resultKeys[D.result[n]]; counts[key] = (counts[key] || 0) + 1; }
    return counts;
  }

  return {
    N: N, data: D, parent: parent, depth: depth, childCount: childCount, siblingIndex: siblingIndex,
    firstChild: firstChild, children: children, startAt: startAt, stopAt: stopAt,
    duration: D.dur, resultKeys: resultKeys, resultKey: resultKey, ownResultKey: ownResultKey,
    isBad: isBad, isFailureKey: isFailureKey, hasBadChild: hasBadChild, typeName: typeName, idOf: idOf, info: info,
    description: description, fullId: fullId, pathOf: pathOf, findPath: findPath,
    reasonLine: reasonLine, logPosition: logPosition, resultCounts: resultCounts
  };
}
