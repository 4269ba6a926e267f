#!/usr/bin/env python3
"""Prints the reliability table from the run's JUnit report, fuzz log and crash-loop summary."""
import json
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

out = pathlib.Path(sys.argv[1])
groups = {"test_hostile_site": "hostile or broken update site", "test_fs_faults": "file-system faults",
          "test_crash_loop": "crashes at random moments", "test_aimed_kills": "kills aimed at each step",
          "test_self_update": "launcher self-update and its kills"}
# Cases of a set that have a row of their own: (set, text in the test's name, row).
subsets = [
    ("test_hostile_site", "oversized", "  oversized manifest or signature"),
    ("test_hostile_site", "trickling", "  slow manifest: deadline"),
    ("test_hostile_site", "slow_archive", "  slow archive: stall and floor"),
    ("test_hostile_site", "release_switch", "  release switch between requests"),
    ("test_hostile_site", "outdated_tls", "  site limited to TLS 1.0 or 1.1"),
    ("test_hostile_site", "powershell_past", "  PowerShell past its deadline"),
    ("test_hostile_site", "cannot_be_replaced", "  archive replaced before extraction"),
    ("test_fs_faults", "single_quote", "  quote characters, injection"),
    ("test_fs_faults", "planted", "  PowerShell planted beside launcher"),
]
order = []
for module, name in groups.items():
    order.append(name)
    order += [row for set_, _, row in subsets if set_ == module]
rows = {name: [0, 0] for name in order}
for case in ET.parse(out / "e2e.xml").getroot().iter("testcase"):
    module = case.get("classname", "").split(".")[-1]
    group = groups.get(module)
    if group:
        failed = case.find("failure") is not None or case.find("error") is not None
        for set_, text, row in subsets:
            if set_ == module and text in case.get("name", ""):
                rows[row][0] += 1
                rows[row][1] += failed
        rows[group][0] += 1
        rows[group][1] += failed
print(f"{'set':38} {'tried':>6} {'passed':>7} {'failed':>7}")
for name, (tried, failed) in rows.items():
    print(f"{name:38} {tried:6} {tried - failed:7} {failed:7}")
crash = out / "crash_loop.json"
if crash.exists():
    summary = json.loads(crash.read_text())
    print(f"\ncrash loop: {summary['runs']} kills, {len(summary['failures'])} failed recoveries, "
          f"{summary.get('orphaned_launches', 0)} interrupted starts left a Varnix.exe to end; kill points reached:")
    for point, count in sorted(summary["kill_points"].items(), key=lambda item: -item[1]):
        print(f"  {count:3}  {point}")
aimed = out / "aimed_kills.json"
if aimed.exists():
    points = json.loads(aimed.read_text())
    print(f"\naimed kills: {sum(p['violations'] for p in points.values())} violations")
    print(f"  {'kills':>5} {'violations':>10}  kill point (log line)")
    for point, counts in points.items():
        print(f"  {counts['kills']:5} {counts['violations']:10}  {point}")
promotion = out / "self_update_kills.json"
if promotion.exists():
    points = json.loads(promotion.read_text())
    # A violation: a launcher that was no whole one after the kill, a version refused for the kill,
    # or a promotion that three good starts did not complete.
    print(f"\nkills aimed at the launcher's promotion: {sum(p['violations'] for p in points.values())} violations, "
          f"{sum(p['refused'] for p in points.values())} versions refused after a kill")
    print(f"  {'kills':>5} {'violations':>10} {'completed':>9} {'tried again':>11} {'refused':>7} {'most starts':>11}  step")
    for point, counts in points.items():
        print(f"  {counts['kills']:5} {counts['violations']:10} {counts['completed']:9} {counts['tried_again']:11} "
              f"{counts['refused']:7} {counts['most_starts']:11}  {point}")
print("\nfuzzing:")
total = 0
for line in (out / "fuzz.log").read_text().splitlines():
    match = re.match(r"(\S+): (\d+) executions in (\d+)s, exit (\d+)", line)
    if match:
        total += int(match.group(2))
        print(f"  {match.group(1):16} {int(match.group(2)):12,} executions in {match.group(3)} s, "
              f"{'no crash' if match.group(4) == '0' else 'CRASH'}")
print(f"  {'all targets':16} {total:12,} executions")
