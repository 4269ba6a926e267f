"""The application's side through the stub, which is built on sdk/include/varnix/app.h: requests
written by the header, the launch token check, and "restart to update" through the launcher."""
import subprocess

from constants import (ALREADY_RUNNING_LOGGED, LAUNCHED, LAUNCHING, OK, PACKAGE_DOWNLOAD, PACKAGES_NEEDED,
                       START_FAILED, STARTED, YES)
from harness import Package, assert_in_order, parse_log, wait_for, windows_path, wine_env

VOICE = Package("voice", {"voice/voice.dll": b"voice"}, required=False)
VIDEO = Package("video", {"video/video.dll": b"video"}, required=False)
PROMPT = ("Varnix сообщил, что для новой функции нужен дополнительный пакет.\n\n"
          "Причина:\nR\n\nПакеты:\n\u2022 video\n\u2022 voice\n\n"
          "Отсутствующие файлы:\n\u2022 m\n\nСкачать и установить пакет?")


def test_request_written_by_the_header_is_served(scenario, site):
    site.publish([VOICE, VIDEO])
    scenario.install_stub("ask=voice,video because=R missing=m", "sleep=2500")
    run = scenario.run(answers=[(PACKAGES_NEEDED, YES), (PACKAGE_DOWNLOAD, OK), (PACKAGE_DOWNLOAD, OK)])
    assert run.exit_code == 0
    assert run.contents[0] == (PACKAGES_NEEDED, PROMPT)
    assert_in_order(run.log, ["Varnix exited too early. Exit code: 85",
                              "Dependency request received. Packages: video, voice",
                              "Varnix launched successfully after dependency package install."])
    assert [start["started_by_launcher"] for start in scenario.stub_runs()] == [True, True]
    assert not list(scenario.system.glob("dependency_request.txt*"))


def test_request_the_header_refuses_is_never_written(scenario, site):
    site.publish([VOICE])
    scenario.install_stub("ask=voice,CON exit=3")
    run = scenario.run(answers={START_FAILED: OK})
    assert "Varnix exited too early. Exit code: 3" in run.log
    assert not (scenario.system / "dependency_request.txt").exists()


def test_started_directly_the_stub_knows_it(scenario):
    scenario.install_stub("exit=0")
    (scenario.system / "launch_guard.token").write_text("a" * 64)
    subprocess.run(["wine", windows_path(scenario.system / "Varnix.exe")], env=wine_env(),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=60, check=False)
    [start] = scenario.stub_runs()
    assert start["started_by_launcher"] is False


def test_restart_through_the_launcher_waits_for_the_application(scenario):
    # The first start restarts at once and stays past the first launcher's watch: without the
    # wait the new launcher would find it running and stop at the already-running dialog. Both
    # launchers writing the log at the same moment would interleave their lines under Wine.
    scenario.install_stub("restart sleep=2500", "sleep=2500")
    run = scenario.run()
    assert run.exit_code == 0
    log_path = scenario.root / "logs/launcher.log"
    # The second launcher runs outside the driver: its log is the only witness of how it ended.
    assert wait_for(lambda: parse_log(log_path.read_bytes()).count(LAUNCHED) == 2, 60), \
        parse_log(log_path.read_bytes())
    log = parse_log(log_path.read_bytes())
    banners = [i for i, m in enumerate(log) if m == STARTED]
    assert len(banners) == 2
    second = log[banners[1]:]  # the first launcher may still add its last lines in between
    waited = [m for m in second if m.startswith("Restart after process ")]
    assert len(waited) == 1 and " ended after " in waited[0], second
    assert_in_order(second, [waited[0], LAUNCHING, LAUNCHED])
    assert ALREADY_RUNNING_LOGGED not in log
    first, restarted = scenario.stub_runs()
    assert first["restart_env"] is None and restarted["restart_env"] is None
    assert first["started_by_launcher"] and restarted["started_by_launcher"]
