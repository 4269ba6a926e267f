// VarnixSetupHelper.exe: the work the setup and the uninstaller leave to the launcher's own code.
// They run it from their temporary plug-in directory, never from the root, so the root can go.
//
//   VarnixSetupHelper.exe running ROOT       is a program of this root running?
//   VarnixSetupHelper.exe check-target DIR   may the setup install into DIR? (made when missing)
//   VarnixSetupHelper.exe remove ROOT        removes Varnix's names from ROOT, links never
//                                            followed; refused when ROOT is no Varnix root
//   VarnixSetupHelper.exe remove-registered ROOT   the same for the root the uninstall entry
//                                            names, which is Varnix's even with neither mark left
//
// It shows nothing; its exit code (setup/helper_exit_codes.h) is the whole answer.
#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "setup/helper_exit_codes.h"
#include "setup/root_contents.h"
#include "setup/target_directory.h"

namespace {

using varnix::WideString;

std::vector<WideString> commandLineArguments() {
    int count = 0;
    varnix::LocalMemory memory(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<WideString> arguments;
    if (!memory) return arguments;
    const auto* words = static_cast<const wchar_t* const*>(memory.get());
    for (int i = 1; i < count; ++i)
        arguments.emplace_back(words[i]);
    return arguments;
}

bool isAnythingOfRootRunning(const WideString& rootDir) {
    for (const WideString& program : varnix::setup::rootProgramPaths(rootDir)) {
        if (varnix::isProgramRunning(program)) return true;
    }
    return false;
}

bool isPresent(const WideString& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A link is removed itself, a directory with deleteDirectoryTree (which never enters a link),
// a file as it is.
void removeOwnedPath(const WideString& path) {
    if (!varnix::removeLink(path)) return;
    if (varnix::isExistingDirectory(path)) {
        varnix::deleteDirectoryTree(path);
    } else if (isPresent(path)) {
        varnix::forceDeleteFile(path);
    }
}

// An uninstaller copied elsewhere takes that folder for its root: a logs\ or system\ of the
// user's there is not Varnix's to remove.
bool isVarnixRoot(const WideString& rootDir) {
    for (const WideString& mark : varnix::setup::rootMarkPaths(rootDir)) {
        if (isPresent(mark)) return true;
    }
    return false;
}

// The launcher goes last, and only once everything else is gone: a root left half removed still
// holds it, so the uninstaller's next run recognises the root.
int removeRoot(const WideString& rootDir, bool registered) {
    if (!registered && !isVarnixRoot(rootDir)) return VARNIX_HELPER_NOT_A_ROOT;
    if (isAnythingOfRootRunning(rootDir)) return VARNIX_HELPER_RUNNING;
    const std::vector<WideString> paths = varnix::setup::ownedRootPaths(rootDir);
    bool allGone = true;
    for (size_t i = 0; i + 1 < paths.size(); ++i) {
        removeOwnedPath(paths[i]);
        if (isPresent(paths[i])) allGone = false;
    }
    if (!allGone) return VARNIX_HELPER_NOT_REMOVED;
    removeOwnedPath(paths.back());
    return isPresent(paths.back()) ? VARNIX_HELPER_NOT_REMOVED : VARNIX_HELPER_DONE;
}

int checkTarget(const WideString& directory) {
    switch (varnix::setup::checkTargetDirectory(directory)) {
        case varnix::setup::TargetVerdict::Acceptable:
            return VARNIX_HELPER_DONE;
        case varnix::setup::TargetVerdict::Protected:
            return VARNIX_HELPER_PROTECTED_DIRECTORY;
        case varnix::setup::TargetVerdict::Unwritable:
            break;
    }
    return VARNIX_HELPER_UNWRITABLE_DIRECTORY;
}

int run(const std::vector<WideString>& arguments) {
    if (arguments.size() != 2 || arguments[1].empty()) return VARNIX_HELPER_USAGE;
    const WideString& command = arguments[0];
    const WideString path = varnix::setup::resolvedPath(arguments[1]);
    if (command == L"running") {
        return isAnythingOfRootRunning(path) ? VARNIX_HELPER_RUNNING : VARNIX_HELPER_DONE;
    }
    if (command == L"check-target") return checkTarget(arguments[1]);
    if (command == L"remove") return removeRoot(path, false);
    if (command == L"remove-registered") return removeRoot(path, true);
    return VARNIX_HELPER_USAGE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    try {
        return run(commandLineArguments());
    } catch (...) {
        return VARNIX_HELPER_USAGE;
    }
}
