"""Kills aimed at every step of an update, then a normal start. After the kill and after the
recovery: a marker that names a published version vouches for every listed file of that
version, byte for byte, and no marker names anything else.

Each kill point is a log line of this run (the dialog driver's "new:" mode kills the launcher as
soon as the line appears), or the PowerShell stand-in's "stalled" line: a kill in the middle of
an entry. VARNIX_KILL_REPEATS sets how often each point is hit (make test: 1, make reliability:
3). A summary goes to build/reliability/aimed_kills.json."""
import json
import os
import pathlib

import pytest

from constants import (ALREADY_RUNNING, COMPATIBILITY_OFFER, DEPENDENCY_FAILED, LAUNCH_ERROR, OK,
                       PACKAGE_DOWNLOAD, PACKAGES_NEEDED, START_FAILED, WINEDLLOVERRIDES_WITHOUT_COMCTL32, YES)
from harness import BUILD, Package, end_leftover_processes, outlived_the_launcher, windows_path

REPEATS = int(os.environ.get("VARNIX_KILL_REPEATS", "1"))
SUMMARY = BUILD.parent / "reliability/aimed_kills.json"
MESSAGE_BOXES = {"WINEDLLOVERRIDES": WINEDLLOVERRIDES_WITHOUT_COMCTL32}  # quicker to answer
ANSWERS = {PACKAGE_DOWNLOAD: OK, PACKAGES_NEEDED: YES, COMPATIBILITY_OFFER: YES, START_FAILED: OK,
           LAUNCH_ERROR: OK, DEPENDENCY_FAILED: OK, ALREADY_RUNNING: OK}
STALLED = "stalled core/part1.bin"

# The two runs the kills aim at, as the stand-in application behaves in them: a dependency
# request for an installed package (a reinstall at an unchanged hash) and a new one; and an
# application that never starts, which leads to the compatibility package and the rollback.
FLOWS = {"dependency": ("request=req.txt exit=85", "exit=0"), "restore": ("exit=1",)}
KILL_POINTS = [
    ("dependency", "Rollback backup created for package: core"),
    ("dependency", "Extracting package: core"),
    ("dependency", STALLED),
    ("dependency", "Install package completed: core"),
    ("dependency", "Dependency request received. Packages: extra, voice"),
    ("dependency", "Extracting package: voice"),
    ("dependency", "Extracting package: extra"),
    ("restore", "Extracting package: graphics_compat"),
    ("restore", "Rollback transaction started. Package count: 2"),
    ("restore", "Rollback started for package: core"),
    ("restore", "Rollback restored file: "),
]


def release(version):
    """Only core changes between versions; the others keep their hash."""
    core = {f"core/part{n}.bin": f"core {version} {n} ".encode() * 20000 for n in range(3)}
    return [Package("core", core), Package("voice", {"voice/v.bin": b"voice " * 20000}),
            Package("extra", {"extra/e.bin": b"extra " * 20000}, required=False),
            Package("graphics_compat", {"gfx/g.bin": b"gfx " * 20000}, required=False)]


class Versions:
    """Every published version of every package, by its hash."""

    def __init__(self, site):
        self.site = site
        self.files = {}

    def publish(self, version):
        packages = release(version)
        self.site.publish(packages)
        for line in self.site.manifest_bytes().decode().splitlines():
            if line.startswith("package|"):
                fields = line.split("|")
                entries = next(package.files for package in packages if package.name == fields[1])
                self.files[(fields[1], fields[3])] = entries

    def violations(self, scenario):
        found = []
        for marker in sorted((scenario.system / ".packages").glob("*.sha256")):
            name, vouched = marker.name[:-len(".sha256")], marker.read_text()
            entries = self.files.get((name, vouched))
            if entries is None:
                found.append(f"{name}: marker names no published version: {vouched!r}")
                continue
            for entry, data in entries.items():
                path = scenario.system / entry
                if not path.is_file() or path.read_bytes() != data:
                    found.append(f"{name}: marker vouches for {entry}, which is missing or differs")
        return found


def start_stub(scenario, powershell, *behaviour):
    scenario.install_stub(*behaviour)
    (scenario.system / "stub_runs.jsonl").unlink(missing_ok=True)
    (scenario.system / "req.txt").write_text("packages=voice;extra\n")
    powershell.reset()


@pytest.fixture(scope="module", autouse=True)
def fresh_summary():
    SUMMARY.unlink(missing_ok=True)


@pytest.mark.parametrize("flow, point", KILL_POINTS, ids=[f"{flow}: {point}" for flow, point in KILL_POINTS])
def test_kill_aimed_at_a_step_never_leaves_a_marker_vouching_for_broken_files(scenario, site, powershell, flow,
                                                                                point):
    versions = Versions(site)
    results = []
    for attempt in range(REPEATS):
        # The last working state: every required package installed at an even version.
        versions.publish(2 * attempt)
        start_stub(scenario, powershell, "exit=0")
        assert scenario.run(answers=ANSWERS, env=MESSAGE_BOXES).exit_code == 0

        versions.publish(2 * attempt + 1)
        start_stub(scenario, powershell, *FLOWS[flow])
        if point == STALLED:
            powershell.behave("stall_in=core/part1.bin")
            kill_when = "new:" + windows_path(powershell.runs_log) + "|" + STALLED
        else:
            kill_when = "new:" + windows_path(scenario.root / "logs/launcher.log") + "|] " + point
        killed = scenario.run(answers=ANSWERS, env=MESSAGE_BOXES, kill_when=kill_when, timeout=60)
        after_kill = versions.violations(scenario)
        after_kill += [f"{image} outlived the launcher" for image in outlived_the_launcher(killed, powershell)]

        start_stub(scenario, powershell, *FLOWS[flow])
        recovery = scenario.run(answers=ANSWERS, env=MESSAGE_BOXES, timeout=60)
        after_recovery = versions.violations(scenario)
        # A process whose creation the kill interrupted may show up only now; it never ran.
        after_recovery += [f"{image} left running" for _, image in end_leftover_processes(2)
                           if pathlib.PureWindowsPath(image).name.lower() not in ("varnix.exe", "powershell.exe")]
        results.append({"killed": killed.killed, "recovered": not recovery.timed_out,
                        "violations": after_kill + after_recovery, "killed_after": killed.this_run[-2:],
                        "exit_code": killed.exit_code})
    record(flow, point, results)
    assert all(result["killed"] for result in results), results
    assert all(result["recovered"] for result in results)
    assert [result["violations"] for result in results] == [[]] * REPEATS


def test_a_restore_cut_short_is_finished_at_the_next_start_even_offline(scenario, site, powershell):
    """The restore names what it puts back on the disk before its first file: the next start
    finishes it without the site, so the old version comes back whole with its marker, and the
    good start that follows has nothing left to discard."""
    versions = Versions(site)
    versions.publish(0)
    start_stub(scenario, powershell, "exit=0")
    assert scenario.run(answers=ANSWERS, env=MESSAGE_BOXES).exit_code == 0
    before = (scenario.system / ".packages/core.sha256").read_bytes()

    versions.publish(1)
    start_stub(scenario, powershell, *FLOWS["restore"])
    kill_when = "new:" + windows_path(scenario.root / "logs/launcher.log") + "|] Rollback restored file: "
    assert scenario.run(answers=ANSWERS, env=MESSAGE_BOXES, kill_when=kill_when, timeout=60).killed
    end_leftover_processes(2)

    scenario.use_unreachable_site()
    start_stub(scenario, powershell, "exit=0")
    recovery = scenario.run(answers=ANSWERS, env=MESSAGE_BOXES, timeout=60)
    assert recovery.exit_code == 0
    assert "Rollback restore finished for package: core" in recovery.this_run
    assert (scenario.system / ".packages/core.sha256").read_bytes() == before
    assert versions.violations(scenario) == []
    assert not (scenario.root / "_rollback").exists()


def record(flow, point, results):
    SUMMARY.parent.mkdir(parents=True, exist_ok=True)
    summary = json.loads(SUMMARY.read_text()) if SUMMARY.exists() else {}
    summary[f"{flow}: {point}"] = {"kills": sum(r["killed"] for r in results),
                                   "violations": sum(len(r["violations"]) for r in results)}
    SUMMARY.write_text(json.dumps(summary, indent=1, ensure_ascii=False))
