"""Start-up of the launcher: banner, log format and rotation, already-running road, dialogs."""
import os
import re
import subprocess

from harness import LAUNCHER, Scenario, assert_in_order, wait_for, wine_env, windows_path

BANNER = ["==============================", "Varnix Launcher started."]


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


def test_oversized_log_rotates_generations_once(scenario):
    logs = scenario.root / "logs"
    logs.mkdir()
    (logs / "launcher.log").write_bytes(b"x" * 1048577)
    for n, text in ((1, b"one"), (2, b"two"), (3, b"three")):
        (logs / f"launcher_old_{n}.log").write_bytes(text)
    os.chmod(logs / "launcher_old_3.log", 0o444)
    run = scenario.run(answers=["ok"])
    assert (logs / "launcher_old_1.log").stat().st_size == 1048577
    assert (logs / "launcher_old_2.log").read_bytes() == b"one"
    assert (logs / "launcher_old_3.log").read_bytes() == b"two"
    assert run.log[:2] == BANNER


def test_log_at_threshold_is_appended_to(scenario):
    logs = scenario.root / "logs"
    logs.mkdir()
    (logs / "launcher.log").write_bytes(b"x" * 1048576)
    scenario.run(answers=["ok"])
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
    process = subprocess.Popen(["wine", windows_path(other.system / "Varnix.exe")], env=wine_env(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    assert wait_for(lambda: other.stub_runs()), "running Varnix.exe did not start"
    return other, process


def check_already_running(scenario, env=None):
    other, process = start_running_application(scenario.name + "_other")
    try:
        scenario.install_stub("sleep=2500")
        run = scenario.run(answers=["ok"], env=env)
    finally:
        other.stop_stub()
        process.wait(timeout=30)
    assert run.exit_code == 0
    assert [(d.main, d.content) for d in run.dialogs] == [("Varnix уже запущен", "Программа уже работает.\n")]
    assert run.dialogs[0].buttons == [1]
    assert_in_order(run.log, BANNER + ["Varnix is already running. Update and launch skipped."])
    assert "Launching Varnix." not in run.log
    assert scenario.stub_runs() == []
    return run


def test_already_running_shows_task_dialog_and_exits_0(scenario):
    run = check_already_running(scenario)
    assert run.dialogs[0].kind == "taskdialog"


def test_already_running_falls_back_to_message_box_without_comctl32(scenario):
    run = check_already_running(scenario, env={"WINEDLLOVERRIDES": "mscoree,mshtml=;comctl32=d"})
    assert run.dialogs[0].kind == "messagebox"


def test_error_dialog_falls_back_to_message_box_with_instruction_blank_line_content(scenario):
    scenario.use_unreachable_site()
    run = scenario.run(answers=["ok"], env={"WINEDLLOVERRIDES": "mscoree,mshtml=;comctl32=d"})
    assert run.exit_code == 1
    [dialog] = run.dialogs
    assert dialog.kind == "messagebox"
    assert dialog.main == "Не удалось запустить Varnix"
    assert dialog.content.startswith("Не удалось загрузить manifest.txt и не найден локальный Varnix.exe.\n\n")
    assert dialog.buttons == [1]




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
