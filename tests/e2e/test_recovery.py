"""Every road after a failed first start: dependency requests, compatibility offer, rollback."""
import pytest

from constants import (COMPATIBILITY_OFFER, DEPENDENCY_FAILED, HTTP_404, IDNO, IDYES, LAUNCH_ERROR, NO, OK,
                       PACKAGE_DOWNLOAD, PACKAGES_NEEDED, ROLLBACK_REMOVED, START_FAILED, YES)
from harness import STUB, Package, assert_in_order

REQUEST_PROMPT = ("Varnix сообщил, что для новой функции нужен дополнительный пакет.\n\n"
                  "Причина:\nR\n\nПакеты:\n\u2022 video\n\u2022 voice\n\n"
                  "Отсутствующие файлы:\n\u2022 m\n\nСкачать и установить пакет?")
CORE = Package("core", {"core.dll": b"core"})
VOICE = Package("voice", {"voice/voice.dll": b"voice"}, required=False)
VIDEO = Package("video", {"video/video.dll": b"video"}, required=False)
GFX = Package("graphics_compat", {"gfx/gfx.dll": b"gfx"}, required=False)
COMPAT = Package("compatibility", {"compat/c.dll": b"c"}, required=False)
P1 = Package("p1", {"p1.dll": b"1"})
EARLY_EXIT_3 = (START_FAILED, "Программа завершилась сразу после запуска.\n\nКод выхода: 3")
BAD_FORMAT = "Ошибка: Bad EXE format for %1.\r\n"
NOT_REQUESTED_TEXT = "Varnix запросил пакет, которого нет в manifest.txt:\n\n"


def with_request(scenario, text, *later_starts):
    scenario.install_stub("request=req.txt exit=85", *later_starts)
    (scenario.system / "req.txt").write_text(text)


def failure_detail(log, prefix):
    """A relaunch's failure line: the error text ends with CR LF, so its exit code follows on the
    next log line."""
    index = next(i for i, m in enumerate(log) if m.startswith(prefix))
    return log[index] + "\r\n" + log[index + 1]


def test_request_accepted_installs_and_starts_again(scenario, site):
    site.publish([CORE, VOICE, VIDEO])
    with_request(scenario, "reason=R\npackages=voice;video\nmissing=m\n", "sleep=2500")
    run = scenario.run(answers={PACKAGE_DOWNLOAD: OK, PACKAGES_NEEDED: YES})
    assert run.exit_code == 0
    assert run.contents == [(PACKAGE_DOWNLOAD, "Пакет: core"), (PACKAGES_NEEDED, REQUEST_PROMPT),
                            (PACKAGE_DOWNLOAD, "Пакет: video"), (PACKAGE_DOWNLOAD, "Пакет: voice")]
    assert run.dialogs[1].buttons == [IDYES, IDNO]
    assert_in_order(run.log, ["Varnix exited too early. Exit code: 85", "Varnix requested dependency package.",
                              "Dependency request received. Packages: video, voice",
                              "Installing dependency package: video", "Install package completed: video",
                              "Installing dependency package: voice", "Install package completed: voice",
                              "Launching Varnix after dependency package install.",
                              "Varnix launched successfully after dependency package install.",
                              ROLLBACK_REMOVED])
    assert not (scenario.system / "dependency_request.txt").exists()
    assert (scenario.system / "voice/voice.dll").exists()
    assert len(scenario.stub_runs()) == 2


def test_request_declined_keeps_the_request_and_shows_no_error(scenario, site):
    site.publish([VOICE])
    with_request(scenario, "package=voice\n")
    run = scenario.run(answers=[(PACKAGES_NEEDED, NO)])
    assert run.exit_code == 1
    assert [d.main for d in run.dialogs] == [PACKAGES_NEEDED]
    assert_in_order(run.log, ["User declined dependency packages install.", "Dependency request handling failed: "])
    assert (scenario.system / "dependency_request.txt").exists()
    assert not (scenario.system / "voice").exists()


def request_for_other_case(scenario, site):
    site.publish([VOICE])
    with_request(scenario, "package=Voice\n")


def request_while_offline(scenario, site):
    scenario.use_unreachable_site()
    with_request(scenario, "packages=zeta;alpha\n")


def no_request_file(scenario, site):
    scenario.install_stub("exit=85")


NOT_SERVED = {
    "package that differs only in case": (
        request_for_other_case, NOT_REQUESTED_TEXT + "Voice",
        ["Dependency request received. Packages: Voice", "Dependency package not found in manifest: Voice"]),
    "offline start names the first package": (request_while_offline, NOT_REQUESTED_TEXT + "alpha", []),
    "invalid request file": (
        no_request_file,
        "Varnix запросил дополнительный пакет, но файл dependency_request.txt не найден или повреждён.",
        ["Dependency request exit code received, but dependency_request.txt not found or invalid."]),
}


@pytest.mark.parametrize("prepare, text, lines", NOT_SERVED.values(), ids=NOT_SERVED.keys())
def test_request_that_cannot_be_served_is_reported(scenario, site, prepare, text, lines):
    prepare(scenario, site)
    run = scenario.run(answers={DEPENDENCY_FAILED: OK})
    assert run.exit_code == 1
    assert run.contents == [(DEPENDENCY_FAILED, text)]
    assert_in_order(run.log, lines)


def test_second_of_three_requested_failing_keeps_the_first(scenario, site):
    release = site.publish([Package(name, {f"{name}.dll": name.encode()}, required=False) for name in "abc"])
    (release / "packages/b.zip").unlink()
    with_request(scenario, "packages=c;b;a\n")
    run = scenario.run(answers={PACKAGES_NEEDED: YES, PACKAGE_DOWNLOAD: OK, DEPENDENCY_FAILED: OK})
    assert run.exit_code == 1
    assert run.contents[-1] == (DEPENDENCY_FAILED, HTTP_404)
    assert_in_order(run.log, ["Install package completed: a", "Installing dependency package: b",
                              "Dependency package install failed: b / " + HTTP_404,
                              "Dependency request handling failed: " + HTTP_404])
    assert "Installing dependency package: c" not in run.log
    assert (scenario.system / "a.dll").exists()
    assert (scenario.system / "dependency_request.txt").exists()


def test_application_asking_again_after_the_install_fails(scenario, site):
    site.publish([VOICE])
    with_request(scenario, "package=voice\n", "request=req.txt exit=85")
    run = scenario.run(answers={PACKAGES_NEEDED: YES, PACKAGE_DOWNLOAD: OK, DEPENDENCY_FAILED: OK})
    assert run.exit_code == 1
    main, content = run.contents[-1]
    assert main == DEPENDENCY_FAILED
    assert content.startswith("Пакет был установлен, но Varnix всё равно не запустился корректно.\n\nLaunch error: ")
    assert content.endswith("\nExit code: 85")
    assert any(m.startswith("Varnix failed after dependency package install. Launch error: ") for m in run.log)


def test_early_exit_offers_graphics_compat_before_compatibility(scenario, site):
    site.publish([COMPAT, GFX])
    scenario.install_stub("exit=1", "exit=0")
    run = scenario.run(answers=[(COMPATIBILITY_OFFER, YES), (PACKAGE_DOWNLOAD, OK)])
    assert run.exit_code == 0
    assert run.contents == [
        (COMPATIBILITY_OFFER, "Varnix завершился сразу после запуска.\n\nВозможно, не хватает "
         "графических или системных компонентов.\nСкачать и установить пакет совместимости?"),
        (PACKAGE_DOWNLOAD, "Пакет: graphics_compat")]
    assert_in_order(run.log, ["Varnix exited too early. Exit code: 1", "User accepted compatibility package install.",
                              "Install package completed: graphics_compat", "Launching Varnix after compatibility package.",
                              "Varnix launched successfully after compatibility package.", ROLLBACK_REMOVED])
    assert (scenario.system / "gfx/gfx.dll").exists()


def test_early_exit_compatibility_declined_without_transaction_ends_with_first_code(scenario, site):
    site.publish([COMPAT])
    scenario.install_stub("exit=3")
    run = scenario.run(answers=[(COMPATIBILITY_OFFER, NO), (START_FAILED, OK)])
    assert run.exit_code == 1
    assert run.contents[-1] == EARLY_EXIT_3
    assert "User declined compatibility package install." in run.log
    assert not any(m.startswith("Rollback transaction") for m in run.log)


def test_compatibility_install_failing_rolls_back_an_empty_transaction(scenario, site):
    release = site.publish([GFX])
    (release / "packages/graphics_compat.zip").unlink()
    scenario.install_stub("exit=1")
    run = scenario.run(answers={COMPATIBILITY_OFFER: YES, PACKAGE_DOWNLOAD: OK, LAUNCH_ERROR: OK})
    assert run.exit_code == 1
    assert run.contents[-1] == (LAUNCH_ERROR, HTTP_404)
    assert_in_order(run.log, ["Compatibility package install failed: " + HTTP_404,
                              "Rollback transaction started. Package count: 0", "Rollback transaction completed."])


def test_failure_after_compatibility_rolls_back_newest_first_and_retries(scenario, site):
    site.publish([P1, Package("p2", {"p2.dll": b"2"}), GFX])
    scenario.install_stub("exit=4", "exit=85", "sleep=2500")
    run = scenario.run(answers={PACKAGE_DOWNLOAD: OK, COMPATIBILITY_OFFER: YES})
    assert run.exit_code == 0
    still_failed = failure_detail(run.log, "Varnix still failed after compatibility package. Launch error: ")
    assert still_failed.endswith(".\r\n early exit: 85")
    still_failed = still_failed.split("\r\n")[0]
    assert_in_order(run.log, ["Varnix exited too early. Exit code: 4", "User accepted compatibility package install.",
                              still_failed, "Rollback transaction started. Package count: 3",
                              "Rollback started for package: graphics_compat", "Rollback started for package: p2",
                              "Rollback started for package: p1", "Rollback transaction completed.",
                              "Trying to launch Varnix after rollback.", "Varnix launched successfully after rollback."])
    assert "Varnix requested dependency package." not in run.log
    assert ROLLBACK_REMOVED not in run.log
    assert not (scenario.system / "p1.dll").exists() and not (scenario.system / "gfx/gfx.dll").exists()
    assert len(scenario.stub_runs()) == 3


def test_final_dialog_names_the_first_exit_code_after_a_failed_retry(scenario, site):
    site.publish([P1])
    scenario.install_stub("exit=3", "exit=7")
    run = scenario.run(answers=[(PACKAGE_DOWNLOAD, OK), (START_FAILED, OK)])
    assert run.exit_code == 1
    assert_in_order(run.log, ["Trying to launch Varnix after rollback."])
    failed = failure_detail(run.log, "Varnix failed after rollback. Launch error: ")
    assert failed.endswith(".\r\n early exit: 7")
    assert run.contents[-1] == EARLY_EXIT_3


def test_invalid_executable_offers_compatibility_which_brings_a_working_one(scenario, site):
    site.publish([Package("compatibility", {"Varnix.exe": STUB.read_bytes()}, required=False)])
    invalid_application(scenario)
    (scenario.system / "stub_behavior.txt").write_text("exit=0\n")
    run = scenario.run(answers=[(COMPATIBILITY_OFFER, YES), (PACKAGE_DOWNLOAD, OK)])
    assert run.exit_code == 0
    assert run.contents[0] == (COMPATIBILITY_OFFER, "Не удалось запустить Varnix.\n\n" + BAD_FORMAT
                               + "\n\nСкачать и установить пакет совместимости?")
    assert_in_order(run.log, ["User accepted compatibility package after CreateProcess error.",
                              "Install package completed: compatibility",
                              "Varnix launched successfully after compatibility package.", ROLLBACK_REMOVED])
    assert "Launching Varnix after compatibility package." not in run.log


def test_missing_application_gets_no_offer_but_a_rollback_and_retry(scenario, site):
    site.publish([P1, GFX])
    run = scenario.run(answers=[(PACKAGE_DOWNLOAD, OK), (START_FAILED, OK)])
    assert run.exit_code == 1
    assert [d.main for d in run.dialogs] == [PACKAGE_DOWNLOAD, START_FAILED]
    assert run.dialogs[-1].content == "Ошибка: File not found.\r\n"
    assert_in_order(run.log, ["Rollback transaction started. Package count: 1", "Trying to launch Varnix after rollback.",
                              "Varnix failed after rollback. Launch error: File not found.", " early exit: 259"])


def invalid_application(scenario):
    scenario.system.mkdir(parents=True)
    (scenario.system / "Varnix.exe").write_text("not a program")


def test_start_failure_compatibility_declined_ends_with_the_error_text(scenario, site):
    site.publish([GFX])
    invalid_application(scenario)
    run = scenario.run(answers=[(COMPATIBILITY_OFFER, NO), (START_FAILED, OK)])
    assert run.exit_code == 1
    assert "User declined compatibility package after CreateProcess error." in run.log
    assert run.contents[-1] == (START_FAILED, BAD_FORMAT)


def test_compatibility_that_does_not_help_is_rolled_back_after_a_start_failure(scenario, site):
    site.publish([GFX])
    invalid_application(scenario)
    run = scenario.run(answers=[(COMPATIBILITY_OFFER, YES), (PACKAGE_DOWNLOAD, OK), (START_FAILED, OK)])
    assert run.exit_code == 1
    failed = failure_detail(run.log, "Varnix failed after compatibility package. Launch error: ")
    assert failed.endswith("Bad EXE format for %1.\r\n early exit: 259")
    assert_in_order(run.log, ["User accepted compatibility package after CreateProcess error.",
                              "Rollback transaction started. Package count: 1",
                              "Rollback started for package: graphics_compat", "Trying to launch Varnix after rollback."])
    assert run.contents[-1] == (START_FAILED, BAD_FORMAT)
    assert not (scenario.system / "gfx/gfx.dll").exists()
