#include <windows.h>

#include <new>

#include "launch/main_sequence.h"
#include "platform/log.h"

// The system's arguments are not used: the launcher reads its own command line when it
// forwards the arguments to Varnix.exe.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    try {
        return varnix::runLauncher();
    } catch (const std::bad_alloc&) {
        varnix::logWrite(L"Launcher stopped: out of memory.");
    } catch (...) {
        varnix::logWrite(L"Launcher stopped: unexpected internal error.");
    }
    return 1;
}
