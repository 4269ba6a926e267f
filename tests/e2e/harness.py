"""End-to-end harness: runs the real VarnixLauncher.exe under Wine in a scratch root.

Each scenario gets its own root directory inside the Wine prefix (C:\\t\\<name>), a copy of the
launcher, optionally the stub Varnix.exe with a behaviour, and runs the launcher through the
dialog driver, which records every dialog, answers the ones the test expects (by their main
instruction) and ends the launcher on any other. Packages are `Package` records; the manifest
is read through `parse_manifest` alone.
"""
import dataclasses
import hashlib
import json
import os
import pathlib
import pwd
import re
import select
import shutil
import struct
import subprocess
import threading
import time
import zipfile
import zlib

from constants import CLOSE, NO, OK, POWERSHELL_PATH, STARTED, STATIC_TEXT_ID, WINEDLLOVERRIDES, YES

BUILD = pathlib.Path(os.environ.get("VARNIX_BUILD_DIR", pathlib.Path(__file__).parents[2] / "build/windows"))
WINEPREFIX = pathlib.Path(os.environ.get("WINEPREFIX", BUILD.parent / "wine"))
DRIVE_C = WINEPREFIX / "drive_c"
SCRATCH = DRIVE_C / "t"
LAUNCHER = BUILD / "VarnixLauncher.exe"
SETUP = BUILD / "VarnixSetup.exe"  # the per-user setup around LAUNCHER
SUPPORT = BUILD / "tests/support"
STUB = SUPPORT / "Varnix.exe"
DRIVER = SUPPORT / "dialog_driver.exe"
SWEEP = SUPPORT / "process_sweep.exe"
HOLDER = SUPPORT / "file_holder.exe"

SITE_DIR = pathlib.Path(os.environ.get("VARNIX_SITE_DIR", BUILD.parent / "site"))
REPO_TOOL = BUILD.parent / "host/tools/varnix-repo/varnix-repo"
UNREACHABLE_LAUNCHER = BUILD / "VarnixLauncherUnreachableSite.exe"
FAULT_SITE_LAUNCHER = BUILD / "VarnixLauncherFaultSite.exe"

# The highest manifest serial a launcher has accepted, with its key's fingerprint (system\...).
STORED_SERIAL = pathlib.Path(".packages/manifest.serial")
# Above the time-based serial of every publish: for a test that serves its own manifest with
# write() after a publish in the same root, which the launcher would refuse as having no serial.
LATER_SERIAL = 30000101000000

LOG_LINE = re.compile(r"^\[(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\] (.*)$", re.DOTALL)

# Set in the bench's user part: every Windows program runs as this unprivileged user, whose Wine
# refuses writes to read-only files and unwritable directories (Wine run as root writes them).
WINE_USER = os.environ.get("VARNIX_WINE_USER")


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env["WINEPREFIX"] = str(WINEPREFIX)
    env["WINEDLLOVERRIDES"] = WINEDLLOVERRIDES
    if WINE_USER:
        env.update(HOME=pwd.getpwnam(WINE_USER).pw_dir, USER=WINE_USER, LOGNAME=WINE_USER)
    if extra:
        env.update(extra)
    return env


def wine_command(*arguments):
    """The command that runs a Windows program (or one of Wine's own, such as attrib) with
    wine_env(). In the user part it runs as WINE_USER, and the scenarios' files the test made
    as root are that user's first, as a user's own files would be."""
    command = ["wine", *map(str, arguments)]
    if not WINE_USER:
        return command
    hand_over_scenarios()
    return ["setpriv", f"--reuid={WINE_USER}", f"--regid={WINE_USER}", "--init-groups", *command]


def hand_over_scenarios():
    """In the user part: every file and directory of the running test's scenarios belongs to
    WINE_USER, modes unchanged (a read-only file stays read-only); links are not followed."""
    if not WINE_USER:
        return
    user = pwd.getpwnam(WINE_USER)
    for scenario in Scenario.created:
        for top in (scenario.root, scenario.work):
            if not top.exists():
                continue
            os.lchown(top, user.pw_uid, user.pw_gid)
            for directory, names, files in os.walk(top):
                for name in names + files:
                    os.lchown(os.path.join(directory, name), user.pw_uid, user.pw_gid)


def windows_path(path):
    """C:\\... form of a path inside the prefix's drive_c; Z:\\... (the Unix root) otherwise."""
    path = pathlib.Path(path)
    if not path.is_relative_to(DRIVE_C):
        return "Z:" + str(path).replace("/", "\\")
    return "C:\\" + str(path.relative_to(DRIVE_C)).replace("/", "\\")


def unix_path(windows):
    """The prefix path of a C:\\... path."""
    assert windows[:3].upper() == "C:\\", windows
    return DRIVE_C / windows[3:].replace("\\", "/")


def quote_argument(argument):
    """Quotes one argument so that CommandLineToArgvW gives it back unchanged."""
    out, pending = '"', 0
    for char in argument:
        if char == "\\":
            pending += 1
            continue
        out += "\\" * (pending * 2 + 1 if char == '"' else pending) + char
        pending = 0
    return out + "\\" * (pending * 2) + '"'


def silent_setup_command(target, *options):
    """The command line of a silent setup into `target` (a path in the prefix). /D= stays last and
    unquoted, even with blanks: the setup ignores a quoted one."""
    return " ".join([quote_argument(windows_path(SETUP)), "/S", *options, "/D=" + windows_path(target)])


def wait_for(predicate, seconds=20):
    """Polls until the predicate holds; False when the deadline passes first."""
    deadline = time.monotonic() + seconds
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.05)


# ---------------------------------------------------------------- packages and the manifest

@dataclasses.dataclass(frozen=True)
class Package:
    """One package as a test publishes it: archive entries (name -> bytes), whether it is
    required, and the files the manifest lists (None: varnix-repo lists every entry)."""
    name: str
    files: dict
    required: bool = True
    listed: tuple = None

    def but(self, **changes):
        """The same package with some fields changed, e.g. LIB.but(files={...})."""
        return dataclasses.replace(self, **changes)


@dataclasses.dataclass(frozen=True)
class ManifestEntry:
    """One "package|name|archive|sha256|required|files" line of manifest.txt."""
    name: str
    archive: str
    sha256: str
    required: bool
    listed: tuple = ()

    def line(self):
        return f"package|{self.name}|{self.archive}|{self.sha256}|{int(self.required)}|{';'.join(self.listed)}\n"


def parse_manifest(data):
    """The package lines of a manifest, by package name (in manifest order)."""
    entries = {}
    for line in data.decode("utf-8").splitlines():
        if not line.startswith("package|"):
            continue
        fields = line.split("|") + [""] * 6
        entries[fields[1]] = ManifestEntry(fields[1], fields[2], fields[3], fields[4] == "1",
                                           tuple(f for f in fields[5].split(";") if f))
    return entries


def manifest_text(*entries):
    return "".join(entry.line() for entry in entries).encode("utf-8")


DEFAULT_MANIFEST = manifest_text(ManifestEntry("extra", "extra.zip", "00", False, ("extra.dat",)))


def archive_bytes(entries, zip64=False):
    """A stored ZIP archive of these (name, bytes) pairs in this order (a name may repeat), names
    flagged UTF-8. With zip64, every entry's sizes and offset lie in a ZIP64 extra field and the
    end record leads to a ZIP64 end record, as in an archive past 4 GiB."""
    full16, full32 = 0xFFFF, 0xFFFFFFFF
    local, central = b"", b""
    for name, data in entries:
        raw, crc, offset = name.encode("utf-8"), zlib.crc32(data), len(local)
        sizes = (full32, full32) if zip64 else (len(data), len(data))
        local_extra = struct.pack("<HHQQ", 1, 16, len(data), len(data)) if zip64 else b""
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0x0800, 0, 0, 0x5C21, crc, *sizes, len(raw),
                             len(local_extra)) + raw + local_extra + data
        extra = struct.pack("<HHQQQ", 1, 24, len(data), len(data), offset) if zip64 else b""
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0x0800, 0, 0, 0x5C21, crc, *sizes,
                               len(raw), len(extra), 0, 0, 0, 0, full32 if zip64 else offset) + raw + extra
    count, start, record = len(entries), len(local), len(local) + len(central)
    if not zip64:
        return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central), start, 0)
    return (local + central
            + struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, len(central), start)
            + struct.pack("<IIQI", 0x07064B50, 0, record, 1)
            + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, full16, full16, full32, full32, 0))


# ---------------------------------------------------------------- one launcher run

@dataclasses.dataclass
class Dialog:
    kind: str  # "taskdialog" or "messagebox"
    main: str
    content: str
    buttons: list
    answer: str

    @classmethod
    def from_record(cls, record):
        controls = record["controls"]
        statics = [c for c in controls if c["class"].lower() == "static"]
        buttons = sorted(c["id"] for c in controls if c["class"].lower() == "button")
        box_text = [c["text"] for c in statics if c["id"] == STATIC_TEXT_ID]
        if box_text:
            main, _, content = box_text[0].partition("\n\n")
            return cls("messagebox", main, content, buttons, record["answer"])
        texts = [c["text"] for c in statics if c["text"]]
        return cls("taskdialog", texts[0] if texts else "", texts[1] if len(texts) > 1 else "",
                   buttons, record["answer"])

    def __repr__(self):
        return f"Dialog({self.kind}, {self.main!r}, {self.content!r}, {self.buttons})"


class UnexpectedDialog(AssertionError):
    pass


# A driver that left no record at all never got as far as starting the launcher.
DRIVER_LOST = "the dialog driver left no result: Wine lost it as it started"


@dataclasses.dataclass
class Run:
    """What one launcher run left: exit code, dialogs, log, and how long it took."""
    exit_code: int
    dialogs: list
    timed_out: bool
    killed: bool
    started_ms: int
    seconds: float
    vanished: int  # windows with the dialog's title that Wine destroyed before they held a control
    log_bytes: bytes = dataclasses.field(repr=False)

    @property
    def log(self):
        return parse_log(self.log_bytes)

    @property
    def this_run(self):
        """The log of this run alone (from its own start line)."""
        log = self.log
        starts = [i for i, m in enumerate(log) if m == STARTED]
        return log[starts[-1]:] if starts else []

    @property
    def contents(self):
        return [(d.main, d.content) for d in self.dialogs]


def parse_log(data):
    """Messages of the log, one per CRLF line (an empty line stays an empty message)."""
    if not data:
        return []
    lines = data.decode("utf-8").split("\r\n")
    assert lines[-1] == "", "log must end with CRLF"
    messages = []
    for line in lines[:-1]:
        match = LOG_LINE.match(line)
        messages.append(match.group(2) if match else line)
    return messages


def assert_in_order(messages, expected):
    """Every expected message appears, in this order (others may stand between)."""
    position = 0
    for wanted in expected:
        while position < len(messages) and messages[position] != wanted:
            position += 1
        assert position < len(messages), f"missing or out of order: {wanted!r}\nlog: {messages}"
        position += 1


def answers_file(answers):
    """The driver's answer file: a dict {main instruction: answer} answers those dialogs in any
    order and as often as they come; a list of (main instruction, answer) pairs expects exactly
    that sequence (a run that ends early without being killed fails). Any other dialog ends the
    run as unexpected."""
    if answers is None:
        answers = {}
    ordered = not isinstance(answers, dict)
    pairs = list(answers) if ordered else list(answers.items())
    lines = ["ordered" if ordered else "keyed"]
    for pair in pairs:
        assert isinstance(pair, tuple) and len(pair) == 2, f"answers are (main instruction, answer) pairs: {pair!r}"
        main, answer = pair
        assert "\n" not in main and "\t" not in main and answer in (OK, YES, NO, CLOSE), (main, answer)
        lines.append(f"{answer}\t{main}")
    return ("\n".join(lines) + "\n").encode("utf-8")


# ---------------------------------------------------------------- a scenario root

class Scenario:
    created = []  # every scenario of the running test, so its end can stop what they started

    def __init__(self, name):
        self.name = name
        self.root = SCRATCH / name
        self.system = self.root / "system"
        self.work = SCRATCH / "_driver" / name
        for path in (self.root, self.work):
            if path.exists():
                make_writable(path)
                shutil.rmtree(path)
        self.root.mkdir(parents=True)
        self.work.mkdir(parents=True)
        shutil.copy(LAUNCHER, self.root / "VarnixLauncher.exe")
        Scenario.created.append(self)

    def use_unreachable_site(self):
        """The same launcher built for a site where nothing listens."""
        shutil.copy(UNREACHABLE_LAUNCHER, self.root / "VarnixLauncher.exe")

    def use_fault_site(self):
        """The same launcher built for the scripted hostile site."""
        shutil.copy(FAULT_SITE_LAUNCHER, self.root / "VarnixLauncher.exe")

    def system_files(self):
        """Every file under the system directory with its content, but the stub's own records and
        the launcher's stored serial, which grows before the required stage whatever its end."""
        skip = {"stub_runs.jsonl", "launch_guard.token", "stub_stop"}
        return {str(p.relative_to(self.system)): p.read_bytes() for p in self.system.rglob("*")
                if p.is_file() and p.name not in skip and p.relative_to(self.system) != STORED_SERIAL}

    def stored_serial(self):
        """The launcher's stored-serial file as bytes; None when there is none."""
        path = self.system / STORED_SERIAL
        return path.read_bytes() if path.exists() else None

    @property
    def win_root(self):
        return windows_path(self.root)

    @property
    def win_system(self):
        return windows_path(self.system)

    def install_stub(self, *behaviour):
        """The stub Varnix.exe; one behaviour line per start, the last repeats (see stub_app.cpp)."""
        self.system.mkdir(parents=True, exist_ok=True)
        shutil.copy(STUB, self.system / "Varnix.exe")
        (self.system / "stub_behavior.txt").write_text("\n".join(behaviour) + "\n")

    def stub_runs(self):
        path = self.system / "stub_runs.jsonl"
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line]

    def marker(self, name):
        """The installed-package marker's content (the hash of the installed archive)."""
        return (self.system / ".packages" / f"{name}.sha256").read_text()

    def run(self, arguments=(), answers=None, env=None, timeout=90, kill_when=None, cwd=None):
        """Runs the launcher; answers as `answers_file` says. Fails at once on an unexpected dialog.
        cwd: the current directory the launcher inherits (a directory inside the prefix)."""
        command_line = quote_argument(windows_path(self.root / "VarnixLauncher.exe"))
        for argument in arguments:
            command_line += " " + quote_argument(argument)
        return self.run_command_line(command_line, answers, env, timeout, kill_when, cwd)

    def run_command_line(self, command_line, answers=None, env=None, timeout=90, kill_when=None, cwd=None):
        result = self.work / "result.jsonl"
        result.unlink(missing_ok=True)
        (self.work / "cmdline.txt").write_bytes(command_line.encode("utf-8"))
        (self.work / "answers.txt").write_bytes(answers_file(answers))
        arguments = [windows_path(result), windows_path(self.work / "answers.txt"),
                     windows_path(self.work / "cmdline.txt"), str(timeout), kill_when or ""]
        begin = time.monotonic()
        hand_over_scenarios()
        # A run with an environment or a current directory of its own gets a driver of its own.
        served = None
        if env is None and cwd is None:
            served = DRIVER_SERVICE.request(["run", *arguments], timeout + 30)
        wine_status = "served"
        if served is None:
            wine_status = subprocess.run(
                wine_command(DRIVER, *arguments[:4], *([kill_when] if kill_when else [])),
                env=wine_env(env), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, timeout=timeout + 30, check=False, cwd=cwd).returncode
        seconds = time.monotonic() - begin
        # The driver's first act is its "started" record, before it starts the launcher.
        assert result.exists(), f"{DRIVER_LOST} (wine: {wine_status})"
        records = [json.loads(line) for line in result.read_text(encoding="utf-8").splitlines()]
        kinds = [r["type"] for r in records]
        log_path = self.root / "logs" / "launcher.log"
        run = Run(exit_code=next((r["code"] for r in reversed(records) if r["type"] == "exit"), None),
                  dialogs=[Dialog.from_record(r) for r in records if r["type"] == "dialog"],
                  timed_out="timeout" in kinds, killed="killed" in kinds,
                  started_ms=next((r["ms"] for r in records if r["type"] == "started"), None),
                  vanished=kinds.count("vanished"),
                  seconds=seconds, log_bytes=log_path.read_bytes() if log_path.exists() else b"")
        failed_start = [r for r in records if r["type"] == "start_failed"]
        assert not failed_start, f"the driver could not start the launcher: error {failed_start[0]['error']}"
        unexpected = [Dialog.from_record(r) for r in records if r["type"] == "unexpected"]
        if unexpected:
            raise UnexpectedDialog(f"unexpected dialog {unexpected[0]!r} after {run.dialogs} "
                                   f"({run.vanished} vanished); answers given: {answers!r}\nlog: {run.this_run}")
        ordered = answers is not None and not isinstance(answers, dict)
        if ordered and len(run.dialogs) < len(answers) and not (run.killed or run.timed_out):
            raise AssertionError(f"expected dialog {answers[len(run.dialogs)][0]!r} never came; "
                                 f"dialogs: {run.dialogs}\nlog: {run.this_run}")
        return run

    def stop_stub(self):
        if self.system.is_dir():
            (self.system / "stub_stop").write_text("")


def make_writable(path):
    for dirpath, dirnames, filenames in os.walk(path):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            if not os.path.islink(full):
                os.chmod(full, 0o755)


# ---------------------------------------------------------------- processes a scenario starts

# Images a scenario may leave running besides everything under the scratch root.
SWEPT_IMAGES = ("varnix.exe", "varnixlauncher*", "powershell.exe", "file_holder.exe", "dialog_driver.exe")


def end_leftover_processes(grace_seconds):
    """Waits up to grace_seconds for the scenario's Windows processes to end, then terminates each
    survivor by its process id; returns them as (pid, image) pairs."""
    request = [str(int(grace_seconds * 1000)), windows_path(SCRATCH), *SWEPT_IMAGES]
    lines = DRIVER_SERVICE.request(["sweep", *request], grace_seconds + 60)
    if lines is None:
        result = subprocess.run(wine_command(SWEEP, *request), env=wine_env(), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=grace_seconds + 60)
        lines = result.stdout.decode("utf-8", "replace").splitlines()
    return [tuple(line.split("\t", 1)) for line in lines if "\t" in line]


def end_late_processes(quiet_seconds=1.0):
    """Ends what appears after a kill: under Wine a process whose creation the kill interrupted
    shows up only a moment later. Sweeps until quiet_seconds pass without a new one; returns the
    ended ones as (pid, image) pairs."""
    ended = []

    def one_appeared():
        found = end_leftover_processes(0)
        ended.extend(found)
        return bool(found)

    while wait_for(one_appeared, quiet_seconds):
        pass
    return ended


class DriverService:
    """The dialog driver in its serving mode (see dialog_driver.cpp), kept for the whole session:
    each launcher run and each sweep through it saves the start of a Windows process, which
    under Wine costs about a fifth of a second of processor time. While it serves one request
    (two launchers at once), `request` returns None and the caller starts a program of its own."""

    def __init__(self):
        self.process = None
        self.lock = threading.Lock()

    def request(self, fields, timeout):
        """The answer's lines before "done"; None while another request is being served."""
        if not self.lock.acquire(blocking=False):
            return None
        try:
            if self.process is None or self.process.poll() is not None:
                self.process = subprocess.Popen(wine_command(DRIVER, "--serve"), env=wine_env(),
                                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                                stderr=subprocess.DEVNULL)
            self.process.stdin.write(("\t".join(fields) + "\n").encode("utf-8"))
            self.process.stdin.flush()
            return self._answer(time.monotonic() + timeout)
        except BaseException:
            self.close()
            raise
        finally:
            self.lock.release()

    def _answer(self, deadline):
        pending = b""
        while b"done\n" not in pending:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.process.stdout], [], [], remaining)[0]:
                raise subprocess.TimeoutExpired("dialog_driver.exe --serve", 0)
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError("the serving dialog driver ended")
            pending += chunk
        return pending.decode("utf-8").splitlines()[:-1]

    def close(self):
        if self.process is None:
            return
        try:
            self.process.stdin.close()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self.process = None


DRIVER_SERVICE = DriverService()


def outlived_the_launcher(killed_run, powershell):
    """Ends what a kill of the launcher left running and returns what counts against it: a
    PowerShell that ran (its line is in the stand-in's run log, which the test reset before the
    run) and went on after the launcher, whose kill-on-close job must end it. A Varnix.exe or a
    PowerShell whose creation the kill interrupted never runs under Wine; those are only ended."""
    left = [pathlib.PureWindowsPath(image).name.lower() for _, image in end_leftover_processes(2)]
    finished = sum(m.startswith(("Install package completed: ", "Package extraction failed: "))
                   for m in killed_run.this_run)
    outlived = [image for image in left if image not in ("varnix.exe", "powershell.exe")]
    if "powershell.exe" in left and len(powershell.runs()) > finished:
        outlived.append("a running powershell.exe")
    return outlived


def start_windows_program(*arguments, env=None):
    """A Windows program running beside the test (wine's process); ended by the test's end."""
    return subprocess.Popen(wine_command(*arguments), env=wine_env(env), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Held:
    """A file held open by another Windows process for the duration of a `with` block
    (sharing "none" or "read")."""

    def __init__(self, path, sharing):
        self.path, self.sharing = path, sharing

    def __enter__(self):
        self.process = start_windows_program(HOLDER, windows_path(self.path), self.sharing)
        assert wait_for(lambda: self.flag(".held").exists()), "file_holder did not open the file"
        return self

    def flag(self, suffix):
        return self.path.with_name(self.path.name + suffix)

    def __exit__(self, *exc):
        self.flag(".release").write_text("")
        self.process.wait(timeout=30)
        for suffix in (".held", ".release"):
            self.flag(suffix).unlink(missing_ok=True)


# ---------------------------------------------------------------- the update site

class Site:
    """The update site that nginx serves: SITE_DIR/www/varnix/repository."""

    def __init__(self, repository=SITE_DIR / "www/varnix/repository"):
        self.repository = repository
        self.keys = SITE_DIR / "keys"
        self.releases = SITE_DIR / "releases"
        self.private_key = self.keys / "manifest-private.pem"
        self.public_key = self.keys / "manifest-public.pem"
        self.counter = 0

    def clear(self):
        if self.repository.is_symlink() or self.repository.is_file():
            self.repository.unlink()
        elif self.repository.exists():
            shutil.rmtree(self.repository)

    def publish(self, packages):
        """Publishes these `Package`s through varnix-repo; returns the release directory."""
        self.counter += 1
        work = self.releases / f"work-{os.getpid()}-{self.counter}"
        if work.exists():
            shutil.rmtree(work)
        work.mkdir(parents=True)
        lines = []
        for package in packages:
            archive = work / f"{package.name}.zip"
            with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as zipped:
                for entry, data in package.files.items():
                    # A fixed time stamp: the same content gives the same archive and hash.
                    zipped.writestr(zipfile.ZipInfo(entry, (2026, 1, 1, 0, 0, 0)), data,
                                    compress_type=zipfile.ZIP_DEFLATED)
            line = f"{package.name}|{archive}|{1 if package.required else 0}"
            if package.listed is not None:
                line += "|" + ";".join(package.listed)
            lines.append(line)
        (work / "packages.txt").write_text("\n".join(lines) + "\n")
        self.clear()
        result = subprocess.run(
            [str(REPO_TOOL), "publish", "--key", str(self.private_key), "--packages",
             str(work / "packages.txt"), "--out", str(work / "release"), "--activate",
             str(self.repository), "--public-key", str(self.public_key)], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        return work / "release"

    def sign(self, data):
        path = self.releases / "to-sign.bin"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        subprocess.run([str(REPO_TOOL), "sign", "--unchecked", "--key", str(self.private_key), str(path)],
                       check=True, capture_output=True)
        return path.with_name("to-sign.bin.sig").read_bytes()

    def write(self, manifest, signature=None, serial=None):
        """Serves these exact bytes, after a "serial|N" line when a serial is given; signature None
        signs the manifest, False serves none."""
        if serial is not None:
            manifest = b"serial|%d\n" % serial + manifest
        self.clear()
        self.repository.mkdir(parents=True)
        (self.repository / "manifest.txt").write_bytes(manifest)
        if signature is None:
            signature = self.sign(manifest)
        if signature is not False:
            (self.repository / "manifest.txt.sig").write_bytes(signature)

    def write_archive(self, name, data, listed, required=True, serial=None):
        """A signed manifest whose one package is these raw archive bytes."""
        self.write(manifest_text(ManifestEntry(name, f"{name}.zip", hashlib.sha256(data).hexdigest(),
                                               required, tuple(listed))), serial=serial)
        (self.repository / "packages").mkdir()
        (self.repository / "packages" / f"{name}.zip").write_bytes(data)

    def manifest_bytes(self):
        return (self.repository / "manifest.txt").read_bytes()

    def manifest(self):
        """The served manifest's package entries, by name."""
        return parse_manifest(self.manifest_bytes())

    def serial(self):
        """The served manifest's serial; None without a serial line."""
        found = re.search(rb"^serial\|(\d+)\r?$", self.manifest_bytes(), re.MULTILINE)
        return int(found.group(1)) if found else None

    def tool(self, *arguments):
        """varnix-repo with these arguments (paths may be Path objects)."""
        return subprocess.run([str(REPO_TOOL), *map(str, arguments)], capture_output=True, text=True)


POWERSHELL_DIR = unix_path(POWERSHELL_PATH).parent


class PowerShell:
    """The stand-in at the real PowerShell location: its run log, its records of injected
    statements and of attempts to replace the archive, and its behaviour."""

    def __init__(self):
        self.runs_log = POWERSHELL_DIR / "powershell_runs.log"
        self.injections_log = POWERSHELL_DIR / "powershell_injections.log"
        self.tamper_log = POWERSHELL_DIR / "powershell_tamper.log"
        self.behaviour_file = POWERSHELL_DIR / "powershell_behavior.txt"
        self.reset()

    def reset(self):
        for path in (self.runs_log, self.injections_log, self.tamper_log, self.behaviour_file):
            path.unlink(missing_ok=True)

    def injections(self):
        """Statements besides the one Expand-Archive that a real PowerShell would have run."""
        if not self.injections_log.exists():
            return []
        return self.injections_log.read_text(encoding="utf-8").splitlines()

    def tampering(self):
        """"refused" or "replaced" for each attempt to swap the archive before extracting."""
        return self.tamper_log.read_text().splitlines() if self.tamper_log.exists() else []

    def behave(self, text):
        self.behaviour_file.write_text(text)

    def runs(self):
        if not self.runs_log.exists():
            return []
        return self.runs_log.read_text(encoding="utf-8").splitlines()

    def expand(self, archive, destination, current_directory):
        """Runs the stand-in itself, as the launcher would but with any destination text and
        current directory (a directory inside drive_c); returns its exit code."""
        script = f"Expand-Archive -LiteralPath '{windows_path(archive)}' -DestinationPath '{destination}' -Force"
        return subprocess.run(["wine", POWERSHELL_PATH, "-NoProfile", "-NonInteractive", "-ExecutionPolicy",
                               "Bypass", "-Command", script], cwd=current_directory, env=wine_env(),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60).returncode
