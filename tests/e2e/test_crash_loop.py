"""Kills the launcher at random moments of a several-package update, then starts it normally:
every required package must end installed with the right marker and intact files.

VARNIX_CRASH_RUNS sets the number of kills (make test: a few; make reliability: 50). A summary
goes to build/reliability/crash_loop.json. Nothing ends an extraction that a kill orphaned: the
launcher's kill-on-close job ends PowerShell with the launcher, and a PowerShell left running
fails the scenario when it ends."""
import json
import os
import random

import pytest

from constants import (ALREADY_RUNNING, ALREADY_RUNNING_LOGGED, LAUNCHING, OK, PACKAGE_DOWNLOAD,
                       WINEDLLOVERRIDES_WITHOUT_COMCTL32)
from harness import BUILD, Package, end_leftover_processes, outlived_the_launcher

RUNS = int(os.environ.get("VARNIX_CRASH_RUNS", "3"))
SUMMARY = BUILD.parent / "reliability/crash_loop.json"


NAMES = ("core", "voice", "video")


def part(name, version, n):
    return f"{name} {version} {n} ".encode() * 40000


def release(version):
    return [Package(name, {f"{name}/part{n}.bin": part(name, version, n) for n in range(3)}) for name in NAMES]


def recover(scenario, env, point):
    """The ordinary start after a kill. A kill during the application's start ("Launching
    Varnix." last in the log) can leave a Varnix.exe that Wine shows only a moment later and that
    never runs; the launcher then rightly takes the already-running road. That orphan is ended by
    its process id (as a user's reboot would) and the start is made again; the count is returned."""
    interrupted_launch = point == LAUNCHING
    answers = {PACKAGE_DOWNLOAD: OK, **({ALREADY_RUNNING: OK} if interrupted_launch else {})}
    run = scenario.run(answers=answers, env=env)
    if interrupted_launch and ALREADY_RUNNING_LOGGED in run.this_run:
        assert end_leftover_processes(0), "already running, but no Varnix.exe to end"
        return scenario.run(answers={PACKAGE_DOWNLOAD: OK}, env=env), 1
    return run, 0


def check_converged(scenario, site, version):
    manifest = site.manifest()
    assert sorted(manifest) == sorted(NAMES)
    for name, entry in manifest.items():
        assert scenario.marker(name) == entry.sha256
        for n in range(3):
            assert (scenario.system / name / f"part{n}.bin").read_bytes() == part(name, version, n)
    assert not (scenario.root / "_download").exists()


@pytest.mark.heavy
def test_kills_at_random_moments_always_converge(scenario, site, powershell):
    rng = random.Random(int(os.environ.get("VARNIX_CRASH_SEED", "20261207")))
    scenario.install_stub("exit=0")
    env = {"WINEDLLOVERRIDES": WINEDLLOVERRIDES_WITHOUT_COMCTL32}  # message boxes: quicker to answer
    answers = {PACKAGE_DOWNLOAD: OK}
    site.publish(release(0))
    first = scenario.run(answers=answers, env=env)
    assert first.exit_code == 0
    full_run = first.seconds
    kill_points, failures, orphaned_launches = {}, [], 0
    for attempt in range(1, RUNS + 1):
        site.publish(release(attempt))
        delay_ms = int(rng.uniform(0.05, 1.0) * full_run * 1000)
        powershell.reset()
        run = scenario.run(answers=answers, env=env, kill_when=f"after:{delay_ms}")
        point = run.this_run[-1] if run.killed and run.this_run else "finished before the kill"
        kill_points[point] = kill_points.get(point, 0) + 1
        outlived = outlived_the_launcher(run, powershell)
        try:
            assert outlived == [], f"outlived the launcher: {outlived}"
            recovery, orphans = recover(scenario, env, point)
            orphaned_launches += orphans
            assert recovery.exit_code == 0, recovery.this_run
            check_converged(scenario, site, attempt)
        except AssertionError as error:
            failures.append({"attempt": attempt, "delay_ms": delay_ms, "kill_point": point, "error": str(error)[:500]})
    SUMMARY.parent.mkdir(parents=True, exist_ok=True)
    SUMMARY.write_text(json.dumps({"runs": RUNS, "kill_points": kill_points, "orphaned_launches": orphaned_launches,
                                   "failures": failures}, indent=1,
                                  ensure_ascii=False))
    assert failures == []
