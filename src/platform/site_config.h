#pragma once
// The update site host, fixed when the executable is built (VARNIX_UPDATE_HOST).
// Defined in site_config.cpp, compiled once per executable so that test builds can point
// the same code at another site.

namespace varnix {

const wchar_t* updateSiteHost();

}  // namespace varnix
