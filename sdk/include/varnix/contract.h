#pragma once
/* The fixed names and numbers that the launcher and Varnix.exe share. Usable from C and C++;
 * includes nothing. The launcher is built from these same definitions.
 *
 *   VARNIX_EXIT_DEPENDENCY_REQUEST  exit code that asks the launcher to serve the request file
 *   VARNIX_LAUNCH_WATCH_MS          how long after creation the launcher watches the application
 *   VARNIX_RESTART_WAIT_MS          how long the launcher waits for a restarting application
 *   VARNIX_*_NAME, VARNIX_*_VARIABLE  file and environment variable names (UTF-16 literals)
 */

#define VARNIX_EXIT_DEPENDENCY_REQUEST 85
#define VARNIX_LAUNCH_WATCH_MS 1800
#define VARNIX_RESTART_WAIT_MS 30000

#define VARNIX_APPLICATION_FILE_NAME L"Varnix.exe"
#define VARNIX_LAUNCHER_FILE_NAME L"VarnixLauncher.exe"
#define VARNIX_SYSTEM_DIRECTORY_NAME L"system"
#define VARNIX_TOKEN_FILE_NAME L"launch_guard.token"
#define VARNIX_REQUEST_FILE_NAME L"dependency_request.txt"
#define VARNIX_TOKEN_VARIABLE L"VARNIX_LAUNCH_TOKEN"
#define VARNIX_RESTART_VARIABLE L"VARNIX_RESTART_AFTER_PID"

#ifdef __cplusplus
namespace varnix::contract {

inline constexpr unsigned kExitDependencyRequest = VARNIX_EXIT_DEPENDENCY_REQUEST;
inline constexpr unsigned kLaunchWatchMilliseconds = VARNIX_LAUNCH_WATCH_MS;
inline constexpr unsigned kRestartWaitMilliseconds = VARNIX_RESTART_WAIT_MS;
inline constexpr wchar_t kApplicationFileName[] = VARNIX_APPLICATION_FILE_NAME;
inline constexpr wchar_t kLauncherFileName[] = VARNIX_LAUNCHER_FILE_NAME;
inline constexpr wchar_t kSystemDirectoryName[] = VARNIX_SYSTEM_DIRECTORY_NAME;
inline constexpr wchar_t kTokenFileName[] = VARNIX_TOKEN_FILE_NAME;
inline constexpr wchar_t kRequestFileName[] = VARNIX_REQUEST_FILE_NAME;
inline constexpr wchar_t kTokenVariable[] = VARNIX_TOKEN_VARIABLE;
inline constexpr wchar_t kRestartVariable[] = VARNIX_RESTART_VARIABLE;

}  // namespace varnix::contract
#endif
