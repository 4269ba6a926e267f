"""Kills the launcher at random moments of a several-package update, then starts it normally:
every required package must end installed with the right marker and intact files.

VARNIX_CRASH_RUNS sets the number of kills (make test: a few; make reliability: 50). A summary
goes to build/reliability/crash_loop.json."""
import json
import os
import pathlib
import random
import signal
import time

from harness import BUILD, WINEPREFIX, wait_for

RUNS = int(os.environ.get("VARNIX_CRASH_RUNS", "3"))
SUMMARY = BUILD.parent / "reliability/crash_loop.json"


def release(version):
    return [(name, {f"{name}/part{n}.bin": f"{name} {version} {n} ".encode() * 40000 for n in range(3)}, True, None)
            for name in ("core", "voice", "video")]


def powershell_processes():
    """PowerShell processes of this bench's own prefix only: killing a starting PowerShell of
    another run on the machine makes its CreateProcessW fail with ERROR_INTERNAL_ERROR."""
    own_prefix = b"\0WINEPREFIX=" + bytes(WINEPREFIX) + b"\0"
    found = []
    for proc in pathlib.Path("/proc").iterdir():
        try:
            if (proc.name.isdigit() and (proc / "cmdline").read_bytes().startswith(b"powershell.exe")
                    and own_prefix in b"\0" + (proc / "environ").read_bytes()):
                found.append(int(proc.name))
        except OSError:
            pass
    return found


def end_orphaned_extraction():
    """An extraction orphaned by the kill gets a moment to finish, then is killed too (as a
    user's reboot would); under Wine an orphaned child can otherwise linger after its work."""
    wait_for(lambda: not powershell_processes(), 3)
    for pid in powershell_processes():
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    wait_for(lambda: not powershell_processes(), 10)


def check_converged(scenario, site, version):
    for line in site.manifest_bytes().decode().splitlines():
        if not line.startswith("package|"):
            continue
        fields = line.split("|")
        assert (scenario.system / ".packages" / f"{fields[1]}.sha256").read_text() == fields[3]
        for n in range(3):
            expected = f"{fields[1]} {version} {n} ".encode() * 40000
            assert (scenario.system / fields[1] / f"part{n}.bin").read_bytes() == expected
    assert not (scenario.root / "_download").exists()


def test_kills_at_random_moments_always_converge(scenario, site, powershell):
    rng = random.Random(int(os.environ.get("VARNIX_CRASH_SEED", "20261207")))
    scenario.install_stub("exit=0")
    env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;comctl32=d"}  # message boxes: quicker to answer
    site.publish(release(0))
    begin = time.monotonic()
    assert scenario.run(answers=["ok"] * 3, env=env).exit_code == 0
    full_run = time.monotonic() - begin
    kill_points, failures = {}, []
    for attempt in range(1, RUNS + 1):
        site.publish(release(attempt))
        delay_ms = int(rng.uniform(0.05, 1.0) * full_run * 1000)
        run = scenario.run(answers=["ok"] * 3, env=env, kill_when=f"after:{delay_ms}")
        point = run.this_run[-1] if run.killed and run.this_run else "finished before the kill"
        kill_points[point] = kill_points.get(point, 0) + 1
        end_orphaned_extraction()
        recovery = scenario.run(answers=["ok"] * 3, env=env)
        try:
            assert recovery.exit_code == 0, recovery.this_run
            check_converged(scenario, site, attempt)
        except AssertionError as error:
            failures.append({"attempt": attempt, "delay_ms": delay_ms, "kill_point": point, "error": str(error)[:500]})
    SUMMARY.parent.mkdir(parents=True, exist_ok=True)
    SUMMARY.write_text(json.dumps({"runs": RUNS, "kill_points": kill_points, "failures": failures}, indent=1,
                                  ensure_ascii=False))
    assert failures == []
