#!/usr/bin/env python3
"""Prints, for every end-to-end test that failed in a soak, how many of the runs it failed.

Arguments: the soak's directory, the number of runs and the number of parts each run came in.
A part whose report is missing (it never ran, or died before writing it) counts as a failure."""
import collections
import pathlib
import sys
import xml.etree.ElementTree as ET

out = pathlib.Path(sys.argv[1])
runs, parts = int(sys.argv[2]), int(sys.argv[3])
reports = sorted(out.glob("run-*.xml"))
missing = [f"run-{run}-shard-{part}.xml" for run in range(1, runs + 1) for part in range(parts)
           if not (out / f"run-{run}-shard-{part}.xml").exists()]
failures = collections.Counter()
tests = set()
for report in reports:
    for case in ET.parse(report).getroot().iter("testcase"):
        name = f"{case.get('classname')}::{case.get('name')}"
        tests.add(name)
        if case.find("failure") is not None or case.find("error") is not None:
            failures[name] += 1
repeats = collections.Counter(line.strip().removeprefix("repeated: ")
                              for log in sorted(out.glob("run-*.log"))
                              for line in log.read_text(errors="replace").splitlines()
                              if line.startswith("  repeated: "))
print(f"soak: {runs} runs of {len(tests)} tests, {sum(failures.values())} failures, "
      f"{sum(repeats.values())} scenarios repeated after Wine lost a starting process")
for name, count in repeats.most_common():
    print(f"  {count:>3} repeats  {name}")
for name, count in failures.most_common():
    print(f"  {count:>3} of {runs}  {name}")
for name in missing:
    print(f"  missing report: {name} (that part of the run did not finish)")
sys.exit(1 if failures or missing or runs == 0 else 0)
