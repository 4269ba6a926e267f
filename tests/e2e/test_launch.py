"""The first start of Varnix.exe: launch token, environment, arguments and the outcome rule."""
import os
import re

from harness import assert_in_order

SUCCESS = ["Launching Varnix.", "Varnix launched successfully."]


def test_good_start_hands_over_token_path_directory_and_arguments(scenario):
    scenario.install_stub("sleep=2500")
    (scenario.root / "_rollback" / "core").mkdir(parents=True)
    arguments = ["-a", "b c", "", 'say "hi"', "C:\\dir\\", "\\\\server\\share\\", "Привет"]
    run = scenario.run(arguments=arguments)
    assert run.exit_code == 0
    assert run.dialogs == []
    assert_in_order(run.log, SUCCESS + ["Rollback data removed."])
    assert not (scenario.root / "_rollback").exists()

    [start] = scenario.stub_runs()
    assert re.fullmatch(r"[0-9a-f]{64}", start["token_file"])
    assert start["token_env"] == start["token_file"]
    assert (scenario.system / "launch_guard.token").read_text() == start["token_file"]
    assert start["path"].startswith(scenario.win_system + ";")
    assert start["cwd"].rstrip("\\") == scenario.win_root
    assert start["argv"][1:] == arguments
    assert start["cmdline"].startswith('"' + scenario.win_system + '\\Varnix.exe" "-a" "b c" "" ')


def test_no_arguments_gives_only_the_quoted_path(scenario):
    scenario.install_stub("exit=0")
    run = scenario.run()
    assert run.exit_code == 0
    [start] = scenario.stub_runs()
    assert start["cmdline"] == '"' + scenario.win_system + '\\Varnix.exe"'


def test_exit_0_within_the_wait_counts_as_success(scenario):
    scenario.install_stub("exit=0")
    run = scenario.run()
    assert run.exit_code == 0
    assert_in_order(run.log, SUCCESS)


def test_exit_259_within_the_wait_counts_as_running(scenario):
    scenario.install_stub("exit=259")
    assert scenario.run().exit_code == 0


def early_exit(scenario, code):
    scenario.install_stub(f"exit={code}")
    run = scenario.run(answers=["ok"])
    assert run.exit_code == 1
    assert_in_order(run.log, ["Launching Varnix.", f"Varnix exited too early. Exit code: {code}"])
    assert [(d.main, d.content) for d in run.dialogs] == [
        ("Не удалось запустить Varnix", f"Программа завершилась сразу после запуска.\n\nКод выхода: {code}")]
    return run


def test_early_exit_code_1_ends_with_final_dialog(scenario):
    early_exit(scenario, 1)


def test_early_exit_status_code_is_logged_unsigned(scenario):
    early_exit(scenario, 0xC0000135)


def test_exit_after_the_wait_is_not_watched(scenario):
    scenario.install_stub("sleep=2600 exit=1")
    assert scenario.run().exit_code == 0


def start_failure(scenario, expected_text):
    run = scenario.run(answers=["ok"])
    assert run.exit_code == 1
    # The system text ends with its own line break, which leaves an empty log line after it.
    logged = "CreateProcess failed: " + expected_text.rstrip("\r\n")
    assert_in_order(run.log, ["Launching Varnix.", logged, ""])
    assert [(d.main, d.content) for d in run.dialogs] == [("Не удалось запустить Varnix", "Ошибка: " + expected_text)]
    assert not (scenario.system / "launch_guard.token").exists()
    return run


FILE_NOT_FOUND = "File not found.\r\n"


def test_missing_application_reports_file_not_found(scenario):
    start_failure(scenario, FILE_NOT_FOUND)


def test_directory_named_like_the_application_reports_file_not_found(scenario):
    (scenario.system / "Varnix.exe").mkdir(parents=True)
    start_failure(scenario, FILE_NOT_FOUND)


def test_invalid_executable_reports_the_bad_format_error(scenario):
    scenario.system.mkdir(parents=True)
    (scenario.system / "Varnix.exe").write_text("not a program")
    start_failure(scenario, "Bad EXE format for %1.\r\n")


def test_stale_read_only_request_is_removed_before_the_start(scenario):
    scenario.install_stub("exit=0")
    request = scenario.system / "dependency_request.txt"
    request.write_text("package=old\n")
    os.chmod(request, 0o444)
    assert scenario.run().exit_code == 0
    assert not request.exists()


def test_directory_named_like_the_request_is_left_alone(scenario):
    scenario.install_stub("exit=0")
    (scenario.system / "dependency_request.txt").mkdir()
    assert scenario.run().exit_code == 0
    assert (scenario.system / "dependency_request.txt").is_dir()
