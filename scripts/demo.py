#!/usr/bin/env python3
"""make demo: a silent setup, then four starts of the installed launcher against the local update site.

The demo begins as a user does: VarnixSetup.exe /S puts the launcher into the demo's root
(C:\\t\\varnix_demo\\Varnix), with its Start-menu shortcut and uninstall entry.

Release 1 holds the application itself ("soft", with Varnix.exe), a required library package and
an optional "graphics_compat". The first start installs both required packages and starts the
application; the second finds everything installed; then release 2 updates the library and the
third start installs only that. Release 3 replaces the application with the example built on the
integration header (examples/minimal_app); the fourth start passes it --with-graphics, so it asks
for "graphics_compat", the demo answers yes, and the package installs. Without a display of the
user's, the dialog driver answers every dialog under Xvfb and saves a screenshot of each.
"""
import os
import pathlib
import struct
import subprocess
import sys
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))

from constants import OK, PACKAGE_DOWNLOAD, PACKAGES_NEEDED, UNINSTALL_KEY, UPDATE_DOWNLOAD, YES  # noqa: E402
from harness import (BUILD, STUB, Package, Scenario, Site, end_leftover_processes, silent_setup_command,  # noqa: E402
                     windows_path, wine_env)

SHOTS = ROOT / "build/demo"
EXAMPLE = BUILD / "examples/minimal_app/Varnix.exe"
EXAMPLE_LOG = "minimal_app.log"
DOWNLOADS = {UPDATE_DOWNLOAD: OK, PACKAGE_DOWNLOAD: OK}


def bmp_to_png(bmp_path, png_path):
    data = bmp_path.read_bytes()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    row_bytes = (width * 3 + 3) // 4 * 4
    raw = bytearray()
    for y in range(height - 1, -1, -1):  # BMP rows run bottom-up, pixels are BGR
        row = data[offset + y * row_bytes: offset + y * row_bytes + width * 3]
        raw.append(0)
        for x in range(0, len(row), 3):
            raw += bytes((row[x + 2], row[x + 1], row[x]))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png_path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                         + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def release(site, library_version, application=None):
    soft = application or {"Varnix.exe": STUB.read_bytes(), "stub_behavior.txt": b"sleep=600000\n"}
    return site.publish([
        Package("soft", soft),
        Package("lib", {"lib/voice.dll": f"voice {library_version}".encode(),
                        "lib/codecs/opus.dll": f"opus {library_version}".encode()}),
        Package("graphics_compat", {"gfx/d3d.dll": b"compat"}, required=False),
    ])


def stop_application(scenario):
    """The demo application runs until told to stop, as a user would close it."""
    (scenario.system / "stub_stop").write_text("")
    end_leftover_processes(5)  # it ends on its own at once; anything else is ended by its id
    (scenario.system / "stub_stop").unlink()


def start(scenario, number, interactive, seen_lines, answers=DOWNLOADS, arguments=()):
    print(f"\n=== Start {number} ===" + (f" (arguments: {' '.join(arguments)})" if arguments else ""))
    if interactive:
        command = windows_path(scenario.root / "VarnixLauncher.exe")
        code = subprocess.run(["wine", command, *arguments], env=wine_env(),
                              stdin=subprocess.DEVNULL).returncode
        print(f"exit code: {code}")
        run_log = (scenario.root / "logs/launcher.log").read_bytes().decode("utf-8").split("\r\n")[:-1]
    else:
        shots = SHOTS / f"start{number}"
        shots.mkdir(parents=True, exist_ok=True)
        for old in shots.iterdir():
            old.unlink()
        run = scenario.run(arguments=arguments, answers=answers,
                           env={"DIALOG_DRIVER_SCREENSHOTS": "Z:" + str(shots)})
        for index, dialog in enumerate(run.dialogs, 1):
            print(f"dialog {index} ({dialog.kind}): {dialog.main!r} / {dialog.content!r} -> {dialog.answer}")
            bmp = shots / f"dialog_{index}.bmp"
            if bmp.exists():
                bmp_to_png(bmp, bmp.with_suffix(".png"))
                bmp.unlink()
        if not run.dialogs:
            print("no dialog")
        print(f"exit code: {run.exit_code}")
        run_log = (scenario.root / "logs/launcher.log").read_bytes().decode("utf-8").split("\r\n")[:-1]
    print("log:")
    for line in run_log[seen_lines:]:
        print("  " + line)
    return len(run_log)


def install_silently(scenario):
    """Runs the setup as IT would; an installation of an earlier demo or test elsewhere is forgotten
    first, since the setup keeps one installation per user."""
    subprocess.run(["wine", "reg", "delete", UNINSTALL_KEY, "/f"], env=wine_env(), stdin=subprocess.DEVNULL,
                   capture_output=True)
    (scenario.root / "VarnixLauncher.exe").unlink()
    command_line = silent_setup_command(scenario.root)
    print(f"=== Setup ===\n{command_line}")
    run = scenario.run_command_line(command_line, timeout=120)
    print(f"exit code: {run.exit_code}")
    if run.exit_code != 0:
        sys.exit("the setup failed")
    print(f"installed: {sorted(p.name for p in scenario.root.iterdir())}")


def main():
    interactive = os.environ.get("VARNIX_DEMO_INTERACTIVE") == "1"
    site = Site()
    scenario = Scenario("varnix_demo/Varnix")
    print(f"Root directory: {scenario.win_root} (in {scenario.root})")
    install_silently(scenario)
    release(site, "1.0")
    print("Published release 1: soft (Varnix.exe), lib 1.0 (both required), graphics_compat (optional)")
    seen = start(scenario, 1, interactive, 0)
    stop_application(scenario)
    seen = start(scenario, 2, interactive, seen)
    stop_application(scenario)
    release(site, "1.1")
    print("\nPublished release 2: lib 1.1")
    seen = start(scenario, 3, interactive, seen)
    stop_application(scenario)
    release(site, "1.1", {"Varnix.exe": EXAMPLE.read_bytes()})
    print("\nPublished release 3: soft is the example application built on sdk/include/varnix/app.h")
    start(scenario, 4, interactive, seen, answers={**DOWNLOADS, PACKAGES_NEEDED: YES},
          arguments=("--with-graphics",))
    example_log = scenario.system / EXAMPLE_LOG
    if example_log.exists():
        print(f"the example's own log (system\\{EXAMPLE_LOG}):")
        for line in example_log.read_text(encoding="utf-8").splitlines():
            print("  " + line)
    end_leftover_processes(0)  # the example runs until its window is closed
    if not interactive:
        print(f"\nScreenshots of every dialog: {SHOTS}/start*/dialog_*.png")
    print(f"Installed files: {sorted(str(p.relative_to(scenario.system)) for p in scenario.system.rglob('*') if p.is_file())}")


if __name__ == "__main__":
    main()
