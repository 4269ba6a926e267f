"""File-system faults: read-only and held files, impossible directories, long and Cyrillic names,
quote characters in paths, programs planted beside the launcher."""
import os
import shutil

import pytest

from constants import EXTRACTED_MISMATCH, LAUNCH_ERROR, MISMATCH_LOGGED, OK, PACKAGE_DOWNLOAD, PACKAGES_NEEDED, YES
from harness import SUPPORT, Held, Package, assert_in_order

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


def test_read_only_marker_and_files_still_take_the_update(installed_v1, site):
    scenario = installed_v1
    os.chmod(scenario.system / ".packages/lib.sha256", 0o444)
    site.publish([LIB_V2])
    assert scenario.run(answers=DOWNLOAD).exit_code == 0
    marker = scenario.marker("lib")
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v2"
    run = scenario.run()
    assert "Package already installed: lib" in run.this_run, marker


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
    assert_in_order(run.this_run, [MISMATCH_LOGGED + "lib / lib/a.dll",
                                   "Package extraction failed: lib / " + EXTRACTED_MISMATCH + "lib/a.dll",
                                   "Rollback started for package: lib", "Rollback completed for package: lib"])
    assert any(m.startswith("Rollback file restore failed: " + scenario.win_system + "\\lib\\a.dll / ")
               for m in run.this_run)
    assert held.read_bytes() == b"a v1"
    assert (scenario.system / "lib/b.dll").read_bytes() == b"b v1"
    assert scenario.marker("lib") != site.manifest()["lib"].sha256


def test_system_directory_that_cannot_be_made(scenario, site):
    site.publish([LIB_V1])
    (scenario.root / "system").write_text("a file where the system directory belongs")
    run = scenario.run(answers=DOWNLOAD_THEN_ERROR)
    assert run.exit_code == 1
    assert run.dialogs[-1].main == LAUNCH_ERROR
    assert (scenario.root / "system").read_text() == "a file where the system directory belongs"


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
