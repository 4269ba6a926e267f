"""Required packages: installation, update, verification, backup and rollback, crash safety."""
import hashlib
import os
import time

from harness import assert_in_order, windows_path

SOFT = ("soft", {"soft/readme.txt": b"", "soft/core.dll": b"core v1"}, True, ["soft/core.dll"])
LIB = ("lib", {"lib/a.dll": b"a v1", "lib/b.dll": b"b v1"}, True, None)


def install_lines(name, url_name):
    return [f"Install package started: {name}",
            f"Downloading package: {name} / [HTTPS:SITE]/varnix/repository/packages/{url_name}",
            f"Package hash: {name} expected=", "Rollback backup created for package: " + name,
            f"Extracting package: {name}", f"Install package completed: {name}"]


def assert_install_lines(log, name, archive):
    expected = install_lines(name, archive)
    hash_line = next(m for m in log if m.startswith(f"Package hash: {name} expected="))
    expected[2] = hash_line
    assert_in_order(log, expected)
    digest = hash_line.split("expected=")[1].split(" actual=")
    assert digest[0] == digest[1] and len(digest[0]) == 64


def marker(scenario, name):
    return (scenario.system / ".packages" / f"{name}.sha256").read_bytes()


def manifest_hash(site, name):
    for line in site.manifest_bytes().decode().splitlines():
        fields = line.split("|")
        if line.startswith("package|") and fields[1] == name:
            return fields[3].encode()
    raise KeyError(name)


def test_first_installation_then_nothing_to_do(scenario, site, powershell):
    site.publish([SOFT, LIB])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=["ok", "ok"])
    assert run.exit_code == 0
    assert [(d.main, d.content) for d in run.dialogs] == [
        ("Загрузка пакета обновления", "Пакет: soft"), ("Загрузка пакета", "Пакет: lib")]
    assert_in_order(run.log, ["Manifest loaded. Package count: 2", "Checking required package: soft",
                              "Package needs install/update: soft"])
    assert_install_lines(run.log, "soft", "soft.zip")
    assert_install_lines(run.log, "lib", "lib.zip")
    assert_in_order(run.log, ["Install package completed: lib", "Launching Varnix.",
                              "Varnix launched successfully.", "Rollback data removed."])
    assert marker(scenario, "soft") == manifest_hash(site, "soft")
    assert marker(scenario, "lib") == manifest_hash(site, "lib")
    assert (scenario.system / "lib/b.dll").read_bytes() == b"b v1"
    assert "_rollback" in scenario.stub_runs()[0]["root_entries"]  # kept until the good start
    assert not (scenario.root / "_rollback").exists()
    assert not (scenario.root / "_download").exists()
    assert len(powershell.runs()) == 2
    assert "Expand-Archive -LiteralPath '" + scenario.win_root + "\\_download\\soft.zip' -DestinationPath '" \
        + scenario.win_system + "' -Force" in powershell.runs()[0]

    again = scenario.run()
    assert again.exit_code == 0 and again.dialogs == []
    assert_in_order(again.log[again.log.index("Varnix Launcher started."):],
                    ["Checking required package: soft", "Package already installed: soft",
                     "Checking required package: lib", "Package already installed: lib"])
    assert len(powershell.runs()) == 2


def test_new_hash_or_deleted_file_installs_again(scenario, site, powershell):
    site.publish([SOFT, LIB])
    scenario.install_stub("exit=0")
    assert scenario.run(answers=["ok", "ok"]).exit_code == 0
    site.publish([SOFT, ("lib", {"lib/a.dll": b"a v2", "lib/b.dll": b"b v2"}, True, None)])
    run = scenario.run(answers=["ok"])
    assert [d.content for d in run.dialogs] == ["Пакет: lib"]
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v2"
    assert marker(scenario, "lib") == manifest_hash(site, "lib")

    (scenario.system / "soft/core.dll").unlink()
    run = scenario.run(answers=["ok"])
    assert [d.content for d in run.dialogs] == ["Пакет: soft"]
    assert (scenario.system / "soft/core.dll").read_bytes() == b"core v1"
    assert len(powershell.runs()) == 4


def test_hash_mismatch_stops_with_both_hashes_and_changes_nothing(scenario, site):
    release = site.publish([LIB])
    scenario.install_stub("exit=0")
    text = site.manifest_bytes().replace(manifest_hash(site, "lib"), b"AB" * 32)
    site.write(text)
    (site.repository / "packages").symlink_to(release / "packages")
    run = scenario.run(answers=["ok", "ok"])
    assert run.exit_code == 1
    actual = manifest_hash_of_file(release / "packages/lib.zip")
    reason = f"SHA256 не совпал для пакета: lib\nОжидалось: {'ab' * 32}\nПолучено: {actual}"
    assert [(d.main, d.content) for d in run.dialogs][-1] == ("Ошибка запуска Varnix", reason)
    assert_in_order(run.log, ["Package hash mismatch: lib", "Required package install failed: lib",
                              "Rollback transaction started. Package count: 0", "Rollback transaction completed.",
                              "Required package stage failed: " + reason])
    assert not (scenario.system / "lib").exists()
    assert not (scenario.system / ".packages/lib.sha256").exists()
    assert scenario.stub_runs() == []


def manifest_hash_of_file(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def write_manifest_with_archive(site, name, data, files):
    """A signed manifest whose one required package is these raw archive bytes."""
    site.write(f"package|{name}|{name}.zip|{hashlib.sha256(data).hexdigest()}|1|{';'.join(files)}\n".encode())
    (site.repository / "packages").mkdir()
    (site.repository / "packages" / f"{name}.zip").write_bytes(data)


def test_archive_that_is_not_a_zip_restores_files_and_marker(scenario, site, powershell):
    site.publish([LIB])
    scenario.install_stub("exit=0")
    assert scenario.run(answers=["ok"]).exit_code == 0
    old_marker = marker(scenario, "lib")
    write_manifest_with_archive(site, "lib", b"this is not a zip archive", ["lib/a.dll", "lib/new.dll"])
    run = scenario.run(answers=["ok", "ok"])
    assert run.exit_code == 1
    assert run.dialogs[-1].main == "Ошибка запуска Varnix"
    assert run.dialogs[-1].content == "PowerShell Expand-Archive завершился с кодом: 1"
    assert_in_order(run.log, ["Extracting package: lib",
                              "Package extraction failed: lib / PowerShell Expand-Archive завершился с кодом: 1",
                              "Rollback started for package: lib",
                              "Rollback restored file: " + scenario.win_system + "\\lib\\a.dll",
                              "Rollback completed for package: lib"])
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v1"
    assert marker(scenario, "lib") == old_marker
    assert not (scenario.root / "_download").exists()


def test_read_only_files_are_restored_and_new_ones_deleted(scenario, site, powershell):
    site.publish([LIB])
    scenario.install_stub("exit=0")
    assert scenario.run(answers=["ok"]).exit_code == 0
    site.publish([("lib", {"lib/a.dll": b"a v2", "lib/new.dll": b"new"}, True, None)])
    powershell.behave("readonly=1 exit_code=3")
    run = scenario.run(answers=["ok", "ok"])
    assert run.exit_code == 1
    assert_in_order(run.log, ["Rollback started for package: lib",
                              "Rollback restored file: " + scenario.win_system + "\\lib\\a.dll",
                              "Rollback deleted new file: " + scenario.win_system + "\\lib\\new.dll"])
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v1"
    assert not (scenario.system / "lib/new.dll").exists()


def test_second_of_three_failing_rolls_back_the_first(scenario, site):
    release = site.publish([("one", {"one.dll": b"1"}, True, None), ("two", {"two.dll": b"2"}, True, None),
                            ("three", {"three.dll": b"3"}, True, None)])
    (release / "packages/two.zip").unlink()
    scenario.install_stub("exit=0")
    run = scenario.run(answers=["ok", "ok", "ok"])
    assert run.exit_code == 1
    assert run.dialogs[-1].content == "Сервер вернул HTTP статус: 404"
    assert_in_order(run.log, ["Install package completed: one", "Package download failed: two / Сервер вернул HTTP статус: 404",
                              "Required package install failed: two", "Rollback transaction started. Package count: 1",
                              "Rollback started for package: one",
                              "Rollback deleted new file: " + scenario.win_system + "\\one.dll",
                              "Rollback transaction completed.", "Required package stage failed: Сервер вернул HTTP статус: 404"])
    assert "Checking required package: three" not in run.log
    assert not (scenario.system / "one.dll").exists()
    assert not (scenario.system / ".packages/one.sha256").exists()


def test_root_with_cyrillic_letters_blanks_and_apostrophe(make_scenario, site, powershell):
    scenario = make_scenario("Корень O'Neil с пробелом")
    site.publish([LIB])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=["ok"])
    assert run.exit_code == 0, run.log
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v1"
    assert "-LiteralPath '" + scenario.win_root.replace("'", "''") + "\\_download\\lib.zip'" in powershell.runs()[0]


def converges(scenario, site, powershell):
    """After an interruption the next ordinary start completes the installation."""
    powershell.reset()
    run = scenario.run(answers=["ok"] * 4)
    assert run.exit_code == 0, run.log
    assert not (scenario.root / "_download").exists()
    for line in site.manifest_bytes().decode().splitlines():
        if line.startswith("package|"):
            fields = line.split("|")
            assert marker(scenario, fields[1]) == fields[3].encode()
            for item in fields[5].split(";"):
                assert (scenario.system / item).is_file()
    return run


BIG = ("slow_big", {f"big/{n}.bin": os.urandom(64 * 1024) for n in range(16)}, True, None)


def test_killed_during_download_converges(scenario, site, powershell):
    site.publish([BIG])
    scenario.install_stub("exit=0")
    run = scenario.run(answers=["ok"], kill_when="log:" + windows_path(scenario.root / "logs/launcher.log")
                       + "|Downloading package: slow_big")
    assert run.killed
    assert not (scenario.system / ".packages/slow_big.sha256").exists()
    converges(scenario, site, powershell)


def test_killed_after_extraction_before_marker_converges(scenario, site, powershell):
    site.publish([LIB])
    scenario.install_stub("exit=0")
    assert scenario.run(answers=["ok"]).exit_code == 0
    site.publish([("lib", {"lib/a.dll": b"a v2", "lib/b.dll": b"b v2"}, True, None)])
    powershell.reset()
    powershell.behave("sleep_after=3000")
    # Killed once PowerShell runs: the extraction completes, the marker is never written.
    run = scenario.run(answers=["ok"], kill_when="log:" + windows_path(powershell.runs_log) + "|Expand-Archive")
    assert run.killed
    time.sleep(3.5)  # the stand-in finishes extracting on its own
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v2"
    assert marker(scenario, "lib") != manifest_hash(site, "lib")  # old marker: not installed
    converges(scenario, site, powershell)
    assert (scenario.system / "lib/a.dll").read_bytes() == b"a v2"


def test_killed_during_restore_converges(scenario, site, powershell):
    many = {f"many/{n}.dll": b"v1" for n in range(300)}
    site.publish([("many", many, True, None)])
    scenario.install_stub("exit=0")
    assert scenario.run(answers=["ok"]).exit_code == 0
    site.publish([("many", {name: b"v2" for name in many}, True, None)])
    powershell.behave("exit_code=1")
    run = scenario.run(answers=["ok", "ok"], kill_when="log:" + windows_path(scenario.root / "logs/launcher.log")
                       + "|Rollback started for package: many")
    assert run.killed
    converges(scenario, site, powershell)
    assert {(scenario.system / name).read_bytes() for name in many} == {b"v2"}
