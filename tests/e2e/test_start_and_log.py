"""Start-up of the launcher: banner, log format and rotation, already-running road, dialogs."""
import os
import re
import subprocess

import pytest

from constants import (ALREADY_RUNNING, ALREADY_RUNNING_LOGGED, BANNER, IDOK, LAUNCHING, OK, START_FAILED,
                       WINEDLLOVERRIDES_WITHOUT_COMCTL32)
from harness import LAUNCHER, Scenario, assert_in_order, start_windows_program, wait_for


def test_banner_lines_in_utf8_log_without_bom_with_crlf(make_scenario):
    scenario = make_scenario("Запуск с пробелом")
    scenario.install_stub("sleep=2500")
    run = scenario.run()
    assert run.exit_code == 0
    assert not run.log_bytes.startswith(b"\xef\xbb\xbf")
    assert run.log_bytes.count(b"\r\n") == run.log_bytes.count(b"\n")
    assert run.log[:4] == BANNER + [
        "Root directory: " + scenario.win_root,
        "System directory: " + scenario.win_system,
    ]
    assert (scenario.root / "system").is_dir()


@pytest.mark.nonroot
def test_oversized_log_rotates_generations_once(scenario):
    logs = scenario.root / "logs"
    logs.mkdir()
    (logs / "launcher.log").write_bytes(b"x" * 1048577)
    for n, text in ((1, b"one"), (2, b"two"), (3, b"three")):
        (logs / f"launcher_old_{n}.log").write_bytes(text)
    os.chmod(logs / "launcher_old_3.log", 0o444)
    run = scenario.run(answers={START_FAILED: OK})
    assert (logs / "launcher_old_1.log").stat().st_size == 1048577
    assert (logs / "launcher_old_2.log").read_bytes() == b"one"
    assert (logs / "launcher_old_3.log").read_bytes() == b"two"
    assert run.log[:2] == BANNER


def test_log_at_threshold_is_appended_to(scenario):
    logs = scenario.root / "logs"
    logs.mkdir()
    (logs / "launcher.log").write_bytes(b"x" * 1048576)
    scenario.run(answers={START_FAILED: OK})
    assert not (logs / "launcher_old_1.log").exists()
    data = (logs / "launcher.log").read_bytes()
    assert data.startswith(b"x" * 1048576) and b"Varnix Launcher started." in data


def test_log_directory_that_cannot_be_made_does_not_stop_the_launcher(scenario):
    (scenario.root / "logs").write_bytes(b"a file where the log directory belongs")
    scenario.install_stub("sleep=2500")
    run = scenario.run()
    assert run.exit_code == 0
    assert len(scenario.stub_runs()) == 1
    assert (scenario.root / "logs").read_bytes() == b"a file where the log directory belongs"


def start_running_application(name):
    """A process named Varnix.exe elsewhere in the prefix, running until told to stop."""
    other = Scenario(name)
    other.install_stub("sleep=60000")
    process = start_windows_program(other.system / "Varnix.exe")
    assert wait_for(lambda: other.stub_runs()), "running Varnix.exe did not start"
    return other, process


@pytest.mark.parametrize("overrides, kind", [(None, "taskdialog"), (WINEDLLOVERRIDES_WITHOUT_COMCTL32, "messagebox")],
                         ids=["task dialog", "message box without comctl32"])
def test_already_running_shows_a_dialog_and_exits_0(scenario, overrides, kind):
    other, process = start_running_application(scenario.name + "_other")
    try:
        scenario.install_stub("sleep=2500")
        run = scenario.run(answers={ALREADY_RUNNING: OK}, env=overrides and {"WINEDLLOVERRIDES": overrides})
    finally:
        other.stop_stub()
        process.wait(timeout=30)
    assert run.exit_code == 0
    assert run.contents == [(ALREADY_RUNNING, "Программа уже работает.\n")]
    assert run.dialogs[0].buttons == [IDOK]
    assert run.dialogs[0].kind == kind
    assert_in_order(run.log, BANNER + [ALREADY_RUNNING_LOGGED])
    assert LAUNCHING not in run.log
    assert scenario.stub_runs() == []


def test_error_dialog_falls_back_to_message_box_with_instruction_blank_line_content(scenario):
    scenario.use_unreachable_site()
    run = scenario.run(answers={START_FAILED: OK}, env={"WINEDLLOVERRIDES": WINEDLLOVERRIDES_WITHOUT_COMCTL32})
    assert run.exit_code == 1
    [dialog] = run.dialogs
    assert dialog.kind == "messagebox"
    assert dialog.main == START_FAILED
    assert dialog.content.startswith("Не удалось загрузить manifest.txt и не найден локальный Varnix.exe.\n\n")
    assert dialog.buttons == [IDOK]


def test_launcher_is_one_self_contained_gui_executable():
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(LAUNCHER)], capture_output=True,
                          text=True, check=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert imported <= {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "bcrypt.dll", "winhttp.dll"}
    assert "Windows GUI" in dump
    image = LAUNCHER.read_bytes()
    assert b'level="asInvoker"' in image
    assert b"Common-Controls" not in image
    assert "Varnix Launcher".encode("utf-16-le") in image  # version resource product name
