#pragma once
// A fresh scratch directory per test, removed afterwards.

#include <windows.h>

#include <string>

#include "platform/fs.h"
#include "platform/path.h"

namespace varnix_test {

class ScratchDirectory {
  public:
    ScratchDirectory() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        static unsigned counter = 0;
        path_ = varnix::joinPath(temp, L"varnix_unit_" + std::to_wstring(GetCurrentProcessId()) +
                                           L"_" + std::to_wstring(++counter));
        varnix::deleteDirectoryTree(path_);
        varnix::ensureDirectory(path_);
    }
    ~ScratchDirectory() { varnix::deleteDirectoryTree(path_); }

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return varnix::joinPath(path_, name); }

  private:
    std::wstring path_;
};

}  // namespace varnix_test
