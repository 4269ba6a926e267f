#!/usr/bin/env python3
"""Prints, for every end-to-end test that failed in a soak, how many of the runs it failed."""
import collections
import pathlib
import sys
import xml.etree.ElementTree as ET

out = pathlib.Path(sys.argv[1])
reports = sorted(out.glob("run-*.xml"))
failures = collections.Counter()
tests = set()
for report in reports:
    for case in ET.parse(report).getroot().iter("testcase"):
        name = f"{case.get('classname')}::{case.get('name')}"
        tests.add(name)
        if case.find("failure") is not None or case.find("error") is not None:
            failures[name] += 1
runs = len(reports)
print(f"soak: {runs} runs of {len(tests)} tests, {sum(failures.values())} failures")
for name, count in failures.most_common():
    print(f"  {count:>3} of {runs}  {name}")
sys.exit(1 if failures or runs == 0 else 0)
