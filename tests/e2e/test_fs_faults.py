"""File-system faults: read-only and held files, impossible directories, long and Cyrillic names,
quote characters in paths, programs planted beside the launcher."""
import os
import shutil
import zipfile

import pytest

from constants import (ACCESS_DENIED, EXTRACTED_MISMATCH, LAUNCH_ERROR, LAUNCHED, MISMATCH_LOGGED, OK,
                       PACKAGE_DOWNLOAD, PACKAGES_NEEDED, PROCESS_START_FAILED, RESTORE_FINISHED,
                       RESTORE_LEFT_PENDING, RESTORE_STILL_PENDING, ROLLBACK_REMOVED, SERIAL_NOT_STORED, START_FAILED,
                       TOKEN_NOT_WRITTEN, YES)
from harness import DRIVE_C, POWERSHELL_DIR, SUPPORT, Held, Package, assert_in_order

LIB_V1 = Package("lib", {"lib/a.dll": b"a v1", "lib/b.dll": b"b v1"})
LIB_V2 = LIB_V1.but(files={"lib/a.dll": b"a v2", "lib/b.dll": b"b v2"})
DOWNLOAD = {PACKAGE_DOWNLOAD: OK}
DOWNLOAD_THEN_ERROR = {PACKAGE_DOWNLOAD: OK, LAUNCH_ERROR: OK}


@pytest.fixture
def installed_v1(scenario, site):
    site.publish([LIB_V1])
    scenario.install_stub("exit=0")
    assert scenario.run(answers=DOWNLOAD).exit_code == 0
    return scenario


# State files a user or a tool may have left read-only: the update still replaces them, so
# neither the package's marker nor the rollback protection (the stored serial) freezes.
READ_ONLY_STATE = {"marker": ".packages/lib.sha256", "stored_serial": ".packages/manifest.serial"}


@pytest.mark.nonroot
@pytest.mark.parametrize("state_file", READ_ONLY_STATE.values(), ids=READ_ONLY_STATE.keys())
def test_read_only_state_file_still_takes_the_update(installed_v1, site, state_file):
    scenario = installed_v1
    serial_before = scenario.stored_serial()
    os.chmod(scenario.system / state_file, 0o444)
    site.publish([LIB_V2])
    run = scenario.run(answers=DOWNLOAD)
    assert run.exit_code == 0
    assert not any(m.startswith("Manifest serial not stored: ") for m in run.this_run), run.this_run
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v2"
    assert scenario.marker("lib") == site.manifest()["lib"].sha256
    stored = scenario.stored_serial()
    assert stored != serial_before and stored.startswith(b"%d\n" % site.serial())
    assert "Package already installed: lib" in scenario.run().this_run


# A system directory the user may not write in (chmod a-w): the start fails on an ordinary road,
# with its dialog and a log that names the refusal, and leaves the directory as it was.
UNWRITABLE_SYSTEM = {
    "no_update": ([], START_FAILED, [TOKEN_NOT_WRITTEN, "CreateProcess failed: " + ACCESS_DENIED]),
    "update": ([LIB_V1], LAUNCH_ERROR, [SERIAL_NOT_STORED + ACCESS_DENIED,
                                        "Rollback completed for package: lib", "Required package install failed: lib"]),
}


@pytest.mark.nonroot
@pytest.mark.parametrize("packages, dialog, logged", UNWRITABLE_SYSTEM.values(), ids=UNWRITABLE_SYSTEM.keys())
def test_unwritable_system_directory(scenario, site, packages, dialog, logged):
    if packages:
        site.publish(packages)
    scenario.install_stub("exit=0")
    before = scenario.system_files()
    os.chmod(scenario.system, 0o555)
    run = scenario.run(answers={PACKAGE_DOWNLOAD: OK, dialog: OK})
    assert run.exit_code == 1
    assert run.dialogs[-1].main == dialog
    assert_in_order(run.this_run, logged)
    assert scenario.system_files() == before
    assert scenario.stub_runs() == []


def test_listed_file_held_without_sharing_fails_the_backup(installed_v1, site):
    scenario = installed_v1
    site.publish([LIB_V2])
    held = scenario.system / "lib/a.dll"
    with Held(held, "none"):
        run = scenario.run(answers=DOWNLOAD_THEN_ERROR)
    assert run.exit_code == 1
    reason = run.dialogs[-1].content
    assert reason.startswith("Не удалось создать резервную копию файла:\n" + scenario.win_system + "\\lib\\a.dll\n\nОшибка: ")
    assert any(m.startswith("Rollback backup failed: lib / ") for m in run.this_run)
    assert (scenario.system / "lib/b.dll").read_bytes() == b"b v1"
    assert scenario.run(answers=DOWNLOAD).exit_code == 0  # released: the update goes through
    assert held.read_bytes() == b"a v2"


# Changed expectation: Expand-Archive skips a file it cannot remove and still exits with code 0
# (the error is written inside the module's function and leaves $? alone), so the failure is no
# longer PowerShell's exit code but the launcher's comparison of the listed file with its entry.
def test_listed_file_held_for_reading_fails_extraction_and_restore_logs_it(installed_v1, site, powershell):
    scenario = installed_v1
    site.publish([LIB_V2])
    held = scenario.system / "lib/a.dll"
    with Held(held, "read"):
        run = scenario.run(answers=DOWNLOAD_THEN_ERROR)
    assert run.exit_code == 1
    assert run.dialogs[-1].content == EXTRACTED_MISMATCH + "lib/a.dll"
    # A file that cannot be put back no longer ends in the old marker over a mixture of files: the
    # restore is left pending, with the marker absent and the whole backup kept.
    assert_in_order(run.this_run, [MISMATCH_LOGGED + "lib / lib/a.dll",
                                   "Package extraction failed: lib / " + EXTRACTED_MISMATCH + "lib/a.dll",
                                   "Rollback started for package: lib", RESTORE_LEFT_PENDING + "lib"])
    assert any(m.startswith("Rollback file restore failed: " + scenario.win_system + "\\lib\\a.dll / ")
               for m in run.this_run)
    assert held.read_bytes() == b"a v1"
    assert (scenario.system / "lib/b.dll").read_bytes() == b"b v1"
    assert not (scenario.system / ".packages/lib.sha256").exists()
    assert (scenario.root / "_rollback/lib/.restore_pending").exists()
    assert (scenario.root / "_rollback/lib/lib/a.dll").read_bytes() == b"a v1"


def test_unlisted_file_held_for_reading_fails_the_comparison_too(installed_v1, site, powershell):
    """A file the list leaves out is skipped just the same when it is held: its size must match its
    entry too, or the marker would vouch for a package that keeps an old file of it."""
    scenario = installed_v1
    site.publish([LIB_V2.but(files={"lib/a.dll": b"a v2", "lib/b.dll": b"b v2, longer"}, listed=("lib/a.dll",))])
    with Held(scenario.system / "lib/b.dll", "read"):
        run = scenario.run(answers=DOWNLOAD_THEN_ERROR)
    assert run.exit_code == 1
    assert run.dialogs[-1].content == EXTRACTED_MISMATCH + "lib/b.dll"
    assert_in_order(run.this_run, [MISMATCH_LOGGED + "lib / lib/b.dll", "Rollback started for package: lib",
                                   "Rollback completed for package: lib"])
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v1"
    assert (scenario.system / "lib/b.dll").read_bytes() == b"b v1"
    assert scenario.marker("lib") != site.manifest()["lib"].sha256


def test_pending_restore_is_kept_until_it_finishes_and_spares_files_it_never_saw(installed_v1, site, powershell):
    scenario = installed_v1
    v1_marker = scenario.marker("lib")
    held, backup = scenario.system / "lib/a.dll", scenario.root / "_rollback/lib"
    (scenario.system / "lib/pre.dll").write_bytes(b"there before")
    site.publish([LIB_V2])
    with Held(held, "read"):
        assert RESTORE_LEFT_PENDING + "lib" in scenario.run(answers=DOWNLOAD_THEN_ERROR).this_run
        # An update that lists a file the pending backup never saw fails on the held file too: its
        # restore works from the kept backup and leaves that file alone.
        site.publish([LIB_V2.but(files={**LIB_V2.files, "lib/pre.dll": b"pre v2"})])
        run = scenario.run(answers=DOWNLOAD_THEN_ERROR)
        assert_in_order(run.this_run, [RESTORE_STILL_PENDING + "lib", "Rollback backup kept for package: lib",
                                       "Rollback started for package: lib", RESTORE_LEFT_PENDING + "lib"])
        assert (scenario.system / "lib/pre.dll").exists()
        # A good start without the package removes the rollback data, but not the pending backup.
        site.publish([Package("other", {"other/o.dll": b"o"})])
        run = scenario.run(answers=DOWNLOAD)
        assert run.exit_code == 0
        assert_in_order(run.this_run, [RESTORE_STILL_PENDING + "lib", LAUNCHED, ROLLBACK_REMOVED])
        assert (backup / ".restore_pending").exists()
        assert not (scenario.system / ".packages/lib.sha256").exists()
    site.publish([LIB_V1])
    run = scenario.run()
    assert run.exit_code == 0
    assert_in_order(run.this_run, [RESTORE_FINISHED + "lib", "Manifest loaded. Package count: 1",
                                   "Package already installed: lib", LAUNCHED])
    assert scenario.marker("lib") == v1_marker
    assert held.read_bytes() == b"a v1" and (scenario.system / "lib/b.dll").read_bytes() == b"b v1"
    assert (scenario.system / "lib/pre.dll").exists()
    assert not backup.exists()


def test_system_directory_that_cannot_be_made(scenario, site, powershell):
    site.publish([LIB_V1])
    (scenario.root / "system").write_text("a file where the system directory belongs")
    run = scenario.run(answers=DOWNLOAD_THEN_ERROR)
    assert run.exit_code == 1
    assert run.dialogs[-1].main == LAUNCH_ERROR
    assert (scenario.root / "system").read_text() == "a file where the system directory belongs"
    # PowerShell never starts without its destination; the launcher names why it is missing.
    assert powershell.runs() == []
    failed = "Package extraction failed: lib / " + PROCESS_START_FAILED + "File already exists."
    assert any(m.startswith(failed) for m in run.this_run), run.this_run


def test_paths_near_max_path_end_cleanly(make_scenario, site):
    # A root whose launcher path is just under 260 characters: package paths go past it.
    name = "\\".join(["d" * 60] * 3) + "\\" + "e" * 40
    scenario = make_scenario(name.replace("\\", "/"))
    assert len(scenario.win_root + "\\VarnixLauncher.exe") < 260
    long_file = "lib/" + "x" * 60 + ".dll"
    site.publish([Package("lib", {long_file: b"x"})])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=DOWNLOAD_THEN_ERROR, timeout=120)
    assert not run.timed_out
    assert run.this_run[0] == "Varnix Launcher started."
    # Wine accepts the longer paths; Windows without long-path support refuses them, which ends
    # in the stage's error dialog. Either way the run ends on an ordinary road.
    if run.exit_code == 0:
        assert (scenario.system / long_file).read_bytes() == b"x"
    else:
        assert run.dialogs[-1].main == LAUNCH_ERROR


def test_cyrillic_package_and_file_names(make_scenario, site, powershell):
    scenario = make_scenario("Кириллица")
    site.publish([Package("пакет", {"данные/файл.txt": "содержимое".encode()})])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=DOWNLOAD)
    assert run.exit_code == 0
    assert (scenario.system / "данные/файл.txt").read_text() == "содержимое"
    assert (scenario.system / ".packages/пакет.sha256").exists()
    assert "Install package completed: пакет" in run.this_run
    site.publish([Package("пакет", {"данные/файл.txt": "новое".encode()})])
    powershell.behave("exit_code=5")
    run = scenario.run(answers=DOWNLOAD_THEN_ERROR)
    assert run.exit_code == 1
    assert "Rollback restored file: " + scenario.win_system + "\\данные\\файл.txt" in run.this_run
    assert (scenario.system / "данные/файл.txt").read_text() == "содержимое"


QUOTES = {"U+0027": "'", "U+2018": "\u2018", "U+2019": "\u2019", "U+201A": "\u201a", "U+201B": "\u201b"}


@pytest.mark.parametrize("root, package", [*(("Bob" + q + "s PC", "lib") for q in QUOTES.values()),
                                           ("plain", "li\u2019b"), ("x\u2019; New-Item pwned; \u2019", "lib")],
                         ids=[*(f"root {name}" for name in QUOTES), "archive U+2019", "root injection"])
def test_single_quote_characters_in_root_or_archive_name(make_scenario, site, powershell, root, package):
    """PowerShell ends a quoted path at any of five quote characters: each is doubled, and nothing
    but the one Expand-Archive runs."""
    scenario = make_scenario(root)
    site.publish([Package(package, {"lib/a.dll": b"a v1"})])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=DOWNLOAD)
    assert powershell.injections() == []
    assert run.exit_code == 0, run.this_run
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v1"


# Expand-Archive reads -DestinationPath as a wildcard pattern: unescaped, "[RU]" is a set of one
# character, a backtick escapes the next one, and a lone "[" is no valid pattern at all.
@pytest.mark.parametrize("root, destination", [
    ("Varnix [RU]", "Varnix `[RU`]"),
    ("Varnix `RU`", "Varnix ``RU``"),
    ("Varnix ]x[ [", "Varnix `]x`[ `["),
], ids=["brackets", "backticks", "lone brackets"])
def test_wildcard_characters_in_root(make_scenario, site, powershell, root, destination):
    scenario = make_scenario(root)
    site.publish([LIB_V1])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=DOWNLOAD)
    assert run.exit_code == 0, run.this_run
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v1"
    escaped = scenario.win_root.replace(root, destination) + "\\system"
    assert "-DestinationPath '" + escaped + "' -Force" in powershell.runs()[-1]


PSHOME, DRIVE_ROOT = "$PSHOME", "C:\\"


# What the launcher's escaping and its absolute destination guard against, on the stand-in itself:
# it reads -DestinationPath as Windows PowerShell's pattern readers do and starts where Windows
# PowerShell 5.1 starts. The root holds "W [RU]", "W U", "W [", "V [RU]" and "plain".
@pytest.mark.parametrize("current, destination, landed", [
    ("plain", "W `[RU`]", "W [RU]"),
    ("plain", "W [RU]", "W U"),  # a set of one character names another directory
    ("plain", "V [RU]", None),  # nothing matches, and New-Item finds "V [RU]" already there
    ("plain", "W ?RU?", "W [RU]"),
    ("plain", "W *", None),  # several directories
    ("plain", "W `U", "W U"),  # the backtick only escapes
    ("plain", "W [", None),  # no valid pattern
    ("plain", "new [x]", "new [x]"),  # missing: New-Item makes it under its literal name
    ("plain", ".", "plain"),
    ("W [RU]", ".", PSHOME),  # a starting directory that is not its own pattern
    ("W [", ".", DRIVE_ROOT),  # a starting directory that is no valid pattern
], ids=["escaped", "set", "already exists", "question marks", "several", "backtick", "invalid",
        "missing", "dot", "dot in brackets", "dot in a lone bracket"])
def test_standin_reads_the_destination_as_a_pattern(scenario, powershell, current, destination, landed):
    for name in ("W [RU]", "W U", "W [", "V [RU]", "plain"):
        (scenario.root / name).mkdir()
    archive = scenario.root / "probe.zip"
    with zipfile.ZipFile(archive, "w") as zipped:
        zipped.writestr("standin_probe.txt", b"probe")
    places = {PSHOME: POWERSHELL_DIR, DRIVE_ROOT: DRIVE_C}
    if destination != ".":
        destination = scenario.win_root + "\\" + destination
    try:
        code = powershell.expand(archive, destination, scenario.root / current)
        found = sorted(str(p.parent) for p in [*scenario.root.rglob("standin_probe.txt"),
                                               *(place / "standin_probe.txt" for place in places.values())]
                       if p.exists())
    finally:
        for place in places.values():
            (place / "standin_probe.txt").unlink(missing_ok=True)
    expected = [] if landed is None else [str(places.get(landed, scenario.root / landed))]
    assert (code, found) == (1 if landed is None else 0, expected)


@pytest.mark.parametrize("road", ["required", "dependency"])
def test_powershell_planted_beside_the_launcher_never_starts(scenario, site, powershell, road):
    """Stand-ins in the root, in system\\ and in the current directory: only the system's runs."""
    current = scenario.work / "current"
    planted = [scenario.root, scenario.system, current]
    for directory in planted:
        directory.mkdir(parents=True, exist_ok=True)
        shutil.copy(SUPPORT / "powershell.exe", directory / "powershell.exe")
    if road == "required":
        site.publish([LIB_V1])
        scenario.install_stub("exit=0")
        answers = DOWNLOAD
    else:
        site.publish([Package("voice", {"voice/voice.dll": b"voice"}, required=False)])
        scenario.install_stub("request=req.txt exit=85", "exit=0")
        (scenario.system / "req.txt").write_text("package=voice\n")
        answers = {PACKAGES_NEEDED: YES, PACKAGE_DOWNLOAD: OK}
    run = scenario.run(answers=answers, cwd=current)
    assert [str(d) for d in planted if (d / "powershell_runs.log").exists()] == []
    assert run.exit_code == 0, run.this_run
    assert len(powershell.runs()) == 1
