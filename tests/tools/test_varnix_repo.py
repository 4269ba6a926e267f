"""varnix-repo: keys, publish, sign and verify, as release engineers use them."""
import os
import pathlib
import stat
import subprocess
import zipfile

import pytest

TOOL = os.environ.get("VARNIX_REPO", str(pathlib.Path(__file__).parents[2] / "build/host/tools/varnix-repo/varnix-repo"))


def repo(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    directory = tmp_path_factory.mktemp("keys")
    result = repo("keygen", "--out", directory)
    assert result.returncode == 0, result.stderr
    return directory


def make_zip(path, entries):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries.items():
            archive.writestr(name, data)
    return path


def publish(tmp_path, keys, list_text, name="site"):
    (tmp_path / "list.txt").write_text(list_text)
    return repo("publish", "--key", keys / "manifest-private.pem", "--packages", tmp_path / "list.txt",
                "--out", tmp_path / name)


def test_keygen_writes_a_private_key_only_its_owner_can_read(keys):
    mode = stat.S_IMODE((keys / "manifest-private.pem").stat().st_mode)
    assert mode == 0o600
    assert (keys / "manifest-public.pem").read_text().startswith("-----BEGIN PUBLIC KEY-----")
    assert repo("keygen", "--out", keys).returncode == 1  # never overwrites a key


def test_publish_and_verify_round_trip(tmp_path, keys):
    core = make_zip(tmp_path / "core.zip", {"Varnix.exe": b"MZ", "bin/": b"", "bin/app.dll": b"dll"})
    extra = make_zip(tmp_path / "extra.zip", {"extra/x.dat": b"x"})
    result = publish(tmp_path, keys, f"soft|{core}|1\nextra|{extra}|0|extra/x.dat\n")
    assert result.returncode == 0, result.stderr
    site = tmp_path / "site"
    manifest = (site / "manifest.txt").read_text()
    lines = [line for line in manifest.splitlines() if line.startswith("package|")]
    assert lines[0].startswith("package|soft|core.zip|")
    assert lines[0].endswith("|1|Varnix.exe;bin/app.dll")
    assert lines[1].endswith("|0|extra/x.dat")
    assert len((site / "manifest.txt.sig").read_bytes()) == 384
    assert (site / "packages/core.zip").read_bytes() == core.read_bytes()
    verified = repo("verify", "--public-key", keys / "manifest-public.pem", site)
    assert verified.returncode == 0, verified.stderr


def test_verify_reports_each_problem(tmp_path, keys):
    archive = make_zip(tmp_path / "core.zip", {"a.txt": b"a"})
    assert publish(tmp_path, keys, f"core|{archive}|1\n").returncode == 0
    site = tmp_path / "site"
    make_zip(site / "packages/core.zip", {"a.txt": b"changed"})
    manifest = site / "manifest.txt"
    manifest.write_bytes(manifest.read_bytes() + b"\n")
    result = repo("verify", "--public-key", keys / "manifest-public.pem", site)
    assert result.returncode == 1
    assert "does not verify" in result.stderr
    assert "hash differs" in result.stderr


def test_verify_with_another_key_fails(tmp_path, keys):
    archive = make_zip(tmp_path / "core.zip", {"a.txt": b"a"})
    assert publish(tmp_path, keys, f"core|{archive}|1\n").returncode == 0
    other = tmp_path / "other"
    assert repo("keygen", "--out", other).returncode == 0
    result = repo("verify", "--public-key", other / "manifest-public.pem", tmp_path / "site")
    assert result.returncode == 1 and "does not verify" in result.stderr


@pytest.mark.parametrize("entries, message", [
    ({"../evil.dll": b"x"}, "outside the destination"),
    ({"C:/evil.dll": b"x"}, "outside the destination"),
    ({"/abs.dll": b"x"}, "outside the destination"),
])
def test_publish_refuses_archives_that_escape(tmp_path, keys, entries, message):
    archive = make_zip(tmp_path / "bad.zip", entries)
    result = publish(tmp_path, keys, f"bad|{archive}|1\n")
    assert result.returncode == 1 and message in result.stderr
    assert not (tmp_path / "site").exists()
    assert not any(p.name.startswith("site.partial") for p in tmp_path.iterdir())


@pytest.mark.parametrize("line, message", [
    ("a|b|c|{zip}|1", "expected name|archive"),
    ("../up|{zip}|1", "not a plain file name"),
    ("core|{zip}|yes", "required must be 0 or 1"),
    ("core|{zip}|1|missing.txt", "does not hold listed file"),
    ("core|{zip}|1|x;../y", "outside the system directory"),
    ("Con|{zip}|1", "names a DOS device"),
    ("core|{zip}|1|.Packages/core.sha256", "lies in the marker directory"),
    ("core|{zip}|1|.backup_complete", "is a backup's own file"),
    ("core|{missing}|1", "cannot read archive"),
    ("core|{notzip}|1", "not a readable ZIP"),
])
def test_publish_rejects_bad_input_without_writing_a_release(tmp_path, keys, line, message):
    zip_path = make_zip(tmp_path / "core.zip", {"a.txt": b"a"})
    (tmp_path / "not.zip").write_text("plain text")
    text = line.format(zip=zip_path, missing=tmp_path / "none.zip", notzip=tmp_path / "not.zip")
    result = publish(tmp_path, keys, text + "\n")
    assert result.returncode == 1
    assert message in result.stderr
    assert not (tmp_path / "site").exists()


def test_publish_never_overwrites_a_release_and_switches_atomically(tmp_path, keys):
    archive = make_zip(tmp_path / "core.zip", {"a.txt": b"a"})
    assert publish(tmp_path, keys, f"core|{archive}|1\n", "r1").returncode == 0
    assert publish(tmp_path, keys, f"core|{archive}|1\n", "r1").returncode == 1
    (tmp_path / "list.txt").write_text(f"core|{archive}|1\n")
    link = tmp_path / "current"
    for release in ("r2", "r3"):
        result = repo("publish", "--key", keys / "manifest-private.pem", "--packages", tmp_path / "list.txt",
                      "--out", tmp_path / release, "--activate", link)
        assert result.returncode == 0, result.stderr
        assert os.readlink(link) == str(tmp_path / release)


def test_sign_refuses_a_key_of_the_wrong_kind(tmp_path):
    key = tmp_path / "small.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                    "-out", key], check=True, capture_output=True)
    (tmp_path / "f").write_text("x")
    result = repo("sign", "--key", key, tmp_path / "f")
    assert result.returncode == 1 and "3072" in result.stderr


@pytest.mark.parametrize("manifest, refused", [
    (b"package|core|core.zip|00|1|a.dll;;b/c.dll\nfresh|newer lines pass\n", False),
    (b"package|..|core.zip|00|1|\n", True),
    (b"package|core|..\\system\\keep.txt|00|1|\n", True),
    (b"package|core|core.zip|00|1|../../x/precious.txt\n", True),
])
def test_sign_refuses_a_package_line_the_launcher_would_skip(tmp_path, keys, manifest, refused):
    (tmp_path / "manifest.txt").write_bytes(manifest)
    key = keys / "manifest-private.pem"
    result = repo("sign", "--key", key, tmp_path / "manifest.txt")
    assert result.returncode == (1 if refused else 0), result.stderr
    assert (tmp_path / "manifest.txt.sig").exists() != refused
    if refused:
        assert "line 1: invalid package line" in result.stderr
        assert repo("sign", "--unchecked", "--key", key, tmp_path / "manifest.txt").returncode == 0
