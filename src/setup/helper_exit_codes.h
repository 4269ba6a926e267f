#pragma once
/* Exit codes of VarnixSetupHelper.exe, which the setup and the uninstaller run. Plain #define
 * lines: the NSIS script reads this file with !searchparse, so both sides share one definition. */

#define VARNIX_HELPER_DONE 0
#define VARNIX_HELPER_USAGE 10
#define VARNIX_HELPER_RUNNING 11
#define VARNIX_HELPER_PROTECTED_DIRECTORY 12
#define VARNIX_HELPER_UNWRITABLE_DIRECTORY 13
#define VARNIX_HELPER_NOT_REMOVED 14
#define VARNIX_HELPER_NOT_A_ROOT 15
