"""Every benchmark ratio at three tree sizes, in one table.

    python bench/run_all.py            # ~1,000, ~10,000 and ~100,000 nodes
    python bench/run_all.py --quick    # the two smaller sizes only

Each size builds its own tree with the demo's job builder (the same
harness-like calls, real log files in a temporary directory) and times, side
by side in this one process:

- building the tree, per node;
- JSON: native dump_json vs the standard json encoder with JSONDumper vs
  orjson with JSONDumper's hook as its default;
- YAML: native dump_yaml vs PyYAML's dump with YAMLDumper (skipped at the
  largest size when the smaller runs predict it would take too long);
- XML: native generate_xml vs the same export pretty-printed the reference
  way (element tree serialisation, minidom parse, toprettyxml), and the
  pretty-printing alone.

Ratios read "times slower than native". Each figure is the best of a few runs
(one run at the largest size). Nothing here depends on the other benchmark
scripts.
"""

import argparse
import gc
import json
import os
import platform
import shutil
import sys

import tempfile
import time

from korvo.reporter.demo import Plan, build

SIZES = [Plan(tasks=1), Plan(tasks=10), Plan(tasks=100)]
ROWS = [
    ("build", "build (us per node)"),
    ("json_native", "JSON native dump_json (ms)"),
    ("json_std", "JSON json + JSONDumper (ms, x)"),
    ("json_orjson", "JSON orjson + JSONDumper hook (ms, x)"),
    ("yaml_native", "YAML native dump_yaml (ms)"),
    ("yaml_py", "YAML PyYAML + YAMLDumper (ms, x)"),
    ("xml_native", "XML native generate_xml (ms)"),
    ("xml_minidom", "XML export, minidom pretty (ms, x)"),
    ("xml_pretty", "XML pretty-printing only (x)"),
]


def best(func, repeat):
    """Best wall time of `repeat` calls, with the collector held off as timeit does."""
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            func()
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
    return min(times)


def measure(plan, workdir, repeat, yaml_budget, yaml_rate):
    """Timings (seconds) of one tree size; a text instead of a number marks a skip."""
    from korvo.reporter import campaign as model

    out = {}
    logs = os.path.join(workdir, "logs")
    os.makedirs(logs, exist_ok=True)
    box = {}

    def do_build():
        box["campaign"], box["nodes"] = build(plan, logs)

    out["build"] = best(do_build, repeat)
    campaign, nodes = box["campaign"], box["nodes"]
    out["nodes"] = nodes

    doc = {"version": model.VERSION, "report": campaign}
    out["json_native"] = best(campaign.dump_json, repeat)
    out["json_std"] = best(lambda: json.dumps(doc, cls=model.JSONDumper), repeat)
    try:
        import orjson
    except ImportError:
        out["json_orjson"] = "n/a (no orjson)"
    else:
        hook = model.JSONDumper().default
        out["json_orjson"] = best(lambda: orjson.dumps(doc, default=hook), repeat)

    out["yaml_native"] = best(campaign.dump_yaml, repeat)
    predicted = yaml_rate * nodes if yaml_rate else 0.0
    if predicted > yaml_budget:
        out["yaml_py"] = "skipped (est. %.0f s)" % predicted
    else:
        import yaml

        header = model.ReportHeader(campaign)
        out["yaml_py"] = best(
            lambda: yaml.dump(header, Dumper=model.YAMLDumper, default_flow_style=False),
            1 if nodes > 20000 else repeat)

    out.update(measure_xml(campaign, workdir, repeat))
    return out


def measure_xml(campaign, workdir, repeat):
    try:
        from korvo.reporter import scribe
    except ImportError as exc:
        return {k: "n/a (%s)" % exc for k in ("xml_native", "xml_minidom", "xml_pretty")}
    from xml.dom import minidom
    import xml.etree.ElementTree as ET

    xmldir = os.path.join(workdir, "xml")
    os.makedirs(xmldir, exist_ok=True)
    writer = scribe.Scribe(xmldir, campaign)
    native = best(lambda: writer.generate_xml(None, {}), repeat)

    # The reference path does the same mapping and the same legacy DOM, then
    # pretty-prints by re-parsing with minidom.
    mapping = best(lambda: writer._handle_campaign(scribe.Campaign(), campaign), repeat)
    box = {}

    def dom():
        box["root"] = writer.kyreport.generate_dom()

    legacy_dom = best(dom, repeat)

    def minidom_pretty():
        rough = ET.tostring(box["root"], encoding="utf-8")
        return minidom.parseString(rough).toprettyxml(indent="  ")

    pretty = best(minidom_pretty, repeat)
    native_pretty = best(lambda: scribe._pretty_xml(box["root"]), repeat)
    return {
        "xml_native": native,
        "xml_minidom": mapping + legacy_dom + pretty,
        "xml_pretty": ("ratio", pretty / native_pretty),
    }


def cell(value, native=None):
    if isinstance(value, str):
        return value
    if isinstance(value, tuple):
        return "%.1fx" % value[1]
    if native is None or isinstance(native, str):
        return "%.1f" % (value * 1000)
    return "%.1f (%.1fx)" % (value * 1000, value / native)


def render(results):
    header = ["measurement"] + ["%s nodes" % format(r["nodes"], ",") for r in results]
    natives = {"json_std": "json_native", "json_orjson": "json_native",
               "yaml_py": "yaml_native", "xml_minidom": "xml_native"}
    rows = []
    for key, label in ROWS:
        row = [label]
        for r in results:
            if key == "build":
                row.append("%.1f" % (r["build"] / r["nodes"] * 1e6))
            else:
                row.append(cell(r[key], r.get(natives.get(key))))
        rows.append(row)
    widths = [max(len(x[i]) for x in [header] + rows) for i in range(len(header))]
    lines = ["  ".join(h.ljust(widths[0]) if i == 0 else h.rjust(widths[i])
                       for i, h in enumerate(header))]
    lines.append("  ".join("-" * w for w in widths))
    for row in rows:
        lines.append("  ".join(c.ljust(widths[0]) if i == 0 else c.rjust(widths[i])
                               for i, c in enumerate(row)))
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the ~100,000-node size")
    parser.add_argument("--repeat", type=int, default=3, help="runs per figure (default 3)")
    parser.add_argument("--yaml-budget", type=float, default=120.0,
                        help="skip the PyYAML path when predicted slower (s, default 120)")
    args = parser.parse_args(argv)

    sizes = SIZES[:2] if args.quick else SIZES
    results = []
    yaml_rate = 0.0  # seconds per node of the PyYAML path, from the last size measured
    workdir = tempfile.mkdtemp(prefix="korvo-bench-")
    try:
        for plan in sizes:
            repeat = 1 if plan.node_count() > 50000 else args.repeat
            print("measuring %s nodes ..." % format(plan.node_count(), ","),
                  file=sys.stderr, flush=True)
            r = measure(plan, workdir, repeat, args.yaml_budget, yaml_rate)
            if not isinstance(r["yaml_py"], str):
                yaml_rate = r["yaml_py"] / r["nodes"]
            results.append(r)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print("korvo-reporter benchmarks, %s, Python %s, %s, %d cores" % (
        time.strftime("%Y-%m-%d"), platform.python_version(), platform.machine(),
        os.cpu_count() or 0))
    print(render(results))
    print("x = times slower than native. 'pretty-printing only' compares tostring + minidom's\n"
          "re-parse and toprettyxml with the native printer on the same details document.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
