// C++17 code using the integration header; this file also defines the C functions.
#define VARNIX_APP_IMPLEMENTATION
#include "varnix/app.h"

extern "C" int varnix_header_user_from_c(void);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (!varnix::app::startedByLauncher()) return varnix_header_user_from_c();
    const varnix::app::RequestResult result =
        varnix::app::requestPackagesAndExit({"voice"}, "Голосовые звонки", {"voice/voice.dll"});
    return result == VARNIX_REQUEST_NOT_WRITTEN && varnix::app::restartThroughLauncher() ? 0 : 1;
}
