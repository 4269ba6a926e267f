"""The signed manifest: online, offline and blocked roads against the real nginx site."""
import base64
import subprocess

import pytest

from constants import (DOWNLOADING_MANIFEST, HTTP_404, LAUNCHED, LAUNCHING, OFFLINE_MODE, OK, START_FAILED,
                       UPDATE_BLOCKED)
from harness import ManifestEntry, Package, assert_in_order, manifest_text

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
