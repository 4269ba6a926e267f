"""The launcher updating itself through the "launcher" package, and kills aimed at each step of
its promotion. Whatever happens, VarnixLauncher.exe in the root is a whole launcher: the old one
or the new one. VARNIX_KILL_REPEATS sets how often each kill point is hit (make reliability: 3);
a summary goes to build/reliability/self_update_kills.json."""
import json
import os
import shutil
import subprocess

import pytest

from constants import LAUNCHED, LAUNCHER_RUNS_AS, OK, PACKAGE_DOWNLOAD, PROMOTION_TRIED_AGAIN, START_FAILED
from harness import (BUILD, LAUNCHER, SITE_DIR, SUPPORT, SWEEP, Held, Package, assert_in_order, end_late_processes,
                     end_leftover_processes, parse_log, quote_argument, start_windows_program, wait_for,
                     windows_path)

NEWER = BUILD / "VarnixLauncherNewer.exe"  # the same launcher, the last part of its version one higher
HANDOVER = SUPPORT / "promotion_handover.exe"  # starts a new launcher with an inherited process handle
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
TRIED_AGAIN = PROMOTION_TRIED_AGAIN.split("{")[0]
REMOVED = "Launcher update removed: VarnixLauncher.exe.new did not become VarnixLauncher.exe. Version refused: {}"
REMOVED_PREFIX = REMOVED.split("{")[0]
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


def promotion_endings(scenario):
    return sum(m.startswith((COMPLETED, FAILED)) for m in log_of(scenario))


def promotion_ended(scenario, earlier=0, seconds=30):
    """Waits for the last line of a promote process (the one after `earlier` promotions that ended
    before); the messages of the log."""
    assert wait_for(lambda: promotion_endings(scenario) > earlier, seconds)
    return log_of(scenario)


def root_launcher(scenario):
    return (scenario.root / "VarnixLauncher.exe").read_bytes()


def refused(scenario):
    path = scenario.system / ".packages/launcher.refused"
    return path.read_text() if path.exists() else None


def verdict(scenario):
    """What a new launcher that did not take the name recorded: its version and the reason."""
    path = scenario.system / ".packages/launcher.verdict"
    return path.read_text() if path.exists() else None


def attempts(scenario):
    return sorted(p.name for p in scenario.system.glob(".packages/launcher-*.attempts"))


def forget_promotions(scenario):
    for path in [*scenario.system.glob(".packages/launcher-*.attempts"),
                 scenario.system / ".packages/launcher.refused", scenario.system / ".packages/launcher.verdict"]:
        path.unlink(missing_ok=True)


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


@pytest.mark.heavy
def test_a_launcher_file_held_past_the_wait_is_tried_again_at_the_next_start(scenario, site):
    site.publish([launcher_package(NEWER)])
    scenario.install_stub("exit=0")
    # Held longer than the new launcher waits (30 s): a scanner, or a second start whose dialog is
    # still open. That is no fault of the new version, which must not be refused for it.
    with Held(scenario.root / "VarnixLauncher.exe", "read"):
        run = scenario.run(answers=ANSWERS)
        assert run.exit_code == 0
        log = promotion_ended(scenario, seconds=60)
    end_leftover_processes(5)
    version = newer(version_of(run))
    # The system's text of the sharing violation ends the line: its line break is an empty message.
    assert [m for m in log if m.startswith((COMPLETED, FAILED))] == [next(m for m in log if m.startswith(FAILED))]
    assert root_launcher(scenario) == LAUNCHER.read_bytes()
    assert verdict(scenario) == version + "\nrename-failed\n"

    following = scenario.run(answers=ANSWERS)
    assert following.exit_code == 0
    assert_in_order(following.this_run, [PROMOTION_TRIED_AGAIN.format(1, "rename-failed"), STARTING])
    assert refused(scenario) is None and not any(m.startswith("Launcher update removed") for m in following.this_run)
    assert promotion_ended(scenario, earlier=1)[-1] == COMPLETED + version
    end_leftover_processes(5)
    assert root_launcher(scenario) == NEWER.read_bytes()
    assert verdict(scenario) is None and attempts(scenario) == []


def as_dll(executable):
    """The executable marked as a DLL in its file header: its version reads, but it cannot start."""
    data = bytearray(executable.read_bytes())
    flags = int.from_bytes(data[0x3c:0x40], "little") + 4 + 18  # the COFF header's Characteristics
    data[flags:flags + 2] = (int.from_bytes(data[flags:flags + 2], "little") | 0x2000).to_bytes(2, "little")
    return bytes(data)


def test_a_new_launcher_that_does_not_start_is_refused_at_the_third_attempt(scenario, site):
    site.publish([Package("launcher", {"launcher/VarnixLauncher.exe": as_dll(NEWER)})])
    scenario.install_stub("exit=0")
    for attempt in (1, 2):
        run = scenario.run(answers=ANSWERS)
        assert run.exit_code == 0
        assert_in_order(run.this_run, [STARTING, PROMOTION_TRIED_AGAIN.format(attempt, "start-failed")])
        assert any(m.startswith("Launcher update failed: ") for m in run.this_run)
        assert refused(scenario) is None
    version = newer(version_of(run))
    assert attempts(scenario) == [f"launcher-{version}.attempts"]
    third = scenario.run(answers=ANSWERS)
    assert_in_order(third.this_run, [STARTING, REMOVED.format(version)])
    assert refused(scenario) == version + "\n" and attempts(scenario) == []
    fourth = scenario.run()
    assert SKIPPED.format(version) in fourth.this_run and not any(m.startswith(STARTING) for m in fourth.this_run)
    assert root_launcher(scenario) == LAUNCHER.read_bytes()
    assert sorted(p.name for p in scenario.root.glob("VarnixLauncher*")) == ["VarnixLauncher.exe"]


# The file name a launcher runs as: (name, whether it hands over to the new version). Only the
# launcher that runs as root\VarnixLauncher.exe may rename a new one over that file; names compare
# without regard to case.
RUNNING_AS = {
    "saved under another name": ("VarnixLauncher (1).exe", False),
    "its own name in capitals": ("VARNIXLAUNCHER.EXE", True),
}


@pytest.mark.parametrize("name, promotes", RUNNING_AS.values(), ids=RUNNING_AS.keys())
def test_only_the_launcher_running_as_varnixlauncher_exe_replaces_it(scenario, site, name, promotes):
    site.publish([launcher_package(NEWER)])
    scenario.install_stub("exit=0")
    saved_copy = name.lower() != "varnixlauncher.exe"
    if saved_copy:
        shutil.copy(LAUNCHER, scenario.root / name)
    run = scenario.run_command_line(quote_argument(windows_path(scenario.root) + "\\" + name), answers=ANSWERS)
    assert run.exit_code == 0 and LAUNCHED in run.this_run
    if promotes:
        assert promotion_ended(scenario)[-1] == COMPLETED + newer(version_of(run))
    end_leftover_processes(5)
    assert (LAUNCHER_RUNS_AS.format(name) in run.this_run) == (not promotes)
    assert any(m.startswith(COPYING) for m in run.this_run) == promotes
    assert root_launcher(scenario) == (NEWER if promotes else LAUNCHER).read_bytes()
    assert not saved_copy or (scenario.root / name).read_bytes() == LAUNCHER.read_bytes()
    assert not (scenario.root / "VarnixLauncher.exe.new").exists()


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


# How the old launcher is named to the new one: (handover, whether the new launcher takes the name).
# The launcher passes an inherited handle beside the id, since an id alone may name a later
# process once the old launcher has ended; launchers already in the field pass the id alone.
HANDOVERS = {
    "inherited handle": ("handle", True),
    "process id alone, as launchers in the field pass it": ("id", True),
    "handle to another process than the id": ("mismatch", False),
}


@pytest.mark.parametrize("handover, takes_the_name", HANDOVERS.values(), ids=HANDOVERS.keys())
def test_new_launcher_takes_the_name_only_after_the_old_one_ended(scenario, site, handover, takes_the_name):
    # A running Varnix.exe stands in for the old launcher.
    scenario.install_stub("sleep=30000")
    run = scenario.run()
    assert run.exit_code == 0
    prove_the_sites_manifest(scenario, site)
    new = windows_path(scenario.root / "VarnixLauncher.exe.new")
    (scenario.root / "VarnixLauncher.exe.new").write_bytes(NEWER.read_bytes())
    pid = str(scenario.stub_runs()[0]["pid"])
    if handover == "id":
        start_windows_program(new, env={"VARNIX_LAUNCHER_PROMOTE": pid})
    else:
        start_windows_program(HANDOVER, pid, pid if handover == "handle" else "self", new)
    assert wait_for(lambda: any(m.startswith(WAITING) for m in log_of(scenario)))
    if not takes_the_name:
        # The handle does not name the process the id says: nothing is waited on.
        assert promotion_ended(scenario, seconds=10)[-1] == FAILED + "the previous launcher did not end."
        assert verdict(scenario) == newer(version_of(run)) + "\nprevious-did-not-end\n"
    assert not wait_for(lambda: root_launcher(scenario) != LAUNCHER.read_bytes(), 1)
    scenario.stop_stub()
    if takes_the_name:
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


# New launchers that must not run: (how the copy is spoilt, why the promotion fails, the reason it
# records, whether the next start refuses its version; a copy without a readable version has none
# to refuse). Each is the new launcher's own fault: refused at the first attempt.
BROKEN = {
    "own version unreadable": (without_version, "its own version cannot be read.", "version-unreadable", False),
    "manifest key does not load": (without_keys, "its manifest key does not load.", "keys-do-not-load", True),
    "keys do not verify the site's manifest": (with_other_keys, "its manifest keys do not verify the site's manifest.",
                                               "keys-do-not-verify", True),
}


@pytest.mark.parametrize("spoil, reason, recorded, refuses", BROKEN.values(), ids=BROKEN.keys())
def test_new_launcher_that_cannot_run_leaves_the_old_one(scenario, site, spoil, reason, recorded, refuses):
    scenario.install_stub("exit=0")
    (scenario.root / "logs").mkdir()
    prove_the_sites_manifest(scenario, site)
    (scenario.root / "VarnixLauncher.exe.new").write_bytes(spoil(NEWER))
    # The checks come before the wait: the process id does not matter. "1" is a plain id, the form
    # launchers in the field pass; what the new launcher found now goes into its verdict, which the
    # next start reads.
    start_windows_program(windows_path(scenario.root / "VarnixLauncher.exe.new"),
                          env={"VARNIX_LAUNCHER_PROMOTE": "1"})
    assert promotion_ended(scenario)[-1] == FAILED + reason
    end_leftover_processes(5)
    assert root_launcher(scenario) == LAUNCHER.read_bytes()
    left_verdict = verdict(scenario)

    if refuses:
        site.publish([launcher_package(NEWER)])  # the refused version stays on offer
    following = scenario.run(answers=ANSWERS)
    assert following.exit_code == 0
    version = newer(version_of(following))
    removed = REMOVED.format(version) if refuses else "Launcher update removed: VarnixLauncher.exe.new (no version)."
    assert removed in following.this_run
    assert refused(scenario) == (version + "\n" if refuses else None)
    assert not refuses or SKIPPED.format(version) in following.this_run
    assert left_verdict == (version if refuses else "") + "\n" + recorded + "\n"
    assert verdict(scenario) is None and attempts(scenario) == []
    assert not any(m.startswith(TRIED_AGAIN) for m in following.this_run)
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
        forget_promotions(scenario)
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

        # A kill is no fault of the new version: the next good starts try it again (the first one
        # counts the attempt) and one of at most three completes it; it is never refused.
        recovered, outcome, tried_again, starts = True, after_kill, False, 0
        while outcome != "new" and starts < 3:
            starts += 1
            ended_before = promotion_endings(scenario)
            recovery = scenario.run(answers=ANSWERS)
            recovered &= recovery.exit_code == 0
            tried_again |= any(m.startswith(TRIED_AGAIN) for m in recovery.this_run)
            if any(m.startswith(STARTING) for m in recovery.this_run):
                promotion_ended(scenario, earlier=ended_before)
            end_leftover_processes(5)
            outcome = launchers.get(root_launcher(scenario))
        never_refused = refused(scenario) is None and not any(m.startswith(REMOVED_PREFIX) for m in log_of(scenario))
        clean = outcome == "new" and never_refused
        left = sorted(p.name for p in scenario.root.glob("VarnixLauncher*"))
        results.append({"killed": killed, "after_kill": after_kill, "recovered": recovered, "outcome": outcome,
                        "tried_again": tried_again, "refused": not never_refused, "starts": starts,
                        "clean": clean, "left": left})
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
                      "tried_again": sum(r["tried_again"] for r in results),
                      "refused": sum(r["refused"] for r in results),
                      "most_starts": max((r["starts"] for r in results if r["outcome"] == "new"), default=0)}
    SUMMARY.write_text(json.dumps(summary, indent=1, ensure_ascii=False))
