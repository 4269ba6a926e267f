"""A hostile or broken update site: nothing unsigned or mismatching reaches the system directory,
and every case ends on its ordinary road."""
import dataclasses
import json
import shutil
import time
import zipfile

import pytest

from constants import LAUNCH_ERROR, LAUNCHING, OFFLINE_MODE, OK, PACKAGE_DOWNLOAD, UPDATE_BLOCKED
from harness import SITE_DIR, Package, Run, Site

FAULT = SITE_DIR / "fault"
LIB_V1 = Package("lib", {"lib/a.dll": b"a v1", "lib/b.dll": b"b v1"})
LIB_V2 = LIB_V1.but(files={"lib/a.dll": b"a v2", "lib/b.dll": b"b v2"})
# Every road of these cases: the download, then the blocked or failed stage.
ANSWERS = {PACKAGE_DOWNLOAD: OK, UPDATE_BLOCKED: OK, LAUNCH_ERROR: OK}
RESOURCE = {"manifest": "manifest.txt", "signature": "manifest.txt.sig", "archive": "packages/lib.zip"}


@pytest.fixture
def hostile(scenario):
    """The fault site serving a release with one required package, and a launcher pointed at it."""
    site = Site(repository=FAULT / "repository")
    site.publish([LIB_V1])
    configure({})
    scenario.use_fault_site()
    scenario.install_stub("exit=0")
    yield site
    configure({})


def configure(config):
    FAULT.mkdir(parents=True, exist_ok=True)
    (FAULT / "config.json").write_text(json.dumps(config))


@dataclasses.dataclass
class Attempt:
    run: Run
    unchanged: bool  # the system directory holds exactly what it held before


def run_against(scenario, resource, behaviour):
    configure({RESOURCE[resource]: behaviour})
    before = scenario.system_files()
    run = scenario.run(answers=ANSWERS, timeout=300)
    assert not run.timed_out
    return Attempt(run, scenario.system_files() == before)


def offline(attempt):
    assert attempt.run.exit_code == 0
    assert OFFLINE_MODE in attempt.run.this_run
    assert attempt.unchanged


def blocked(attempt, reason_start):
    run = attempt.run
    assert run.exit_code == 1
    assert run.dialogs[-1].main == UPDATE_BLOCKED
    reason = next(m for m in run.this_run if m.startswith("Manifest download failed: "))
    assert reason.startswith("Manifest download failed: " + reason_start), reason
    assert LAUNCHING not in run.this_run
    assert attempt.unchanged


def stage_failed(attempt):
    run = attempt.run
    assert run.exit_code == 1
    assert run.dialogs[-1].main == LAUNCH_ERROR
    assert any(m.startswith("Required package stage failed: ") for m in run.this_run)
    assert LAUNCHING not in run.this_run
    assert attempt.unchanged


def installed(attempt, scenario):
    assert attempt.run.exit_code == 0
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v1"


SIGNATURE_FAILED = "SECURITY: не удалось загрузить подпись manifest.txt.sig. "
BROKEN = [{"mode": "cut"}, {"mode": "reset"}, {"mode": "redirect"}, {"mode": "status", "status": 500}]


@pytest.mark.parametrize("behaviour", BROKEN, ids=lambda b: b["mode"])
def test_broken_manifest_download_starts_offline(scenario, hostile, behaviour):
    offline(run_against(scenario, "manifest", behaviour))


@pytest.mark.parametrize("behaviour", BROKEN, ids=lambda b: b["mode"])
def test_broken_signature_download_blocks(scenario, hostile, behaviour):
    blocked(run_against(scenario, "signature", behaviour), SIGNATURE_FAILED)


@pytest.mark.parametrize("behaviour", BROKEN + [{"mode": "empty"}, {"mode": "huge", "bytes": 300 << 20}],
                         ids=lambda b: b["mode"])
def test_broken_archive_download_stops_the_stage(scenario, hostile, behaviour):
    stage_failed(run_against(scenario, "archive", behaviour))


def test_empty_manifest_and_empty_signature_block(scenario, hostile):
    blocked(run_against(scenario, "manifest", {"mode": "empty"}), "SECURITY: manifest.txt пустой.")
    blocked(run_against(scenario, "signature", {"mode": "empty"}),
            "SECURITY: manifest.txt.sig пустой или не загружен.")


def test_gigabyte_manifest_is_refused_in_bounded_time(scenario, hostile):
    attempt = run_against(scenario, "manifest", {"mode": "huge", "bytes": 1 << 30})
    blocked(attempt, "SECURITY: подпись manifest.txt недействительна.")
    assert attempt.run.seconds < 180


@pytest.mark.parametrize("resource", ["manifest", "signature", "archive"])
def test_slow_trickle_completes(scenario, hostile, resource):
    chunk = {"manifest": 16, "signature": 32, "archive": 64}[resource]
    installed(run_against(scenario, resource, {"mode": "trickle", "chunk": chunk, "delay": 0.01}), scenario)


def test_valid_zip_with_other_bytes_is_a_hash_mismatch(scenario, hostile):
    archive = hostile.repository / "packages/lib.zip"
    archive.unlink()  # the published file may be shared with the release directory
    with zipfile.ZipFile(archive, "w") as zipped:
        zipped.writestr("lib/a.dll", b"not what was signed")
    attempt = run_against(scenario, "archive", {})
    stage_failed(attempt)
    assert "Package hash mismatch: lib" in attempt.run.this_run


def test_signature_of_another_manifest_blocks(scenario, hostile):
    old = hostile.repository.resolve()
    old_signature = (old / "manifest.txt.sig").read_bytes()
    hostile.publish([LIB_V2])
    (hostile.repository / "manifest.txt.sig").unlink()
    (hostile.repository / "manifest.txt.sig").write_bytes(old_signature)
    blocked(run_against(scenario, "manifest", {}), "SECURITY: подпись manifest.txt недействительна.")


def test_replayed_older_manifest_is_refused_and_the_newer_packages_stay(scenario, hostile):
    """A signed but older release replayed by the site: no downgrade, the installed release starts."""
    old = hostile.repository.resolve()
    installed(run_against(scenario, "manifest", {}), scenario)
    time.sleep(1)  # the next release's time-based serial is a second later at least
    hostile.publish([LIB_V2])
    assert run_against(scenario, "manifest", {}).run.exit_code == 0
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v2"
    hostile.clear()
    shutil.copytree(old, hostile.repository)
    attempt = run_against(scenario, "manifest", {})
    offline(attempt)
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v2"
    assert any(m.startswith("Manifest refused: serial ") and m.endswith(" already seen.") for m in attempt.run.this_run)
    assert len(scenario.stub_runs()) == 3
