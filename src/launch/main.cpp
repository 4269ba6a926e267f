#include <windows.h>

#include <new>

#include "launch/exit_codes.h"
#include "launch/main_sequence.h"
#include "launch/self_update.h"
#include "platform/log.h"

namespace {

// Every DLL the launcher loads from here on comes from System32 alone, never from its own
// directory, the current one or PATH, where anyone who can write beside it could plant one.
// Looked up at run time: Windows 7 has it only with its KB2533623 update; without it the
// platform's safe search order stays.
void loadDllsFromSystem32Only() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return;
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != nullptr) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

// The system's arguments are not used: the launcher reads its own command line when it
// forwards the arguments to Varnix.exe.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    loadDllsFromSystem32Only();
    try {
        // A launcher started to replace the old one does that alone: no log start, no lock, no
        // already-running check, no dialog.
        if (const auto request = varnix::promotionRequest()) {
            return varnix::runPromotion(*request);
        }
        return varnix::runLauncher();
    } catch (const std::bad_alloc&) {
        varnix::logWrite(L"Launcher stopped: out of memory.");
    } catch (...) {
        varnix::logWrite(L"Launcher stopped: unexpected internal error.");
    }
    return varnix::kExitFailure;
}
