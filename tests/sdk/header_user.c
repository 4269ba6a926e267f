/* C code using the integration header's extern "C" section. */
#include "varnix/app.h"

int varnix_header_user_from_c(void) {
    const char* packages[] = {"graphics_compat"};
    const char* missing[] = {"gfx/d3d.dll"};
    if (!varnix_started_by_launcher()) return 0;
    if (varnix_write_dependency_request(packages, 1, "", missing, 1) != VARNIX_REQUEST_WRITTEN) {
        return varnix_restart_through_launcher(NULL);
    }
    return varnix_request_packages_and_exit(packages, 1, NULL, NULL, 0) +
           VARNIX_EXIT_DEPENDENCY_REQUEST;
}
