"""End-to-end harness: runs the real VarnixLauncher.exe under Wine in a scratch root.

Each scenario gets its own root directory inside the Wine prefix (C:\\t\\<name>), a copy of the
launcher, optionally the stub Varnix.exe with a behaviour, and runs the launcher through the
dialog driver, which records every dialog, answers it and records the exit code.
"""
import json
import os
import pathlib
import re
import shutil
import subprocess
import time
import zipfile

BUILD = pathlib.Path(os.environ.get("VARNIX_BUILD_DIR", pathlib.Path(__file__).parents[2] / "build/windows"))
WINEPREFIX = pathlib.Path(os.environ.get("WINEPREFIX", BUILD.parent / "wine"))
DRIVE_C = WINEPREFIX / "drive_c"
SCRATCH = DRIVE_C / "t"
LAUNCHER = BUILD / "VarnixLauncher.exe"
STUB = BUILD / "tests/support/Varnix.exe"
DRIVER = BUILD / "tests/support/dialog_driver.exe"
UPDATE_HOST = os.environ.get("VARNIX_UPDATE_HOST", "update.varnix.example")

SITE_DIR = pathlib.Path(os.environ.get("VARNIX_SITE_DIR", BUILD.parent / "site"))
REPO_TOOL = BUILD.parent / "host/tools/varnix-repo/varnix-repo"
UNREACHABLE_LAUNCHER = BUILD / "VarnixLauncherUnreachableSite.exe"
FAULT_SITE_LAUNCHER = BUILD / "VarnixLauncherFaultSite.exe"
MANIFEST_URL_LOGGED = "[HTTPS:SITE]/varnix/repository/manifest.txt"

LOG_LINE = re.compile(r"^\[(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\] (.*)$", re.DOTALL)


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env["WINEPREFIX"] = str(WINEPREFIX)
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    if extra:
        env.update(extra)
    return env


def windows_path(path):
    """C:\\... form of a path inside the prefix's drive_c; Z:\\... (the Unix root) otherwise."""
    path = pathlib.Path(path)
    if not path.is_relative_to(DRIVE_C):
        return "Z:" + str(path).replace("/", "\\")
    return "C:\\" + str(path.relative_to(DRIVE_C)).replace("/", "\\")


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


class Dialog:
    def __init__(self, record):
        self.answer = record["answer"]
        controls = record["controls"]
        self.buttons = sorted(c["id"] for c in controls if c["class"].lower() == "button")
        box_text = [c["text"] for c in controls if c["class"].lower() == "static" and c["id"] == 65535]
        if box_text:
            self.kind = "messagebox"
            self.main, _, self.content = box_text[0].partition("\n\n")
        else:
            self.kind = "taskdialog"
            texts = [c["text"] for c in controls if c["class"].lower() == "static" and c["text"]]
            self.main = texts[0] if texts else ""
            self.content = texts[1] if len(texts) > 1 else ""

    def __repr__(self):
        return f"Dialog({self.kind}, {self.main!r}, {self.content!r}, {self.buttons})"


class Run:
    def __init__(self, records, log_bytes):
        self.dialogs = [Dialog(r) for r in records if r["type"] == "dialog"]
        exits = [r["code"] for r in records if r["type"] == "exit"]
        self.timed_out = any(r["type"] == "timeout" for r in records)
        self.killed = any(r["type"] == "killed" for r in records)
        started = [r["ms"] for r in records if r["type"] == "started"]
        self.started_ms = started[0] if started else None
        self.exit_code = exits[-1] if exits else None
        self.log_bytes = log_bytes
        self.log = parse_log(log_bytes)
        starts = [i for i, m in enumerate(self.log) if m == "Varnix Launcher started."]
        self.this_run = self.log[starts[-1]:] if starts else []  # the log of this run alone


def parse_log(data):
    """Messages of the log, one per CRLF line (an empty line stays an empty message)."""
    if not data:
        return []
    text = data.decode("utf-8")
    lines = text.split("\r\n")
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


class Scenario:
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

    def use_unreachable_site(self):
        """The same launcher built for a site where nothing listens."""
        shutil.copy(UNREACHABLE_LAUNCHER, self.root / "VarnixLauncher.exe")

    def use_fault_site(self):
        """The same launcher built for the scripted hostile site."""
        shutil.copy(FAULT_SITE_LAUNCHER, self.root / "VarnixLauncher.exe")

    def system_files(self):
        """Every file under the system directory with its content, but the stub's own records."""
        skip = {"stub_runs.jsonl", "launch_guard.token", "stub_stop"}
        return {str(p.relative_to(self.system)): p.read_bytes() for p in self.system.rglob("*")
                if p.is_file() and p.name not in skip}

    @property
    def win_root(self):
        return windows_path(self.root)

    @property
    def win_system(self):
        return windows_path(self.system)

    def install_stub(self, *behaviour):
        self.system.mkdir(parents=True, exist_ok=True)
        shutil.copy(STUB, self.system / "Varnix.exe")
        (self.system / "stub_behavior.txt").write_text("\n".join(behaviour) + "\n")

    def stub_runs(self):
        path = self.system / "stub_runs.jsonl"
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line]

    def run(self, arguments=(), answers=(), env=None, timeout=90, kill_when=None):
        command_line = quote_argument(windows_path(self.root / "VarnixLauncher.exe"))
        for argument in arguments:
            command_line += " " + quote_argument(argument)
        return self.run_command_line(command_line, answers, env, timeout, kill_when)

    def run_command_line(self, command_line, answers=(), env=None, timeout=90, kill_when=None):
        result = self.work / "result.jsonl"
        result.unlink(missing_ok=True)
        (self.work / "cmdline.txt").write_bytes(command_line.encode("utf-8"))
        subprocess.run(
            ["wine", str(DRIVER), windows_path(result), ",".join(answers) or "-",
             windows_path(self.work / "cmdline.txt"), str(timeout)] + ([kill_when] if kill_when else []),
            env=wine_env(env), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, timeout=timeout + 30, check=False)
        records = [json.loads(line) for line in result.read_text(encoding="utf-8").splitlines()]
        log_path = self.root / "logs" / "launcher.log"
        return Run(records, log_path.read_bytes() if log_path.exists() else b"")

    def stop_stub(self):
        if self.system.is_dir():
            (self.system / "stub_stop").write_text("")


def make_writable(path):
    for dirpath, dirnames, filenames in os.walk(path):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            if not os.path.islink(full):
                os.chmod(full, 0o755)


class Site:
    """The update site that nginx serves: SITE_DIR/www/varnix/repository."""

    def __init__(self, repository=SITE_DIR / "www/varnix/repository"):
        self.repository = repository
        self.keys = SITE_DIR / "keys"
        self.releases = SITE_DIR / "releases"
        self.private_key = self.keys / "manifest-private.pem"
        self.counter = 0

    def clear(self):
        if self.repository.is_symlink() or self.repository.is_file():
            self.repository.unlink()
        elif self.repository.exists():
            shutil.rmtree(self.repository)

    def publish(self, packages):
        """packages: (name, {entry: bytes}, required, files or None) tuples, through varnix-repo."""
        self.counter += 1
        work = self.releases / f"work-{os.getpid()}-{self.counter}"
        if work.exists():
            shutil.rmtree(work)
        work.mkdir(parents=True)
        lines = []
        for name, entries, required, files in packages:
            archive = work / f"{name}.zip"
            with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as zipped:
                for entry, data in entries.items():
                    # A fixed time stamp: the same content gives the same archive and hash.
                    zipped.writestr(zipfile.ZipInfo(entry, (2026, 1, 1, 0, 0, 0)), data,
                                    compress_type=zipfile.ZIP_DEFLATED)
            line = f"{name}|{archive}|{1 if required else 0}"
            if files is not None:
                line += "|" + ";".join(files)
            lines.append(line)
        (work / "packages.txt").write_text("\n".join(lines) + "\n")
        self.clear()
        result = subprocess.run(
            [str(REPO_TOOL), "publish", "--key", str(self.private_key), "--packages",
             str(work / "packages.txt"), "--out", str(work / "release"), "--activate",
             str(self.repository)], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        return work / "release"

    def sign(self, data):
        path = self.releases / "to-sign.bin"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        subprocess.run([str(REPO_TOOL), "sign", "--key", str(self.private_key), str(path)],
                       check=True, capture_output=True)
        return path.with_name("to-sign.bin.sig").read_bytes()

    def write(self, manifest, signature=None):
        """Serves these exact bytes; signature None signs the manifest, False serves none."""
        self.clear()
        self.repository.mkdir(parents=True)
        (self.repository / "manifest.txt").write_bytes(manifest)
        if signature is None:
            signature = self.sign(manifest)
        if signature is not False:
            (self.repository / "manifest.txt.sig").write_bytes(signature)

    def manifest_bytes(self):
        return (self.repository / "manifest.txt").read_bytes()


DEFAULT_MANIFEST = b"package|extra|extra.zip|00|0|extra.dat\n"


POWERSHELL_DIR = DRIVE_C / "windows/system32/WindowsPowerShell/v1.0"


class PowerShell:
    """The stand-in at the real PowerShell location: its run log and its behaviour."""

    def __init__(self):
        self.runs_log = POWERSHELL_DIR / "powershell_runs.log"
        self.behaviour_file = POWERSHELL_DIR / "powershell_behavior.txt"
        self.reset()

    def reset(self):
        self.runs_log.unlink(missing_ok=True)
        self.behaviour_file.unlink(missing_ok=True)

    def behave(self, text):
        self.behaviour_file.write_text(text)

    def runs(self):
        if not self.runs_log.exists():
            return []
        return self.runs_log.read_text(encoding="utf-8").splitlines()



def wait_for(predicate, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False
