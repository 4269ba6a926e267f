"""Facts the end-to-end suite shares, each spelled once: the bench's ports and Wine settings (read
from the environment that scripts/bench.sh exports), control ids, paths in the prefix and the
dialog and log texts that the tests compare."""
import os


def _from_bench(name):
    value = os.environ.get(name)
    if value is None:
        raise RuntimeError(f"{name} is not set: run the suite through scripts/bench.sh e2e")
    return value


# Ports: owned by scripts/bench.sh, which also hands them to CMake and the C++ tests.
TEST_PORT = int(_from_bench("VARNIX_TEST_PORT"))
FAULT_PORT = int(_from_bench("VARNIX_FAULT_PORT"))
UNREACHABLE_PORT = int(_from_bench("VARNIX_UNREACHABLE_PORT"))
UPDATE_HOST = f"localhost:{TEST_PORT}"

# Wine: the bench's DLL overrides, and the same without comctl32 (dialogs fall back to message boxes).
WINEDLLOVERRIDES = _from_bench("WINEDLLOVERRIDES")
WINEDLLOVERRIDES_WITHOUT_COMCTL32 = WINEDLLOVERRIDES + ";comctl32=d"

# Control ids of the dialogs (winuser.h); a message box's text is the static control 65535.
IDOK = 1
IDYES = 6
IDNO = 7
STATIC_TEXT_ID = 65535

# Where the launcher looks for Windows PowerShell; the bench puts the stand-in there.
POWERSHELL_PATH = "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"

# Answers the dialog driver gives.
OK, YES, NO, CLOSE = "ok", "yes", "no", "close"

# Main instructions of the launcher's dialogs (all titled "Varnix Launcher").
DIALOG_TITLE = "Varnix Launcher"
UPDATE_DOWNLOAD = "Загрузка пакета обновления"  # the package that carries Varnix.exe
PACKAGE_DOWNLOAD = "Загрузка пакета"
START_FAILED = "Не удалось запустить Varnix"
LAUNCH_ERROR = "Ошибка запуска Varnix"
ALREADY_RUNNING = "Varnix уже запущен"
ROOT_LOCK_BUSY = "Обновление уже выполняется"  # another launcher of the root kept it too long
UPDATE_BLOCKED = "Обновление заблокировано"
PACKAGES_NEEDED = "Нужны дополнительные пакеты"
DEPENDENCY_FAILED = "Ошибка установки дополнительного пакета"
COMPATIBILITY_OFFER = "Нужен пакет совместимости"

# Log lines that several tests compare.
BANNER = ["==============================", "Varnix Launcher started."]
STARTED = BANNER[1]
LAUNCHING = "Launching Varnix."
LAUNCHED = "Varnix launched successfully."
ROLLBACK_REMOVED = "Rollback data removed."
# A restore that could not put every file back, and the next starts' tries (each + package name).
RESTORE_LEFT_PENDING = "Rollback restore left pending for package: "
RESTORE_STILL_PENDING = "Rollback restore still pending for package: "
RESTORE_FINISHED = "Rollback restore finished for package: "
MANIFEST_URL_LOGGED = "[HTTPS:SITE]/varnix/repository/manifest.txt"
DOWNLOADING_MANIFEST = "Downloading manifest: " + MANIFEST_URL_LOGGED
OFFLINE_MODE = "Manifest unavailable, local Varnix.exe found. Offline launch mode."
SIGNATURE_REFETCH = "Manifest signature could not be fetched; fetching manifest and signature again."
PROCESS_START_FAILED = "Не удалось запустить процесс: "
ALREADY_RUNNING_LOGGED = "Varnix is already running. Update and launch skipped."
DUPLICATES_DROPPED = "Manifest listed files dropped as duplicates: "  # + "{package} / {count}"
ROOT_LOCK_WAITING = "Another launcher is running for this root; waiting."
ROOT_LOCK_GIVEN_UP = "Another launcher is still running for this root after 20 s; not waiting longer."
HTTP_404 = "Сервер вернул HTTP статус: 404"
TOKEN_NOT_WRITTEN = "Launch guard token file write failed."
SERIAL_NOT_STORED = "Manifest serial not stored: "
ACCESS_DENIED = "Access denied."  # Wine's text of Win32 error 5 (its line break ends the log line)

# The launcher's self-update: a failed attempt that is tried again, and a launcher that runs under
# another name than VarnixLauncher.exe.
PROMOTION_TRIED_AGAIN = "Launcher update will be tried again: attempt {} of 3 did not complete ({})."
LAUNCHER_RUNS_AS = "Launcher update skipped: this launcher runs as {}, not VarnixLauncher.exe."

# The setup (VarnixSetup.exe) and its uninstaller: exit codes, and what they leave on the machine.
SETUP_INSTALLED = 0
SETUP_ABORTED = 2
SETUP_REFUSED_RUNNING = 3
SETUP_REFUSED_DIRECTORY = 4
UNINSTALL_REFUSED_NOT_A_ROOT = 4  # the uninstaller run from a folder that is no Varnix root
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Varnix"
UNINSTALLER_NAME = "Uninstall.exe"
SHORTCUT_NAME = "Varnix.lnk"
# What a setup puts into a fresh root.
INSTALLED_NAMES = {"VarnixLauncher.exe", UNINSTALLER_NAME}

# A package archive judged by its own directory: refused before the extraction, or its extracted
# files compared with it afterwards (log line prefixes, then dialog text prefixes).
FORBIDDEN_ENTRY_LOGGED = "Package archive holds a forbidden entry: "
UNREADABLE_ARCHIVE_LOGGED = "Package archive cannot be read: "
MISMATCH_LOGGED = "Extracted file does not match the archive: "
FORBIDDEN_ENTRY = "Архив пакета содержит недопустимый файл: "
UNREADABLE_ARCHIVE = "Архив пакета повреждён: "
EXTRACTED_MISMATCH = "Файл пакета не совпал с архивом после распаковки: "
NO_END_RECORD = "не найден конец каталога ZIP"
