#!/usr/bin/python3
"""Checks a Prometheus text exposition (format 0.0.4) the way a scrape
would read it, and lints it.

  check_exposition.py FILE [--expect NAME LABELS_JSON VALUE]...

The text is read by prometheus_client's parser (the Prometheus project's
Python library); since that parser is lax, every line is also held to the
format's grammar, and the families to the rules of `promtool check
metrics`: HELP and TYPE for each family, each family in one piece, no
series twice, counters named *_total (and only counters), snake_case
names, base units, no reserved suffixes. Each --expect names a sample that
must be there, with its labels as decoded by the parser, and its value.
Prints every problem; exit status 1 when there is one, 2 on a usage error.
"""
import json
import math
import re
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("check_exposition: python3-prometheus-client is missing "
          "(scripts/install-deps.sh installs it)", file=sys.stderr)
    sys.exit(2)

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABEL = r'[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"'
VALUE = r"(?:[-+]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][-+]?[0-9]+)?|[-+]?Inf|NaN)"
SAMPLE = re.compile(r"^(%s)(\{(?:%s(?:,%s)*,?)?\})? %s(?: -?[0-9]+)?$" % (NAME, LABEL, LABEL, VALUE))
HELP = re.compile(r"^# HELP (%s) (?:[^\\\n]|\\[\\n])*$" % NAME)
TYPE = re.compile(r"^# TYPE (%s) (counter|gauge|histogram|summary|untyped)$" % NAME)
NON_BASE_UNITS = ("milliseconds", "microseconds", "nanoseconds", "minutes", "hours", "days",
                  "kilobytes", "megabytes", "gigabytes", "bits", "percent")


def grammar_problems(text):
    problems = []
    if text and not text.endswith("\n"):
        problems.append("the last line has no line feed")
    declared = {}   # family -> "help"/"type" seen, in order
    done = set()    # families whose samples are over
    current = None
    for n, line in enumerate(text.split("\n")[:-1] if text.endswith("\n") else text.split("\n"),
                             start=1):
        where = "line %d: " % n
        if line.startswith("# HELP ") or line.startswith("# TYPE "):
            m = (HELP if line.startswith("# HELP ") else TYPE).match(line)
            if not m:
                problems.append(where + "malformed %s line: %r" % (line[2:6], line))
                continue
            name = m.group(1)
            kind = line[2:6]
            if name != current:
                if name in done or name in declared:
                    problems.append(where + "family %s is not in one piece" % name)
                if current is not None:
                    done.add(current)
                current = name
                declared[name] = []
            if kind in declared[name]:
                problems.append(where + "second %s line for %s" % (kind, name))
            if kind == "TYPE" and m.group(2) == "counter" and not name.endswith("_total"):
                problems.append(where + "counter %s is not named *_total" % name)
            if kind == "HELP" and "TYPE" in declared[name]:
                problems.append(where + "HELP after TYPE for %s" % name)
            declared[name].append(kind)
        elif line.startswith("#"):
            continue
        elif line.strip() == "":
            continue  # the format ignores empty lines
        else:
            m = SAMPLE.match(line)
            if not m:
                problems.append(where + "not a sample line: %r" % line)
                continue
            if m.group(1) != current:
                problems.append(where + "sample %s outside its family (%s)" % (m.group(1), current))
            elif declared[current] != ["HELP", "TYPE"]:
                problems.append(where + "%s lacks HELP or TYPE before its samples" % current)
    return problems


def family_problems(families):
    problems = []
    seen_families = set()
    seen_series = set()
    for f in families:
        # The parser files counters under their name without _total.
        name = f.name + "_total" if f.type == "counter" else f.name
        if name in seen_families:
            problems.append("family %s given twice" % name)
        seen_families.add(name)
        if f.type == "untyped":
            problems.append("%s has no TYPE" % name)
        if not f.documentation:
            problems.append("%s has no HELP text" % name)
        if f.type == "counter" and not any(s.name == name for s in f.samples):
            problems.append("counter %s: its samples are not named %s" % (name, name))
        if f.type != "counter" and name.endswith("_total"):
            problems.append("%s ends in _total but is a %s" % (name, f.type))
        if name != name.lower():
            problems.append("%s: names are snake_case, not camelCase" % name)
        for unit in NON_BASE_UNITS:
            if ("_" + unit) in name:
                problems.append("%s: a non-base unit (%s)" % (name, unit))
        if f.type not in ("histogram", "summary") and re.search(r"_(sum|count|bucket)$", f.name):
            problems.append("%s: a suffix reserved for histograms and summaries" % name)
        for s in f.samples:
            key = (s.name, tuple(sorted(s.labels.items())))
            if key in seen_series:
                problems.append("series %s%s given twice" % (s.name, dict(key[1])))
            seen_series.add(key)
            if any(k.startswith("__") for k in s.labels):
                problems.append("%s: a label name begins with __" % s.name)
            if f.type == "counter" and not (s.value >= 0 and math.isfinite(s.value)):
                problems.append("counter %s: value %s" % (s.name, s.value))
    return problems


def main(argv):
    if len(argv) < 2 or (len(argv) - 2) % 4 != 0 or any(a != "--expect" for a in argv[2::4]):
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        text = f.read()
    problems = grammar_problems(text)
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as e:  # the parser's refusal, whatever its kind
        problems.append("prometheus_client refused the text: %s: %s" % (type(e).__name__, e))
        families = []
    problems += family_problems(families)
    samples = {}
    for f in families:
        for s in f.samples:
            samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
    for name, labels, value in zip(argv[3::4], argv[4::4], argv[5::4]):
        key = (name, tuple(sorted(json.loads(labels).items())))
        if key not in samples:
            problems.append("expected sample missing: %s %s" % (name, labels))
        elif samples[key] != float(value):
            problems.append("%s %s: %s, expected %s" % (name, labels, samples[key], value))
    for p in problems:
        print("check_exposition: %s: %s" % (argv[1], p))
    if not problems:
        print("check_exposition: %s: %d families, %d samples, no problem" %
              (argv[1], len(families), sum(len(f.samples) for f in families)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
