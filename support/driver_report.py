"""The report of drive_updater.exe (support/drive_updater.cpp): one JSON object a line.

As a module: read_report(path), first_event(lines, name). As a program, for shell scripts:
  python3 driver_report.py REPORT EVENT KEY
prints KEY of the first EVENT line of the report file REPORT (a list as comma-separated values;
nothing when there is no such line).
"""

import json
import sys


def read_report(path):
    """Every event of the report file at path, in order, as dicts."""
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def first_event(lines, name):
    """The first event called name among the report's lines, as a dict; None when there is none."""
    for line in lines:
        event = json.loads(line)
        if event["event"] == name:
            return event
    return None


if __name__ == "__main__":
    report, name, key = sys.argv[1:]
    with open(report, encoding="utf-8") as f:
        event = first_event(f, name)
    if event is not None:
        value = event.get(key, "")
        print(",".join(map(str, value)) if isinstance(value, list) else value)
