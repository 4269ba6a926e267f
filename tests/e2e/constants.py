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
MANIFEST_URL_LOGGED = "[HTTPS:SITE]/varnix/repository/manifest.txt"
DOWNLOADING_MANIFEST = "Downloading manifest: " + MANIFEST_URL_LOGGED
OFFLINE_MODE = "Manifest unavailable, local Varnix.exe found. Offline launch mode."
ALREADY_RUNNING_LOGGED = "Varnix is already running. Update and launch skipped."
HTTP_404 = "Сервер вернул HTTP статус: 404"

# A package archive judged by its own directory: refused before the extraction, or its extracted
# files compared with it afterwards (log line prefixes, then dialog text prefixes).
FORBIDDEN_ENTRY_LOGGED = "Package archive holds a forbidden entry: "
UNREADABLE_ARCHIVE_LOGGED = "Package archive cannot be read: "
MISMATCH_LOGGED = "Extracted file does not match the archive: "
FORBIDDEN_ENTRY = "Архив пакета содержит недопустимый файл: "
UNREADABLE_ARCHIVE = "Архив пакета повреждён: "
EXTRACTED_MISMATCH = "Файл пакета не совпал с архивом после распаковки: "
NO_END_RECORD = "не найден конец каталога ZIP"
