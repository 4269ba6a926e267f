#include "platform/site_config.h"

#ifndef VARNIX_UPDATE_HOST_TEXT
#error "VARNIX_UPDATE_HOST_TEXT must be defined by the build"
#endif

namespace varnix {

const wchar_t* updateSiteHost() {
    return VARNIX_UPDATE_HOST_TEXT;
}

}  // namespace varnix
