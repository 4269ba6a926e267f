"""The launcher updating itself through the "launcher" package, and kills aimed at each step of
its promotion. Whatever happens, VarnixLauncher.exe in the root is a whole launcher: the old one
or the new one. VARNIX_KILL_REPEATS sets how often each kill point is hit (make reliability: 3);
a summary goes to build/reliability/self_update_kills.json."""
import json
import os
import subprocess

import pytest

from constants import LAUNCHED, OK, PACKAGE_DOWNLOAD, START_FAILED
from harness import (BUILD, LAUNCHER, SITE_DIR, SWEEP, Held, Package, assert_in_order, end_late_processes,
                     end_leftover_processes, parse_log, start_windows_program, wait_for, windows_path)

NEWER = BUILD / "VarnixLauncherNewer.exe"  # the same launcher, the last part of its version one higher
REPEATS = int(os.environ.get("VARNIX_KILL_REPEATS", "1"))
SUMMARY = BUILD.parent / "reliability/self_update_kills.json"

VERSION = "Launcher version: "
COPYING = "Launcher update step 1: copying version "
STARTING = "Launcher update step 2: starting VarnixLauncher.exe.new."
WAITING = "Launcher promotion started: waiting for the previous launcher"
REPLACING = "Launcher promotion: replacing VarnixLauncher.exe."
COMPLETED = "Launcher promotion completed. Launcher version: "
FAILED = "Launcher promotion failed: "
SKIPPED = "Launcher update skipped: version {} was refused before."
REMOVED = "Launcher update removed: VarnixLauncher.exe.new did not become VarnixLauncher.exe. Version refused: {}"
ANSWERS = {PACKAGE_DOWNLOAD: OK}


def launcher_package(executable):
    return Package("launcher", {"launcher/VarnixLauncher.exe": executable.read_bytes()})


def version_of(run):
    return next(m[len(VERSION):] for m in run.this_run if m.startswith(VERSION))


def newer(version):
    parts = version.split(".")
    return ".".join(parts[:3] + [str(int(parts[3]) + 1)])


def log_of(scenario):
    path = scenario.root / "logs/launcher.log"
    return parse_log(path.read_bytes()) if path.exists() else []


def promotion_ended(scenario):
    """Waits for the promote process's last line; the messages of the log."""
    assert wait_for(lambda: any(m.startswith((COMPLETED, FAILED)) for m in log_of(scenario)), 30)
    return log_of(scenario)


def root_launcher(scenario):
    return (scenario.root / "VarnixLauncher.exe").read_bytes()


def refused(scenario):
    path = scenario.system / ".packages/launcher.refused"
    return path.read_text() if path.exists() else None


def test_higher_version_replaces_the_launcher_after_a_successful_start(scenario, site):
    site.publish([launcher_package(NEWER)])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=ANSWERS)
    assert run.exit_code == 0
    old = version_of(run)
    assert run.this_run[3] == VERSION + old  # right after the banner (this_run starts at its second line)
    log = promotion_ended(scenario)
    end_leftover_processes(5)  # the new launcher ends right after its last line
    steps = [m for m in log if m.startswith(("Launcher update", "Launcher promotion"))]
    assert steps[0] == COPYING + newer(old) + " to VarnixLauncher.exe.new." and steps[1] == STARTING
    assert steps[2].startswith(WAITING) and steps[3:] == [REPLACING, COMPLETED + newer(old)]
    assert log.index(LAUNCHED) < log.index(steps[0])
    assert root_launcher(scenario) == NEWER.read_bytes()
    assert sorted(p.name for p in scenario.root.glob("VarnixLauncher*")) == ["VarnixLauncher.exe"]

    following = scenario.run()
    assert following.exit_code == 0 and version_of(following) == newer(old)
    assert not any(m.startswith(("Launcher update", "Launcher promotion")) for m in following.this_run)
    assert sorted(p.name for p in scenario.root.glob("VarnixLauncher*")) == ["VarnixLauncher.exe"]


def place(scenario, running, candidate):
    """The running launcher in the root and a candidate where the launcher package puts it."""
    (scenario.root / "VarnixLauncher.exe").write_bytes(running.read_bytes())
    (scenario.system / "launcher").mkdir(parents=True, exist_ok=True)
    (scenario.system / "launcher/VarnixLauncher.exe").write_bytes(candidate.read_bytes())


# Runs that leave the launcher alone: (running launcher, candidate, application behaviour, dialogs).
UNCHANGED = {
    "equal version": (LAUNCHER, LAUNCHER, "exit=0", None),
    "lower version": (NEWER, LAUNCHER, "exit=0", None),
    "application start failed": (LAUNCHER, NEWER, "exit=1", {START_FAILED: OK}),
}


@pytest.mark.parametrize("running, candidate, behaviour, answers", UNCHANGED.values(), ids=UNCHANGED.keys())
def test_launcher_stays_without_a_higher_candidate_and_a_successful_start(scenario, running, candidate,
                                                                          behaviour, answers):
    place(scenario, running, candidate)
    scenario.install_stub(behaviour)
    scenario.run(answers=answers)
    end_leftover_processes(5)
    assert not any(m.startswith(("Launcher update", "Launcher promotion")) for m in log_of(scenario))
    assert root_launcher(scenario) == running.read_bytes()
    assert sorted(p.name for p in scenario.root.glob("VarnixLauncher*")) == ["VarnixLauncher.exe"]


def test_promotion_outlasts_a_moment_in_which_the_old_launcher_file_is_held(scenario, site):
    site.publish([launcher_package(NEWER)])
    scenario.install_stub("exit=0")
    # Something holds the old launcher's file for a moment (a scanner, or a second launcher that
    # still shows its dialog): the rename is tried again until it goes through.
    with Held(scenario.root / "VarnixLauncher.exe", "read"):
        run = scenario.run(answers=ANSWERS)
        assert run.exit_code == 0
        assert wait_for(lambda: REPLACING in log_of(scenario), 30)
        assert not wait_for(lambda: promotion_ended_now(scenario), 1)
    log = promotion_ended(scenario)
    end_leftover_processes(5)
    assert log[-1] == COMPLETED + newer(version_of(run))
    assert root_launcher(scenario) == NEWER.read_bytes()
    assert refused(scenario) is None


def test_a_stray_promote_variable_leaves_the_launcher_as_it_is(scenario):
    scenario.install_stub("exit=0")
    run = scenario.run(env={"VARNIX_LAUNCHER_PROMOTE": "1"})
    assert run.exit_code == 0 and LAUNCHED in run.this_run
    assert not any(m.startswith(WAITING) for m in run.this_run)


def promotion_ended_now(scenario):
    return any(m.startswith((COMPLETED, FAILED)) for m in log_of(scenario))


def prove_the_sites_manifest(scenario, site):
    """What the old launcher leaves for the new one: the manifest and signature of its run."""
    (scenario.system / ".packages").mkdir(parents=True, exist_ok=True)
    for name in ("manifest.txt", "manifest.txt.sig"):
        target = "launcher.manifest" + name[len("manifest.txt"):]
        (scenario.system / ".packages" / target).write_bytes((site.repository / name).read_bytes())


def test_new_launcher_takes_the_name_only_after_the_old_one_ended(scenario, site):
    # A running Varnix.exe stands in for the old launcher: its process id is handed over.
    scenario.install_stub("sleep=30000")
    run = scenario.run()
    assert run.exit_code == 0
    prove_the_sites_manifest(scenario, site)
    (scenario.root / "VarnixLauncher.exe.new").write_bytes(NEWER.read_bytes())
    start_windows_program(windows_path(scenario.root / "VarnixLauncher.exe.new"),
                          env={"VARNIX_LAUNCHER_PROMOTE": str(scenario.stub_runs()[0]["pid"])})
    assert wait_for(lambda: any(m.startswith(WAITING) for m in log_of(scenario)))
    assert not wait_for(lambda: root_launcher(scenario) != LAUNCHER.read_bytes(), 1)
    scenario.stop_stub()
    log = promotion_ended(scenario)
    assert log[-1] == COMPLETED + newer(version_of(run))
    assert root_launcher(scenario) == NEWER.read_bytes()


def without_version(executable):
    """The executable with its version resource's signature wiped: no version can be read."""
    data = executable.read_bytes()
    signature = "VS_VERSION_INFO\0".encode("utf-16-le") + b"\0\0" + b"\xbd\x04\xef\xfe"
    assert data.count(signature) == 1
    return data.replace(signature, signature[:-4] + b"\0" * 4)


def with_moduli(executable, change):
    data = executable.read_bytes()
    for key in (SITE_DIR / "keys", SITE_DIR / "keys/next"):
        text = subprocess.run(["openssl", "rsa", "-pubin", "-in", key / "manifest-public.pem", "-noout", "-modulus"],
                              check=True, capture_output=True, text=True).stdout
        modulus = bytes.fromhex(text.strip().split("=")[1])
        assert data.count(modulus) == 1
        data = data.replace(modulus, change(modulus))
    return data


def without_keys(executable):
    """The executable with the moduli of its manifest keys zeroed: no key imports."""
    return with_moduli(executable, lambda modulus: b"\0" * len(modulus))


def with_other_keys(executable):
    """The executable with one byte of each key's modulus changed: the keys import, but they are
    not the keys the site signs with."""
    return with_moduli(executable, lambda modulus: modulus[:100] + bytes([modulus[100] ^ 0x5a]) + modulus[101:])


# New launchers that must not run: (how the copy is spoilt, why the promotion fails, whether the
# next start refuses its version; a copy without a readable version has none to refuse).
BROKEN = {
    "own version unreadable": (without_version, "its own version cannot be read.", False),
    "manifest key does not load": (without_keys, "its manifest key does not load.", True),
    "keys do not verify the site's manifest": (with_other_keys, "its manifest keys do not verify the site's manifest.",
                                               True),
}


@pytest.mark.parametrize("spoil, reason, refuses", BROKEN.values(), ids=BROKEN.keys())
def test_new_launcher_that_cannot_run_leaves_the_old_one(scenario, site, spoil, reason, refuses):
    scenario.install_stub("exit=0")
    (scenario.root / "logs").mkdir()
    prove_the_sites_manifest(scenario, site)
    (scenario.root / "VarnixLauncher.exe.new").write_bytes(spoil(NEWER))
    # The checks come before the wait: the process id does not matter.
    start_windows_program(windows_path(scenario.root / "VarnixLauncher.exe.new"),
                          env={"VARNIX_LAUNCHER_PROMOTE": "1"})
    assert promotion_ended(scenario)[-1] == FAILED + reason
    end_leftover_processes(5)
    assert root_launcher(scenario) == LAUNCHER.read_bytes()

    if refuses:
        site.publish([launcher_package(NEWER)])  # the refused version stays on offer
    following = scenario.run(answers=ANSWERS)
    assert following.exit_code == 0
    version = newer(version_of(following))
    removed = REMOVED.format(version) if refuses else "Launcher update removed: VarnixLauncher.exe.new (no version)."
    assert removed in following.this_run
    assert refused(scenario) == (version + "\n" if refuses else None)
    assert not refuses or SKIPPED.format(version) in following.this_run
    assert sorted(p.name for p in scenario.root.glob("VarnixLauncher*")) == ["VarnixLauncher.exe"]


# Each step of a promotion; the kill ends the old and the new launcher at once.
KILL_POINTS = {"copy": COPYING, "start of the new launcher": STARTING, "wait": WAITING, "rename": REPLACING}


@pytest.fixture(scope="module", autouse=True)
def fresh_summary():
    SUMMARY.unlink(missing_ok=True)


@pytest.mark.parametrize("point", KILL_POINTS.values(), ids=KILL_POINTS.keys())
def test_kill_at_a_promotion_step_leaves_a_runnable_launcher(scenario, site, point):
    site.publish([launcher_package(NEWER)])
    launchers = {LAUNCHER.read_bytes(): "old", NEWER.read_bytes(): "new"}
    log_path = scenario.root / "logs/launcher.log"
    results = []
    for _ in range(REPEATS):
        place(scenario, LAUNCHER, NEWER)
        (scenario.system / ".packages/launcher.refused").unlink(missing_ok=True)
        scenario.install_stub("exit=0")
        log_path.parent.mkdir(exist_ok=True)
        ready = log_path.with_name(log_path.name + ".sweeping")
        ready.unlink(missing_ok=True)
        sweep = start_windows_program(SWEEP, "when:" + windows_path(log_path) + "|] " + point, 60000,
                                      windows_path(scenario.root))
        assert wait_for(ready.exists), "the aimed kill did not start"
        scenario.run(answers=ANSWERS)
        # The step's line came and everything of the scenario still running was ended at once
        # (a promotion may finish between its last two lines and the kill).
        killed = sweep.wait(timeout=90) in (0, 1)
        # A new launcher whose creation the kill interrupted shows up only now under Wine, and
        # never runs; it is ended as a reboot would end it (the sweep waits for it to appear).
        end_leftover_processes(2)
        end_late_processes()
        after_kill = launchers.get(root_launcher(scenario))

        recovery = scenario.run(answers=ANSWERS)
        if any(m.startswith(STARTING) for m in recovery.this_run):
            promotion_ended(scenario)
        end_leftover_processes(5)
        outcome = launchers.get(root_launcher(scenario))
        # Completed, or discarded cleanly: the old launcher, with the candidate refused.
        clean = outcome == "new" or (outcome == "old" and refused(scenario) is not None)
        left = sorted(p.name for p in scenario.root.glob("VarnixLauncher*"))
        results.append({"killed": killed, "after_kill": after_kill, "recovered": recovery.exit_code == 0,
                        "outcome": outcome, "clean": clean, "left": left})
    record(point, results)
    assert all(r["killed"] for r in results), results
    assert all(r["after_kill"] in ("old", "new") for r in results), results
    assert all(r["recovered"] and r["clean"] and r["left"] == ["VarnixLauncher.exe"] for r in results), results


def record(point, results):
    SUMMARY.parent.mkdir(parents=True, exist_ok=True)
    summary = json.loads(SUMMARY.read_text()) if SUMMARY.exists() else {}
    summary[point] = {"kills": sum(r["killed"] for r in results),
                      "violations": sum(not (r["after_kill"] and r["clean"]) for r in results),
                      "completed": sum(r["outcome"] == "new" for r in results),
                      "discarded": sum(r["outcome"] == "old" for r in results)}
    SUMMARY.write_text(json.dumps(summary, indent=1, ensure_ascii=False))
