#!/usr/bin/env python3
"""Checks a simulator run's picture: the report as a browser rendered it, and the trace.

  report_check.py dom RENDERED.html CHROMIUM.log [SERIES...]
      the page marked itself rendered, every chart drew every series, no script error, and the
      browser logged no console message; each SERIES named is among the series a chart drew
  report_check.py trace TRACE.json RUN.out
      the Trace Event Format's required fields, the slices of each track nest (a viewer draws a
      track as a stack of calls), and the slices and instants add up to the run's own
      sums: per consumer, the new-data slices to what it was announced, the loss instants to what it
      lost, the processed slices to what it reported; and its stream's accepted provide slices to at
      least what it was told of (exactly, when the run is a script whose consumers were there from
      the first block)
"""
import html
import json
import re
import sys
from collections import defaultdict


def fail(message):
    print("report-check: FAIL: " + message)
    sys.exit(1)


def check_dom(dom_path, log_path, *expected):
    dom = open(dom_path, encoding="utf-8").read()
    body = re.search(r"<body([^>]*)>", dom)
    if not body:
        fail(dom_path + ": no body in the rendered page")
    attrs = dict(re.findall(r'([\w-]+)="([^"]*)"', body.group(1)))
    if attrs.get("data-rendered") != "yes":
        fail(dom_path + ": the page never marked itself rendered (a script stopped before the end)")
    if attrs.get("data-errors") != "0":
        fail(dom_path + ": script errors: " + attrs.get("data-error-text", attrs.get("data-errors", "?")))
    canvases = re.findall(r'<canvas[^>]*data-title="([^"]*)"[^>]*data-drawn="(\d+)/(\d+)"', dom)
    if not canvases or len(canvases) != int(attrs.get("data-charts", "-1")):
        fail("%s: %d charts marked, the page counted %s" % (dom_path, len(canvases), attrs.get("data-charts")))
    for title, drawn, total in canvases:
        if int(total) == 0 or drawn != total:
            fail("%s: chart '%s' drew %s of %s series" % (dom_path, title, drawn, total))
    series = set()
    for labels in re.findall(r'<canvas[^>]*data-series="([^"]*)"', dom):
        series.update(html.unescape(labels).split("|"))
    for label in expected:
        if label not in series:
            fail("%s: no chart drew the series '%s'" % (dom_path, label))
    console = [line for line in open(log_path, errors="replace") if "CONSOLE" in line]
    if console:
        fail(log_path + ": the browser's console: " + console[0].strip())
    print("report-check: %s: %d charts, every series drawn, no console message" % (dom_path, len(canvases)))


REQUIRED = {"X": ("name", "ph", "pid", "tid", "ts", "dur"), "i": ("name", "ph", "pid", "tid", "ts", "s"),
            "C": ("name", "ph", "pid", "ts", "args"), "M": ("name", "ph", "pid", "args")}


def run_sums(out_path):
    """Per consumer: announced, lost, processed, provided, from the run's own lines."""
    text = open(out_path, errors="replace").read()
    sums = {}
    for m in re.finditer(r"sums  (\S+) +provided (\d+) = announced (\d+) \+ lost (\d+) \+ unannounced \d+; processed (\d+)",
                         text):
        sums[m.group(1)] = {"provided": int(m.group(2)), "announced": int(m.group(3)), "lost": int(m.group(4)),
                            "processed": int(m.group(5)), "exact": False}
    if sums:
        return sums
    # A script prints every block: new-data, lost-bytes and processed lines of each consumer.
    for m in re.finditer(r"^(\S+): (new-data (\d+)|lost-bytes lost=\d+ block=(\d+)|processed (\d+):)", text, re.M):
        s = sums.setdefault(m.group(1), {"announced": 0, "lost": 0, "processed": 0, "exact": True})
        if m.group(3):
            s["announced"] += int(m.group(3))
        elif m.group(4):
            s["lost"] += int(m.group(4))
        else:
            s["processed"] += int(m.group(5))
    for s in sums.values():
        s["provided"] = s["announced"] + s["lost"]
    return sums


def check_trace(trace_path, out_path):
    trace = json.load(open(trace_path))
    events = trace.get("traceEvents") if isinstance(trace, dict) else None
    if not isinstance(events, list) or not events:
        fail(trace_path + ": no traceEvents array")
    got = defaultdict(lambda: defaultdict(int))
    provided = defaultdict(int)
    stream_of = {}
    phases = defaultdict(int)
    for number, e in enumerate(events):
        missing = [field for field in REQUIRED.get(e.get("ph"), ("ph",)) if field not in e]
        if e.get("ph") not in REQUIRED or missing:
            fail("%s: event %d (%s) lacks %s" % (trace_path, number, e.get("ph"), missing or "a known ph"))
        if e["ph"] in "XiC" and (not isinstance(e["ts"], (int, float)) or e["ts"] < 0):
            fail("%s: event %d has a bad ts" % (trace_path, number))
        if e["ph"] == "X" and e["dur"] < 0:
            fail("%s: slice %d ends before it begins" % (trace_path, number))
        if e["ph"] == "C" and not all(isinstance(v, (int, float)) for v in e["args"].values()):
            fail("%s: counter %d has a value that is not a number" % (trace_path, number))
        phases[e["ph"]] += 1
        args = e.get("args", {})
        if e["ph"] == "X" and e["name"] == "provide" and args.get("accepted", True):
            provided[args["stream"]] += args["bytes"]
        elif e["ph"] == "X" and e["name"] in ("new-data", "processed"):
            got[args["client"]]["announced" if e["name"] == "new-data" else "processed"] += args["bytes"]
            stream_of[args["client"]] = args["stream"]
        elif e["ph"] == "i" and e["name"] == "lost":
            got[args["client"]]["lost"] += args["value"]
    by_track = defaultdict(list)
    for e in events:
        if e["ph"] == "X":
            by_track[e["tid"]].append(e)
    for tid, slices in by_track.items():
        open_ends = []
        for e in sorted(slices, key=lambda e: (e["ts"], -e["dur"])):
            while open_ends and open_ends[-1][0] <= e["ts"]:
                open_ends.pop()
            if open_ends and e["ts"] + e["dur"] > open_ends[-1][0]:
                fail("%s: on track %d, %s at %s overlaps %s without nesting in it" %
                     (trace_path, tid, e["name"], e["ts"], open_ends[-1][1]))
            open_ends.append((e["ts"] + e["dur"], e["name"]))
    for kind in "XiCM":
        if phases[kind] == 0:
            fail("%s: no event of phase %s" % (trace_path, kind))
    sums = run_sums(out_path)
    if not sums:
        fail(out_path + ": the run printed no sums")
    for name, s in sums.items():
        for what in ("announced", "lost", "processed"):
            if got[name][what] != s[what]:
                fail("%s: %s %s %d in the trace, %d in the run" % (trace_path, name, what, got[name][what], s[what]))
        stream = stream_of.get(name)
        if stream is not None and (provided[stream] < s["provided"] or (s["exact"] and provided[stream] != s["provided"])):
            fail("%s: stream %d's provide slices add up to %d, %s was told of %d" %
                 (trace_path, stream, provided[stream], name, s["provided"]))
    print("report-check: %s: %d events, the slices agree with the sums of %d consumers" %
          (trace_path, len(events), len(sums)))


if __name__ == "__main__":
    if len(sys.argv) < 4 or sys.argv[1] not in ("dom", "trace") or (sys.argv[1] == "trace" and len(sys.argv) != 4):
        print(__doc__)
        sys.exit(2)
    (check_dom if sys.argv[1] == "dom" else check_trace)(*sys.argv[2:])
