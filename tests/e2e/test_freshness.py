"""Manifest freshness: the signed serial and expiry against the serial a launcher has stored."""
import datetime
import hashlib
import os
import subprocess

import pytest

from constants import DOWNLOADING_MANIFEST, OFFLINE_MODE, OK, PACKAGE_DOWNLOAD, START_FAILED
from harness import STORED_SERIAL, Package, assert_in_order

LIB = Package("lib", {"lib/a.dll": b"a"})
OLD_TIME = 978307200  # 2001-01-01: a stored file the launcher rewrote gets a newer time
STALE = "manifest.txt устарел: "
LOWER, NO_SERIAL, EXPIRED = "номер выпуска меньше уже полученного", "нет номера выпуска", "срок действия истёк"


def stored_text(site, serial):
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", site.public_key, "-outform", "DER"],
                         check=True, capture_output=True).stdout
    return f"{serial}\n{hashlib.sha256(der).hexdigest()}\n".encode()


def hours_ago(hours):
    moment = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(hours=hours)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def serve(site, head):
    """One required package, under these freshness lines instead of the published ones."""
    release = site.publish([LIB])
    body = b"".join(line for line in site.manifest_bytes().splitlines(True) if line.startswith(b"package|"))
    site.write(head.encode() + body)
    (site.repository / "packages").symlink_to(release / "packages")


# stored: the serial stored before (for this site's key), raw file bytes, or None;
# refused: (log line after "Manifest refused: ", errorText after STALE), or None when accepted;
# after: the serial stored afterwards, or None for no file.
CASES = [
    ("first_contact", None, "serial|500\n", None, 500),
    ("site_without_serials", None, "", None, None),
    ("equal_is_the_same_release", 500, "serial|500\n", None, 500),
    ("grown_with_leading_zeros", 500, "serial|0000501\n", None, 501),
    ("lower", 500, "serial|499\n", ("serial 499 is lower than 500 already seen.", LOWER), 500),
    ("missing", 500, "", ("it has no serial, although 500 was already seen.", NO_SERIAL), 500),
    ("second_serial_line", 500, "serial|501\nserial|502\n",
     ("it has no serial, although 500 was already seen.", NO_SERIAL), 500),
    ("extra_field", 500, "serial|501|x\n", ("it has no serial, although 500 was already seen.", NO_SERIAL), 500),
    ("expired", None, "serial|500\nexpires|2020-01-01T00:00:00Z\n", ("expired at 2020-01-01T00:00:00Z.", EXPIRED),
     None),
    ("expired_within_skew", None, f"serial|500\nexpires|{hours_ago(23)}\n", None, 500),
    ("stored_for_another_key", b"900\n" + b"0" * 64 + b"\n", "serial|500\n", None, 500),
    ("truncated_stored_file", b"90", "serial|500\n", None, 500),
]


@pytest.mark.parametrize("stored, head, refused, after", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_stored_serial_against_the_served_one(scenario, site, stored, head, refused, after):
    scenario.install_stub("exit=0")
    state = scenario.system / STORED_SERIAL
    if stored is not None:
        state.parent.mkdir(parents=True)
        state.write_bytes(stored if isinstance(stored, bytes) else stored_text(site, stored))
        os.utime(state, (OLD_TIME, OLD_TIME))
    serve(site, head)
    run = scenario.run(answers={PACKAGE_DOWNLOAD: OK})
    assert run.exit_code == 0
    assert len(scenario.stub_runs()) == 1
    if refused:
        log_line, reason = refused
        assert_in_order(run.log, [DOWNLOADING_MANIFEST, "Manifest refused: " + log_line,
                                  "Manifest download failed: " + STALE + reason, OFFLINE_MODE])
        assert not (scenario.system / "lib").exists()
    else:
        assert "Manifest loaded. Package count: 1" in run.log
        assert (scenario.system / "lib/a.dll").read_bytes() == b"a"
    if after is None:
        assert state.exists() == (stored is not None)
    else:
        assert scenario.stored_serial() == stored_text(site, after)
        assert (state.stat().st_mtime == OLD_TIME) == (after == stored)  # written only when it grew
    assert not state.with_name(state.name + ".tmp").exists()


def test_refused_manifest_without_application_shows_the_offline_dialog(scenario, site):
    serve(site, "serial|500\nexpires|2020-01-01T00:00:00Z\n")
    run = scenario.run(answers={START_FAILED: OK})
    assert run.exit_code == 1
    assert run.contents == [(START_FAILED, "Не удалось загрузить manifest.txt и не найден локальный Varnix.exe.\n\n"
                             + STALE + EXPIRED)]
    assert not (scenario.system / "lib").exists()


# A start that stores nothing (the same serial again) must still remove a leftover: the removal
# is not merely the side effect of the next write.
@pytest.mark.parametrize("stored", [None, 600], ids=["first_contact", "same_serial"])
@pytest.mark.parametrize("leftover", [b"", b"7", b"700\n" + b"a" * 10])
def test_leftover_temporary_serial_file_is_removed(scenario, site, leftover, stored):
    scenario.install_stub("exit=0")
    temporary = scenario.system / STORED_SERIAL.with_name(STORED_SERIAL.name + ".tmp")
    temporary.parent.mkdir(parents=True)
    temporary.write_bytes(leftover)
    if stored:
        (scenario.system / STORED_SERIAL).write_bytes(stored_text(site, stored))
    serve(site, "serial|600\n")
    run = scenario.run(answers={PACKAGE_DOWNLOAD: OK})
    assert run.exit_code == 0 and (scenario.system / "lib/a.dll").exists()
    assert not temporary.exists()
    assert scenario.stored_serial() == stored_text(site, 600)


def test_rollback_on_the_site_brings_the_old_packages_back(scenario, site):
    """publish, a refused lower --serial, rollback, a refused activate back, status: then the
    launcher installs the old packages again and refuses nothing."""
    scenario.install_stub("exit=0")
    lib = scenario.system / "lib/a.dll"
    first = site.publish([LIB.but(files={"lib/a.dll": b"a v1"})])
    assert scenario.run(answers={PACKAGE_DOWNLOAD: OK}).exit_code == 0 and lib.read_bytes() == b"a v1"
    release = site.publish([LIB.but(files={"lib/a.dll": b"a v2"})])
    assert scenario.run(answers={PACKAGE_DOWNLOAD: OK}).exit_code == 0 and lib.read_bytes() == b"a v2"
    (release.parent / "packages.txt").write_text(f"lib|{release}/packages/lib.zip|1\n")
    refused = site.tool("publish", "--key", site.private_key, "--packages", release.parent / "packages.txt",
                        "--out", release.parent / "lower", "--activate", site.repository,
                        "--public-key", site.public_key, "--serial", site.serial() - 1)
    assert refused.returncode == 1 and "not larger than the live serial" in refused.stderr

    result = site.tool("rollback", "--link", site.repository, "--key", site.private_key,
                       "--public-key", site.public_key)
    assert result.returncode == 0, result.stderr
    back = site.tool("activate", release, "--link", site.repository, "--public-key", site.public_key)
    assert back.returncode == 1 and "lower than the live" in back.stderr  # clients would refuse it
    status = site.tool("status", "--link", site.repository)
    assert status.stdout.startswith(f"live: {first}-rollback-"), status.stdout
    run = scenario.run(answers={PACKAGE_DOWNLOAD: OK})
    assert run.exit_code == 0 and lib.read_bytes() == b"a v1"
    assert not any(m.startswith("Manifest refused") for m in run.this_run)
    assert_in_order(run.this_run, ["Package needs install/update: lib", "Install package completed: lib"])
