#!/usr/bin/env python3
"""make bench: the launcher's start-up and package installation next to their floors.

Figures are medians over several runs on this machine, in the same Wine prefix, against the same
local nginx update site. The floor program (tests/bench/floor.cpp) does only the unavoidable work.
"""
import json
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))

from constants import OK, PACKAGE_DOWNLOAD, UPDATE_DOWNLOAD, UPDATE_HOST  # noqa: E402
from harness import (BUILD, LAUNCHER, STUB, Package, Scenario, Site, quote_argument,  # noqa: E402
                     wait_for, windows_path, wine_env)

FLOOR = BUILD / "tests/bench/bench_floor.exe"
POWERSHELL = "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"
RUNS = int(os.environ.get("VARNIX_BENCH_RUNS", "5"))
BIG_FILES, BIG_FILE_BYTES = 64, 4 * 1024 * 1024
STAMP = re.compile(r"^\[\d{4}-\d{2}-\d{2} (\d{2}):(\d{2}):(\d{2})\.(\d{3})\] (.*)$")


def wine_output(*args):
    result = subprocess.run(["wine", *map(str, args)], env=wine_env(), stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    return result.returncode, result.stdout.strip()


def timed_lines(scenario, since):
    """(seconds of day, message) of the log lines after the first `since` lines."""
    lines = (scenario.root / "logs/launcher.log").read_bytes().decode().split("\r\n")[:-1]
    out = []
    for line in lines[since:]:
        match = STAMP.match(line)
        if match:
            h, m, s, ms, text = match.groups()
            out.append((int(h) * 3600 + int(m) * 60 + int(s) + int(ms) / 1000, text))
    return out, len(lines)


def peak_rss_watcher(marker, result):
    """Samples VmHWM of the Wine process whose command line names `marker` until it ends."""
    deadline, seen = time.time() + 600, False
    while time.time() < deadline:
        found = False
        for proc in pathlib.Path("/proc").iterdir():
            if not proc.name.isdigit():
                continue
            try:
                if marker.encode() not in (proc / "cmdline").read_bytes():
                    continue
                status = (proc / "status").read_text()
            except OSError:
                continue
            found = seen = True
            match = re.search(r"VmHWM:\s+(\d+) kB", status)
            if match:
                result["peak_kib"] = max(result.get("peak_kib", 0), int(match.group(1)))
        if seen and not found or result.get("stop"):
            return
        time.sleep(0.02)


def no_update_start(site):
    scenario = Scenario("bench_start")
    site.publish([Package("soft", {"Varnix.exe": STUB.read_bytes(), "stub_behavior.txt": b"exit=0\n"})])
    assert scenario.run(answers={UPDATE_DOWNLOAD: OK}).exit_code == 0
    launcher, floor, opens = [], [], []
    app = windows_path(scenario.system / "Varnix.exe")
    for _ in range(RUNS):
        before = len(scenario.stub_runs())
        _, lines_before = timed_lines(scenario, 0)
        run = scenario.run()
        launcher.append(scenario.stub_runs()[before]["start_ms"] - run.started_ms)
        _, lines_after = timed_lines(scenario, 0)
        opens.append(lines_after - lines_before)
        command = f"{quote_argument(windows_path(FLOOR))} start {UPDATE_HOST} {quote_argument(app)}"
        floor_run = scenario.run_command_line(command)
        wait_for(lambda: len(scenario.stub_runs()) > before + 1)  # the floor does not wait for it
        floor.append(scenario.stub_runs()[before + 1]["start_ms"] - floor_run.started_ms)
    return statistics.median(launcher), statistics.median(floor), statistics.median(opens)


def big_package(site):
    work = site.releases / "bench-big"
    work.mkdir(parents=True, exist_ok=True)
    files = {f"big/part{n:02}.bin": os.urandom(BIG_FILE_BYTES) for n in range(BIG_FILES)}
    archive_path = work / "big.zip"
    with zipfile.ZipFile(archive_path, "w", zipfile.ZIP_STORED) as archive:
        for name, data in files.items():
            archive.writestr(zipfile.ZipInfo(name, (2026, 1, 1, 0, 0, 0)), data)
    return archive_path


def install_phases(site, archive_path):
    scenario = Scenario("bench_install")
    scenario.install_stub("exit=0")
    (site.releases / "bench-list.txt").write_text(f"big|{archive_path}|1\n")
    site.clear()
    shutil.rmtree(site.releases / "bench-release", ignore_errors=True)  # an earlier bench's release
    subprocess.run([str(ROOT / "build/host/tools/varnix-repo/varnix-repo"), "publish", "--key", str(site.private_key),
                    "--packages", str(site.releases / "bench-list.txt"), "--out", str(site.releases / "bench-release"),
                    "--activate", str(site.repository), "--public-key", str(site.public_key)],
                   check=True, capture_output=True)
    phases, peaks, seen = [], [], 0
    for _ in range(RUNS):
        (scenario.system / ".packages/big.sha256").unlink(missing_ok=True)
        shutil.rmtree(scenario.root / "_rollback", ignore_errors=True)
        watch = {}
        watcher = threading.Thread(target=peak_rss_watcher, args=(windows_path(scenario.root / "VarnixLauncher.exe"), watch))
        watcher.start()
        run = scenario.run(answers={PACKAGE_DOWNLOAD: OK}, timeout=600)
        watcher.join()
        assert run.exit_code == 0, run.log
        lines, seen = timed_lines(scenario, seen)
        at = {text.split(":")[0]: t for t, text in lines}
        phases.append({
            "download+hash": at["Package hash"] - at["Downloading package"],
            "backup": at["Rollback backup created for package"] - at["Package hash"],
            "extraction": at["Install package completed"] - at["Extracting package"],
            "total": at["Install package completed"] - at["Downloading package"],
        })
        peaks.append(watch.get("peak_kib", 0) / 1024)
    median = {key: statistics.median(p[key] for p in phases) for key in phases[0]}
    return median, statistics.median(peaks), scenario


def floors(scenario, archive_path):
    url = f"https://{UPDATE_HOST}/varnix/repository/packages/big.zip"
    target = scenario.root / "floor/big.zip"
    target.parent.mkdir(exist_ok=True)
    download, hashing, extraction = [], [], []
    for _ in range(RUNS):
        download.append(float(wine_output(FLOOR, "download", url, windows_path(target))[1]) / 1000)
        hashing.append(float(wine_output(FLOOR, "hash", windows_path(target))[1]) / 1000)
        destination = scenario.root / "floor/out"
        shutil.rmtree(destination, ignore_errors=True)
        command = (f"Expand-Archive -LiteralPath '{windows_path(target)}' -DestinationPath "
                   f"'{windows_path(destination)}' -Force")
        begin = time.monotonic()
        code, _ = wine_output(POWERSHELL, "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command", command)
        extraction.append(time.monotonic() - begin)
        assert code == 0
    shutil.rmtree(scenario.root / "floor", ignore_errors=True)
    return statistics.median(download), statistics.median(hashing), statistics.median(extraction)


def main():
    site = Site()
    start_ms, floor_ms, opens = no_update_start(site)
    archive_path = big_package(site)
    archive_mib = archive_path.stat().st_size / 2**20
    phases, peak_mib, scenario = install_phases(site, archive_path)
    download, hashing, extraction = floors(scenario, archive_path)
    floor_total = download + hashing + extraction
    memory_target = 1.15 * archive_mib + 32
    rows = [
        ("No-update start (ms)", start_ms, floor_ms, start_ms / floor_ms, "<= 1.10"),
        ("Install 256 MiB: download+hash (s)", phases["download+hash"], download + hashing,
         phases["download+hash"] / (download + hashing), ""),
        ("Install 256 MiB: backup (s)", phases["backup"], 0.0, None, ""),
        ("Install 256 MiB: extraction (s)", phases["extraction"], extraction, phases["extraction"] / extraction, ""),
        ("Install 256 MiB: total (s)", phases["total"], floor_total, phases["total"] / floor_total, "<= 1.20"),
        ("Peak memory during install (MiB)", peak_mib, memory_target, peak_mib / memory_target, "<= 1.00 of target"),
    ]
    print(f"\nRuns per figure: {RUNS} (medians). Archive: {archive_mib:.1f} MiB in {BIG_FILES} files.")
    print(f"{'figure':40} {'launcher':>10} {'floor':>10} {'ratio':>7}  target")
    for name, value, floor, ratio, target in rows:
        ratio_text = f"{ratio:.2f}" if ratio is not None else "-"
        print(f"{name:40} {value:10.2f} {floor:10.2f} {ratio_text:>7}  {target}")
    print(f"{'VarnixLauncher.exe size (bytes)':40} {LAUNCHER.stat().st_size:10d}")
    print(f"{'Log-file opens per no-update start':40} {opens:10.0f}")
    print(json.dumps({"start_ms": start_ms, "floor_ms": floor_ms, "phases": phases, "peak_mib": peak_mib,
                      "floors": [download, hashing, extraction]}))


if __name__ == "__main__":
    main()
