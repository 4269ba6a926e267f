"""Data safety: correctly signed lines that aim outside the root, links in the work areas, two
launchers at once, the launch token's attributes and a root path longer than 259 units."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import time

import pytest

from constants import (ALREADY_RUNNING, LAUNCH_ERROR, OK, PACKAGE_DOWNLOAD, ROOT_LOCK_BUSY, ROOT_LOCK_GIVEN_UP,
                       ROOT_LOCK_WAITING, START_FAILED, WINEDLLOVERRIDES_WITHOUT_COMCTL32)
from harness import (DRIVER, SCRATCH, WINEPREFIX, Dialog, Package, answers_file, parse_log, quote_argument,
                     wait_for, wine_command, wine_env, windows_path)

SKIPPED_ONE_LINE = "Manifest package lines skipped as invalid: 1"
MESSAGE_BOXES = {"WINEDLLOVERRIDES": WINEDLLOVERRIDES_WITHOUT_COMCTL32}  # quicker to answer
DOWNLOADS = {PACKAGE_DOWNLOAD: OK}
ANY_ROAD = {PACKAGE_DOWNLOAD: OK, LAUNCH_ERROR: OK, START_FAILED: OK}
GOOD = Package("good", {"good/g.dll": b"good"})
BAD = Package("bad", {"bad/x.dll": b"bad"})

# name, archive, listed files of a correctly signed line; {c} is a canary directory beside the
# root, {g} one in the root's parent's parent.
ATTACKS = {
    "name_dotdot": ("..", "bad.zip", "bad/x.dll"),
    "name_up_to_canary": ("..\\..\\{c}", "bad.zip", "bad/x.dll"),
    "name_up_to_parent_canary": ("..\\..\\..\\{g}", "bad.zip", "bad/x.dll"),
    "name_trailing_dot": ("good.", "bad.zip", "bad/x.dll"),
    "name_device": ("CON", "bad.zip", "bad/x.dll"),
    "archive_into_system": ("bad", "..\\system\\keep.txt", "bad/x.dll"),
    "archive_up_to_canary": ("bad", "..\\..\\{c}\\precious.txt", "bad/x.dll"),
    "item_up_to_canary": ("bad", "bad.zip", "bad/x.dll;../../{c}/precious.txt"),
    "item_backslashes_up": ("bad", "bad.zip", "..\\..\\..\\{g}\\precious.txt"),
    "item_rooted": ("bad", "bad.zip", "\\t\\{c}\\precious.txt"),
    "item_drive": ("bad", "bad.zip", "C:\\t\\{c}\\precious.txt"),
    "item_marker": ("bad", "bad.zip", ".packages/good.sha256"),
    "item_bookkeeping": ("bad", "bad.zip", "_missing_files.txt"),
    "item_device": ("bad", "bad.zip", "bad/aux.dll"),
}


def snapshot(*directories):
    """Every file and directory under the given ones, with the files' bytes."""
    found = {}
    for directory in directories:
        for path in sorted(directory.rglob("*")):
            found[str(path)] = path.read_bytes() if path.is_file() else "dir"
    return found


def fill_canary(path):
    if path.exists():
        shutil.rmtree(path)
    (path / "sub").mkdir(parents=True)
    (path / "precious.txt").write_bytes(b"precious")
    (path / "sub/deep.txt").write_bytes(b"deep")


def manifest_lines(release):
    return {line.split("|")[1]: line for line in (release / "manifest.txt").read_text().splitlines()
            if line.startswith("package|")}


@pytest.mark.parametrize("attack", ATTACKS)
def test_signed_line_aiming_outside_the_root_is_skipped_and_the_good_line_installs(make_scenario, site, attack):
    scenario = make_scenario("attack_" + attack)
    canary, parent_canary = SCRATCH / f"canary_{attack}", SCRATCH.parent / f"canary_{attack}"
    for directory in (canary, parent_canary):
        fill_canary(directory)
    scenario.install_stub("exit=0")
    (scenario.system / "keep.txt").write_bytes(b"keep")
    release = site.publish([BAD, GOOD])
    lines = manifest_lines(release)
    archives = {path.name: path.read_bytes() for path in (release / "packages").iterdir()}
    name, archive, files = (value.format(c=canary.name, g=parent_canary.name) for value in ATTACKS[attack])
    bad_hash = lines["bad"].split("|")[3]
    # The bad line first, so that it would be served before the good one.
    site.write(f"package|{name}|{archive}|{bad_hash}|1|{files}\n{lines['good']}\n".encode())
    (site.repository / "packages").mkdir()
    archives[archive] = archives["bad.zip"]  # served also under the aimed name
    for file_name, data in archives.items():
        (site.repository / "packages" / file_name).write_bytes(data)
    before = snapshot(canary, parent_canary)

    run = scenario.run(answers=DOWNLOADS, env=MESSAGE_BOXES)
    assert run.exit_code == 0, run.this_run
    assert SKIPPED_ONE_LINE in run.this_run
    assert snapshot(canary, parent_canary) == before
    assert (scenario.system / "keep.txt").read_bytes() == b"keep"
    assert (scenario.system / "good/g.dll").read_bytes() == b"good"
    assert (scenario.system / ".packages/good.sha256").read_text() == lines["good"].split("|")[3]


@pytest.mark.parametrize("place", ["_download", "_rollback", "_rollback/core", "logs"])
def test_link_in_a_work_area_is_never_written_or_deleted_through(scenario, site, place):
    # Under Wine a Linux symbolic link to a non-empty directory cannot be removed: every step
    # that needs the place fails on its own road, and the target must stay as it was.
    target = SCRATCH / f"{scenario.name}_target"
    fill_canary(target)
    for name, data in {"core.zip": b"not the archive", "core/precious.txt": b"backup?",
                       "launcher.log": b"not our log\r\n"}.items():
        (target / name).parent.mkdir(parents=True, exist_ok=True)
        (target / name).write_bytes(data)
    site.publish([Package("core", {"core/a.dll": b"a"})])
    scenario.install_stub("exit=0")
    link = scenario.root / place
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(target, target_is_directory=True)
    before = snapshot(target)
    run = scenario.run(answers=ANY_ROAD, env=MESSAGE_BOXES)
    assert run.exit_code in (0, 1) and not run.timed_out
    assert snapshot(target) == before


def start_driver(scenario, index, wrapper=(), launcher=None):
    """One launcher through its own dialog driver, without waiting for it; returns the process
    and the driver's result file. launcher: its Windows path (default: the root's, C:\\...)."""
    result = scenario.work / f"result{index}.jsonl"
    result.unlink(missing_ok=True)
    command_line, answers = scenario.work / f"cmdline{index}.txt", scenario.work / f"answers{index}.txt"
    command_line.write_bytes(quote_argument(launcher or windows_path(scenario.root / "VarnixLauncher.exe")).encode())
    answers.write_bytes(answers_file({**DOWNLOADS, ALREADY_RUNNING: OK, ROOT_LOCK_BUSY: OK}))
    process = subprocess.Popen(
        [*wrapper, "wine", str(DRIVER), windows_path(result), windows_path(answers), windows_path(command_line),
         "90"], env=wine_env(MESSAGE_BOXES), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    return process, result


def records(result, kind):
    return [r for r in map(json.loads, result.read_text(encoding="utf-8").splitlines()) if r["type"] == kind]


def unix_root_spelling(path):
    """The Z:\\ (Unix root) spelling of a path inside the prefix: another name of the same directory."""
    return "Z:" + str(path).replace("/", "\\")


# The second launcher reaches the root by the same path or by its Z:\ spelling; either way it waits
# for the first. It gives up after 20 s: a loaded machine may take that long for the first one's
# install, and then the second ends on that road instead (exit 1 after its information dialog).
@pytest.mark.parametrize("spelling", [windows_path, unix_root_spelling], ids=["same_path", "z_drive"])
def test_two_launchers_100_ms_apart_install_once(scenario, site, spelling):
    site.publish([Package("slow_core", {f"core/{n}.bin": os.urandom(64 * 1024) for n in range(6)})])
    scenario.install_stub("exit=0")
    started = []
    for index in range(2):
        started.append(start_driver(scenario, index, launcher=spelling(scenario.root / "VarnixLauncher.exe")
                                    if index else None))
        time.sleep(0.1)
    for process, _ in started:
        process.wait(timeout=150)
    log = parse_log((scenario.root / "logs/launcher.log").read_bytes())
    drivers = [result.read_text(encoding="utf-8") for _, result in started]
    codes = sorted(records(result, "exit")[-1]["code"] for _, result in started)
    gave_up = log.count(ROOT_LOCK_GIVEN_UP)
    assert codes == [0, gave_up] and gave_up in (0, 1), (drivers, log)
    assert log.count("Install package started: slow_core") == 1, log
    assert log.count(ROOT_LOCK_WAITING) == 1, log
    dialogs = [Dialog.from_record(r).main for _, result in started for r in records(result, "dialog")]
    assert sorted(dialogs) == sorted([PACKAGE_DOWNLOAD] + [ROOT_LOCK_BUSY] * gave_up), dialogs


def attributes(path):
    """The DOS attribute letters that Wine's attrib shows for a file."""
    shown = subprocess.run(wine_command("attrib", windows_path(path)), env=wine_env(), capture_output=True,
                           text=True, stdin=subprocess.DEVNULL).stdout
    return set(shown.split(windows_path(path)[:2])[0].replace(" ", ""))


@pytest.mark.nonroot
def test_read_only_hidden_token_file_is_cleared_and_written(scenario):
    # Wine run as an unprivileged user refuses CREATE_ALWAYS on a read-only file, as Windows does:
    # a token file left read-only must not stop every later start.
    scenario.install_stub("exit=0")
    token = scenario.system / "launch_guard.token"
    token.write_text("stale")
    for flag in ("+h", "+r"):  # the hidden flag is an extended attribute: the file must be writable
        subprocess.run(wine_command("attrib", flag, windows_path(token)), env=wine_env(), check=True,
                       capture_output=True, stdin=subprocess.DEVNULL)
    assert {"R", "H"} <= attributes(token)
    run = scenario.run()
    assert run.exit_code == 0
    assert not {"R", "H"} & attributes(token)
    assert len(token.read_text()) == 64


def test_root_path_longer_than_259_units(make_scenario):
    # Only the root computation: Wine accepts long paths where Windows without long-path
    # support does not. The dialog driver cannot start a program from a path this long under
    # Wine, wine itself can; the launcher is stopped once its banner is written.
    scenario = make_scenario("long_" + "d" * 120 + "/" + "e" * 120 + "/" + "f" * 40)
    assert len(scenario.win_root) > 260  # a cut at the old buffer's end falls inside the root
    log = scenario.root / "logs/launcher.log"
    process = subprocess.Popen(["wine", str(scenario.root / "VarnixLauncher.exe")], env=wine_env(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: log.exists() and b"System directory: " in log.read_bytes(), 30)
    finally:
        process.kill()
        process.wait(timeout=10)
    assert "Root directory: " + scenario.win_root in parse_log(log.read_bytes())


def wineserver_pid():
    for proc in pathlib.Path("/proc").iterdir():
        try:
            if proc.name.isdigit() and (proc / "comm").read_text().startswith("wineserver") and \
                    f"WINEPREFIX={WINEPREFIX}".encode() in (proc / "environ").read_bytes().split(b"\0"):
                return int(proc.name)
        except OSError:
            pass
    raise AssertionError("no wineserver for this prefix")


TRACE_LINE = re.compile(r"^\d+\s+(\d+\.\d+) (\w+)\((.*)$")


def traced(path):
    """(time, call, arguments) of every call in an strace -f -ttt -y output."""
    calls = []
    for line in path.read_text(errors="replace").splitlines():
        match = TRACE_LINE.match(line)
        if match:
            calls.append((float(match.group(1)), match.group(2), match.group(3)))
    return calls


@pytest.mark.heavy
def test_files_reach_the_disk_before_the_marker_is_renamed(scenario, site, tmp_path):
    # FlushFileBuffers is an fsync in the launcher's own process; the rename behind MoveFileExW
    # is done by wineserver. Both are traced and merged by time.
    files = {"core/a.bin": b"a" * 200000, "core/b.bin": b"b" * 1000}
    site.publish([Package("core", files)])
    scenario.install_stub("exit=0")
    server_trace, launcher_trace = tmp_path / "wineserver.trace", tmp_path / "launcher.trace"
    tracer = subprocess.Popen(["strace", "-f", "-ttt", "-y", "-e", "trace=rename,renameat,renameat2", "-o",
                               str(server_trace), "-p", str(wineserver_pid())],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: server_trace.exists(), 10)
        time.sleep(0.5)
        process, _ = start_driver(scenario, 0, ["strace", "-f", "-ttt", "-y", "-e", "trace=fsync,fdatasync",
                                                "-o", str(launcher_trace)])
        assert process.wait(timeout=150) == 0
    finally:
        tracer.terminate()
        tracer.wait(timeout=10)
    assert (scenario.system / ".packages/core.sha256").exists()
    renames = [when for when, _, arguments in traced(server_trace)
               if "core.sha256.tmp" in arguments and arguments.endswith("= 0")]
    assert len(renames) == 1, server_trace.read_text()[-2000:]
    flushes = traced(launcher_trace)

    def flushed_before(suffix):
        return any(when < renames[0] and arguments.split(">")[0].endswith(suffix) for when, _, arguments in flushes)

    for item in files:
        assert flushed_before("/system/" + item), item
    assert flushed_before("/_rollback/core/_missing_files.txt")
    assert flushed_before("/system/.packages/core.sha256.tmp")
