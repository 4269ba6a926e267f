"""The per-user setup (VarnixSetup.exe, NSIS) and its uninstaller, run silently under Wine.

Each run goes through the dialog driver with a raw command line: /D= must stay the last argument
and unquoted, and a silent run that showed any dialog would fail as an unexpected one. The
uninstaller runs either as a user starts it (it copies itself to %TEMP% and returns at once; the
test waits until the root is gone) or with _?=ROOT, synchronously and with its exit code, where it
cannot delete its own file.
"""
import getpass
import os
import shutil
import subprocess

import pytest

from constants import (INSTALLED_NAMES, OK, SETUP_ABORTED, SETUP_INSTALLED, SETUP_REFUSED_DIRECTORY, SETUP_REFUSED_RUNNING,
                       SHORTCUT_NAME, UNINSTALL_KEY, UNINSTALL_REFUSED_NOT_A_ROOT, UNINSTALLER_NAME, UPDATE_DOWNLOAD,
                       LAUNCHED)
from harness import (BUILD, DRIVE_C, LAUNCHER, STUB, Package, assert_in_order, silent_setup_command,
                     start_windows_program, unix_path, wait_for, windows_path, wine_env)

NEWER_LAUNCHER = BUILD / "VarnixLauncherNewer.exe"
PROFILE = DRIVE_C / "users" / getpass.getuser()
START_MENU_SHORTCUT = PROFILE / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs" / SHORTCUT_NAME
DESKTOP_SHORTCUT = PROFILE / "Desktop" / SHORTCUT_NAME
PROTECTED_PLACES = ("Program Files", "Program Files (x86)", "windows")


def registry(*arguments):
    return subprocess.run(["wine", "reg", *arguments], env=wine_env(), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)


def uninstall_entry():
    """The values of the uninstall entry by name; None when there is no entry."""
    result = registry("query", UNINSTALL_KEY)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2] if len(parts) == 3 else ""
    return values


@pytest.fixture(autouse=True)
def no_installation_before_or_after():
    """The entry is per user, so each test starts and ends without one (and without shortcuts)."""
    def clear():
        registry("delete", UNINSTALL_KEY, "/f")
        for shortcut in (START_MENU_SHORTCUT, DESKTOP_SHORTCUT):
            shortcut.unlink(missing_ok=True)
    clear()
    yield
    clear()


def run_setup(scenario, target, *options):
    """Runs the setup silently into `target` (a path in the prefix); returns its exit code."""
    return scenario.run_command_line(silent_setup_command(target, *options), timeout=60).exit_code


def uninstall_in_place(scenario, root):
    """The uninstaller with _?=ROOT: synchronous, with its exit code; its own file stays."""
    command_line = f'"{windows_path(root / UNINSTALLER_NAME)}" /S _?={windows_path(root)}'
    return scenario.run_command_line(command_line, timeout=60).exit_code


def uninstall_as_a_user_does(scenario, root):
    """The uninstaller as the entry's QuietUninstallString starts it; done once the root is gone."""
    assert scenario.run_command_line(f'"{windows_path(root / UNINSTALLER_NAME)}" /S', timeout=60).exit_code == 0
    assert wait_for(lambda: not root.exists(), 60), f"the uninstaller left {sorted(os.listdir(root))}"


def shortcut_names_target(shortcut, target):
    data = shortcut.read_bytes()
    path = windows_path(target)
    return path.encode("utf-16-le") in data or path.encode("cp1252") in data


def make_used_root(root):
    """What the launcher and its updates leave in a root after some starts."""
    for name, data in {"system/Varnix.exe": b"app", "system/.packages/soft.sha256": b"ab",
                       "logs/launcher.log": b"log", "_download/soft.zip": b"zip",
                       "_rollback/soft/core.dll": b"old", "VarnixLauncher.exe.new": b"new"}.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)


def outside_files(directory):
    return {str(p.relative_to(directory)): p.read_bytes() for p in directory.rglob("*") if p.is_file()}


def test_silent_setup_installs_for_the_user_and_the_uninstaller_removes_only_varnix(scenario):
    root = scenario.root / "Varnix"
    assert run_setup(scenario, root, "/DESKTOP") == SETUP_INSTALLED
    assert set(os.listdir(root)) == INSTALLED_NAMES
    assert (root / "VarnixLauncher.exe").read_bytes() == LAUNCHER.read_bytes()
    entry = uninstall_entry()
    win_root = windows_path(root)
    assert {name: entry.get(name) for name in ("DisplayName", "DisplayVersion", "Publisher", "InstallLocation",
                                                "DisplayIcon", "UninstallString", "QuietUninstallString",
                                                "NoModify", "NoRepair")} == {
        "DisplayName": "Varnix", "DisplayVersion": "1.0.0.0", "Publisher": "Varnix", "InstallLocation": win_root,
        "DisplayIcon": win_root + "\\VarnixLauncher.exe",
        "UninstallString": f'"{win_root}\\{UNINSTALLER_NAME}"',
        "QuietUninstallString": f'"{win_root}\\{UNINSTALLER_NAME}" /S', "NoModify": "0x1", "NoRepair": "0x1"}
    size_kib = sum((root / name).stat().st_size for name in INSTALLED_NAMES) // 1024
    assert int(entry["EstimatedSize"], 16) in (size_kib, size_kib + 1)
    for shortcut in (START_MENU_SHORTCUT, DESKTOP_SHORTCUT):
        assert shortcut_names_target(shortcut, root / "VarnixLauncher.exe"), shortcut

    # A used root, with a link inside system\ to a directory outside it (made host-side).
    make_used_root(root)
    outside = scenario.root / "outside"
    (outside / "deep").mkdir(parents=True)
    (outside / "keep.txt").write_bytes(b"outside data")
    (outside / "deep/more.bin").write_bytes(bytes(range(256)))
    before = outside_files(outside)
    os.symlink(outside, root / "system" / "linked")

    # Wine cannot remove a host link through Win32 (it sees the directory behind it): the
    # uninstaller removes everything else, never enters the link, and keeps its entry for a rerun.
    # The launcher stays too, so that the rerun still recognises the folder as a Varnix root.
    assert uninstall_in_place(scenario, root) == SETUP_ABORTED
    assert outside_files(outside) == before
    assert sorted(os.listdir(root)) == sorted([UNINSTALLER_NAME, "VarnixLauncher.exe", "system"])
    assert os.listdir(root / "system") == ["linked"]
    assert uninstall_entry() is not None and START_MENU_SHORTCUT.exists()
    (root / "system/linked").unlink()
    uninstall_as_a_user_does(scenario, root)
    assert outside_files(outside) == before
    assert uninstall_entry() is None
    assert not START_MENU_SHORTCUT.exists() and not DESKTOP_SHORTCUT.exists()


def test_setup_and_uninstaller_refuse_while_varnix_of_the_root_runs(scenario):
    root = scenario.root / "Varnix"
    assert run_setup(scenario, root) == SETUP_INSTALLED
    assert not DESKTOP_SHORTCUT.exists()
    (root / "system").mkdir()
    shutil.copy(STUB, root / "system/Varnix.exe")
    (root / "system/stub_behavior.txt").write_text("sleep=60000\n")
    running = start_windows_program(root / "system/Varnix.exe")
    try:
        assert wait_for(lambda: (root / "system/stub_runs.jsonl").exists())
        assert run_setup(scenario, root) == SETUP_REFUSED_RUNNING
        assert uninstall_in_place(scenario, root) == SETUP_REFUSED_RUNNING
        assert {"VarnixLauncher.exe", UNINSTALLER_NAME, "system"} <= set(os.listdir(root))
        assert uninstall_entry()["InstallLocation"] == windows_path(root)
    finally:
        (root / "system/stub_stop").write_text("")
        running.wait(timeout=30)
    assert uninstall_in_place(scenario, root) == 0
    # Run in place, the uninstaller cannot delete its own file: that alone stays.
    assert os.listdir(root) == [UNINSTALLER_NAME]
    assert uninstall_entry() is None and not START_MENU_SHORTCUT.exists()


def test_setup_over_an_installation_keeps_its_files_and_a_newer_launcher(scenario):
    root = scenario.root / "Varnix"
    assert run_setup(scenario, root) == SETUP_INSTALLED
    make_used_root(root)
    (root / "notes.txt").write_bytes(b"the user's")
    kept = outside_files(root)
    assert run_setup(scenario, root) == SETUP_INSTALLED  # the same version again
    assert outside_files(root) == kept
    # The self-update promoted a newer launcher: an older setup leaves it in place.
    shutil.copy(NEWER_LAUNCHER, root / "VarnixLauncher.exe")
    assert run_setup(scenario, root) == SETUP_INSTALLED
    assert (root / "VarnixLauncher.exe").read_bytes() == NEWER_LAUNCHER.read_bytes()
    assert uninstall_entry()["DisplayVersion"] == "1.0.0.1"


@pytest.mark.parametrize("target", [
    pytest.param("C:\\Program Files\\Varnix", id="program_files"),
    pytest.param("c:\\PROGRAM FILES (X86)\\Varnix", id="program_files_x86_in_other_case"),
    pytest.param("C:\\windows\\Varnix", id="windows"),
    pytest.param("LINK\\Varnix", id="link_to_program_files"),
])
def test_setup_refuses_a_directory_it_could_not_update_from(scenario, target):
    for place in PROTECTED_PLACES:  # what a faulty setup may have left there
        shutil.rmtree(DRIVE_C / place / "Varnix", ignore_errors=True)
    os.symlink(DRIVE_C / "Program Files", scenario.root / "pf")
    target = unix_path(target.replace("LINK", scenario.win_root + "\\pf"))
    assert run_setup(scenario, target) == SETUP_REFUSED_DIRECTORY
    assert not any((DRIVE_C / place / "Varnix").exists() for place in PROTECTED_PLACES)
    assert uninstall_entry() is None


def test_a_picked_folder_gets_a_varnix_folder_and_a_second_location_is_refused(scenario):
    documents = scenario.root / "Documents"
    (documents / "photos").mkdir(parents=True)
    (documents / "letter.txt").write_bytes(b"dear")
    (documents / "photos/cat.jpg").write_bytes(b"\xff\xd8cat")
    before = outside_files(documents)
    assert run_setup(scenario, documents) == SETUP_INSTALLED
    root = documents / "Varnix"
    assert set(os.listdir(root)) == INSTALLED_NAMES
    # One installation per user: another directory waits until this one is uninstalled.
    elsewhere = scenario.root / "Elsewhere"
    assert run_setup(scenario, elsewhere) == SETUP_REFUSED_DIRECTORY
    assert not elsewhere.exists()
    make_used_root(root)
    uninstall_as_a_user_does(scenario, root)
    assert outside_files(documents) == before and set(os.listdir(documents)) == {"photos", "letter.txt"}
    assert run_setup(scenario, elsewhere) == SETUP_INSTALLED
    assert set(os.listdir(elsewhere / "Varnix")) == INSTALLED_NAMES


@pytest.mark.parametrize("copy_to_another_root", [
    pytest.param(False, id="folder_of_the_users"),
    pytest.param(True, id="another_varnix_root"),
])
def test_a_copied_uninstaller_leaves_the_registered_installation(scenario, copy_to_another_root):
    root = scenario.root / "Varnix"
    assert run_setup(scenario, root, "/DESKTOP") == SETUP_INSTALLED
    scratch = scenario.root / "Documents"
    for name, data in {"logs/diary.txt": b"mine", "system/notes.txt": b"mine too"}.items():
        (scratch / name).parent.mkdir(parents=True, exist_ok=True)
        (scratch / name).write_bytes(data)
    shutil.copy(root / UNINSTALLER_NAME, scratch / UNINSTALLER_NAME)
    if copy_to_another_root:
        # A second root of its own (a copied launcher): its names go, the registered ones stay.
        shutil.copy(root / "VarnixLauncher.exe", scratch / "VarnixLauncher.exe")
        assert uninstall_in_place(scenario, scratch) == 0
        assert os.listdir(scratch) == [UNINSTALLER_NAME]
    else:
        before = outside_files(scratch)
        assert uninstall_in_place(scenario, scratch) == UNINSTALL_REFUSED_NOT_A_ROOT
        assert outside_files(scratch) == before
    assert uninstall_entry()["InstallLocation"] == windows_path(root)
    assert START_MENU_SHORTCUT.exists() and DESKTOP_SHORTCUT.exists()
    assert set(os.listdir(root)) == INSTALLED_NAMES


def test_the_registered_root_is_removed_without_its_launcher_and_markers(scenario):
    """What a removal cut short by an older uninstaller, or the user's own deletions, may leave."""
    root = scenario.root / "Varnix"
    assert run_setup(scenario, root) == SETUP_INSTALLED
    make_used_root(root)
    shutil.rmtree(root / "system/.packages")
    (root / "VarnixLauncher.exe").unlink()
    assert uninstall_in_place(scenario, root) == 0
    assert os.listdir(root) == [UNINSTALLER_NAME]
    assert uninstall_entry() is None and not START_MENU_SHORTCUT.exists()


def test_the_installed_launcher_installs_the_application_and_starts_it(make_scenario, site):
    scenario = make_scenario("installed_launcher_starts/Varnix")
    (scenario.root / "VarnixLauncher.exe").unlink()
    assert run_setup(scenario, scenario.root) == SETUP_INSTALLED
    site.publish([Package("soft", {"Varnix.exe": STUB.read_bytes()}, listed=("Varnix.exe",))])
    run = scenario.run(answers={UPDATE_DOWNLOAD: OK})
    assert run.exit_code == 0
    assert_in_order(run.this_run, ["Install package completed: soft", LAUNCHED])
    assert len(scenario.stub_runs()) == 1
