"""The signed manifest: online, offline and blocked roads against the real nginx site."""
import base64
import hashlib
import subprocess

import pytest

from constants import (DOWNLOADING_MANIFEST, HTTP_404, LAUNCHED, LAUNCHING, OFFLINE_MODE, OK, START_FAILED,
                       UPDATE_BLOCKED)
from harness import SITE_DIR, ManifestEntry, Package, assert_in_order, manifest_text

BLOCKED_TAIL = "\n\nЗапуск остановлен, чтобы не использовать подменённое обновление."
INVALID_SIGNATURE = ("SECURITY: подпись manifest.txt недействительна. "
                     "Файл обновления мог быть повреждён или подменён.")


def test_online_start_loads_the_signed_manifest_then_launches(scenario, site):
    site.publish([Package("extra", {"extra/a.dat": b"a"}, required=False),
                  Package("graphics_compat", {"gfx.dll": b"g"}, required=False)])
    scenario.install_stub("exit=0")
    run = scenario.run()
    assert run.exit_code == 0
    assert_in_order(run.log, [DOWNLOADING_MANIFEST, "Manifest loaded. Package count: 2", LAUNCHING, LAUNCHED])
    assert b"localhost" not in run.log_bytes


def test_package_count_is_logged(scenario, site):
    site.write(manifest_text(*(ManifestEntry(f"p{n}", f"p{n}.zip", "00", False) for n in range(12))))
    scenario.install_stub("exit=0")
    assert "Manifest loaded. Package count: 12" in scenario.run().log


def offline_lines(reason):
    return [DOWNLOADING_MANIFEST, "Manifest download failed: " + reason, OFFLINE_MODE, LAUNCHING, LAUNCHED]


def test_unreachable_site_with_local_application_starts_offline(scenario):
    scenario.use_unreachable_site()
    scenario.install_stub("exit=0")
    run = scenario.run()
    assert run.exit_code == 0
    failure = next(m for m in run.log if m.startswith("Manifest download failed: "))
    assert failure.startswith("Manifest download failed: Ошибка загрузки: ")
    assert_in_order(run.log, offline_lines(failure[len("Manifest download failed: "):]))
    assert not any(m.startswith("Manifest loaded.") for m in run.log)
    assert len(scenario.stub_runs()) == 1


def test_missing_manifest_with_local_application_starts_offline(scenario, site):
    site.clear()
    scenario.install_stub("exit=0")
    run = scenario.run()
    assert run.exit_code == 0
    assert_in_order(run.log, offline_lines(HTTP_404))


def test_unreachable_site_without_application_shows_error(scenario):
    scenario.use_unreachable_site()
    (scenario.system / "Varnix.exe").mkdir(parents=True)  # a directory is no application
    run = scenario.run(answers={START_FAILED: OK})
    assert run.exit_code == 1
    [dialog] = run.dialogs
    assert dialog.main == START_FAILED
    assert dialog.content.startswith("Не удалось загрузить manifest.txt и не найден локальный Varnix.exe.\n\nОшибка загрузки: ")
    assert LAUNCHING not in run.log


def blocked(scenario, reason):
    scenario.install_stub("exit=0")
    run = scenario.run(answers={UPDATE_BLOCKED: OK})
    assert run.exit_code == 1
    assert run.contents == [(UPDATE_BLOCKED, "Не удалось проверить подлинность manifest.txt.\n\n" + reason + BLOCKED_TAIL)]
    assert_in_order(run.log, [DOWNLOADING_MANIFEST, "Manifest download failed: " + reason])
    assert LAUNCHING not in run.log
    assert scenario.stub_runs() == []


def test_missing_signature_blocks_even_with_a_working_application(scenario, site):
    site.write(manifest_text(ManifestEntry("a", "a.zip", "00", True)), signature=False)
    blocked(scenario, "SECURITY: не удалось загрузить подпись manifest.txt.sig. " + HTTP_404)


def pss_signature(site, data):
    path = site.releases / "pss.bin"
    path.write_bytes(data)
    return subprocess.run(
        ["openssl", "dgst", "-sha256", "-sigopt", "rsa_padding_mode:pss", "-sign", str(site.private_key), str(path)],
        check=True, capture_output=True).stdout


def other_key_signature(site, data, tmp_path):
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072",
                    "-out", str(tmp_path / "other.pem")], check=True, capture_output=True)
    (tmp_path / "data").write_bytes(data)
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(tmp_path / "other.pem"), str(tmp_path / "data")],
                          check=True, capture_output=True).stdout


MANIFEST = manifest_text(ManifestEntry("core", "core.zip", "00", False, ("a.dat",)))

# What the site serves instead of the manifest's own signature: (manifest, signature) from the site.
TAMPERED = {
    "other key": lambda site, tmp: (MANIFEST, other_key_signature(site, MANIFEST, tmp)),
    "pss": lambda site, tmp: (MANIFEST, pss_signature(site, MANIFEST)),
    "base64": lambda site, tmp: (MANIFEST, base64.b64encode(site.sign(MANIFEST))),
    "line ends": lambda site, tmp: (MANIFEST, site.sign(MANIFEST.replace(b"\n", b"\r\n"))),
    "one byte": lambda site, tmp: (MANIFEST.replace(b"core|", b"cora|"), site.sign(MANIFEST)),
}


@pytest.mark.parametrize("tamper", TAMPERED.values(), ids=TAMPERED.keys())
def test_signature_that_does_not_verify_blocks_the_launch(scenario, site, tmp_path, tamper):
    site.write(*tamper(site, tmp_path))
    blocked(scenario, INVALID_SIGNATURE)


@pytest.mark.parametrize("manifest, signature, reason", [
    (b"", b"x" * 384, "SECURITY: manifest.txt пустой."),
    (b"", b"", "SECURITY: manifest.txt пустой."),
    (MANIFEST, b"", "SECURITY: manifest.txt.sig пустой или не загружен."),
    (b"# nothing but a comment\npackage|a|b|c|1\n", None,
     "SECURITY: manifest.txt подписан, но пустой или имеет неверный формат."),
])
def test_empty_or_formless_manifest_blocks_the_launch(scenario, site, manifest, signature, reason):
    site.write(manifest, signature)
    blocked(scenario, reason)


# The test launchers carry two keys, the site's and the next one of a rotation (scripts/bench.sh).
KEYS = {"current": SITE_DIR / "keys", "next": SITE_DIR / "keys/next"}
# A rotation as the site goes through it, one signed manifest after the other: (key, serial,
# accepted). The serial counts on across the keys, so an older one is refused whoever signed it.
ROTATION = [("current", 100, True), ("next", 99, False), ("next", 101, True), ("current", 100, False),
            ("current", 102, True)]


def signed_with(site, key, data):
    path = site.releases / "rotation.bin"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    result = site.tool("sign", "--unchecked", "--key", KEYS[key] / "manifest-private.pem", path)
    assert result.returncode == 0, result.stderr
    return path.with_name("rotation.bin.sig").read_bytes()


def fingerprint(key):
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", KEYS[key] / "manifest-public.pem", "-outform", "DER"],
                         check=True, capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def test_manifest_signed_with_either_key_of_a_rotation_verifies(scenario, site):
    scenario.install_stub("exit=0")
    stored = None
    for key, serial, accepted in ROTATION:
        manifest = b"serial|%d\n" % serial + MANIFEST
        site.write(manifest, signature=signed_with(site, key, manifest))
        run = scenario.run()
        assert run.exit_code == 0 and LAUNCHED in run.this_run
        assert ("Manifest loaded. Package count: 1" in run.this_run) == accepted, (key, serial, run.this_run)
        if accepted:
            stored = f"{serial}\n{fingerprint(key)}\n".encode()
        assert scenario.stored_serial() == stored, (key, serial)
