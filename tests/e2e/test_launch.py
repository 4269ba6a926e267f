"""The first start of Varnix.exe: launch token, environment, arguments and the outcome rule."""
import os
import re

import pytest

from constants import LAUNCHED, LAUNCHING, OK, ROLLBACK_REMOVED, START_FAILED
from harness import assert_in_order


def test_good_start_hands_over_token_path_directory_and_arguments(scenario):
    scenario.install_stub("sleep=2500")
    (scenario.root / "_rollback" / "core").mkdir(parents=True)
    arguments = ["-a", "b c", "", 'say "hi"', "C:\\dir\\", "\\\\server\\share\\", "Привет"]
    run = scenario.run(arguments=arguments)
    assert run.exit_code == 0
    assert run.dialogs == []
    assert_in_order(run.log, [LAUNCHING, LAUNCHED, ROLLBACK_REMOVED])
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


def early_exit_dialog(code):
    return (START_FAILED, f"Программа завершилась сразу после запуска.\n\nКод выхода: {code}")


# How the stub ends, against the launcher's watch of about 1.8 s from the start: within the watch
# an exit code other than 0 and 259 (still active) is an early exit; after it nothing is watched.
# exit_at times the stub from its own process creation, so a slow start does not move the line.
OUTCOMES = {
    "exit 0 within the watch is success": ("exit=0", None),
    "exit 259 within the watch counts as running": ("exit=259", None),
    "exit 1 at once is an early exit": ("exit=1", 1),
    "status code is logged unsigned": ("exit=0xC0000135", 0xC0000135),
    "exit 1 after 2.6 s is not watched": ("sleep=2600 exit=1", None),
    "exit 1 1.0 s after creation is inside the watch": ("exit_at=1000 exit=1", 1),
    "exit 1 3 s after creation is outside the watch": ("exit_at=3000 exit=1", None),
}


@pytest.mark.parametrize("behaviour, early_code", OUTCOMES.values(), ids=OUTCOMES.keys())
def test_exit_of_the_application_against_the_watch(scenario, behaviour, early_code):
    scenario.install_stub(behaviour)
    if early_code is None:
        run = scenario.run()
        assert run.exit_code == 0
        assert run.dialogs == []
        assert_in_order(run.log, [LAUNCHING, LAUNCHED])
    else:
        run = scenario.run(answers={START_FAILED: OK})
        assert run.exit_code == 1
        assert_in_order(run.log, [LAUNCHING, f"Varnix exited too early. Exit code: {early_code}"])
        assert run.contents == [early_exit_dialog(early_code)]


FILE_NOT_FOUND = "File not found.\r\n"


def no_application(scenario):
    pass


def directory_for_application(scenario):
    (scenario.system / "Varnix.exe").mkdir(parents=True)


def invalid_application(scenario):
    scenario.system.mkdir(parents=True)
    (scenario.system / "Varnix.exe").write_text("not a program")


START_FAILURES = {
    "missing application": (no_application, FILE_NOT_FOUND),
    "directory named like the application": (directory_for_application, FILE_NOT_FOUND),
    "invalid executable": (invalid_application, "Bad EXE format for %1.\r\n"),
}


@pytest.mark.parametrize("prepare, expected_text", START_FAILURES.values(), ids=START_FAILURES.keys())
def test_start_failure_reports_the_system_error(scenario, prepare, expected_text):
    prepare(scenario)
    run = scenario.run(answers={START_FAILED: OK})
    assert run.exit_code == 1
    # The system text ends with its own line break, which leaves an empty log line after it.
    logged = "CreateProcess failed: " + expected_text.rstrip("\r\n")
    assert_in_order(run.log, [LAUNCHING, logged, ""])
    assert run.contents == [(START_FAILED, "Ошибка: " + expected_text)]
    assert not (scenario.system / "launch_guard.token").exists()


@pytest.mark.nonroot
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
