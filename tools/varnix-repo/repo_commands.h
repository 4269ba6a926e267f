#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace varnix_repo {

// Each command writes its messages to `out` (results) and `err` (problems) and returns the
// process exit code: 0 on success.
int keygenCommand(const std::string& outDir, std::ostream& out, std::ostream& err);
// Refuses a file with a "package|" line that the launcher would skip, unless `unchecked`.
int signCommand(const std::string& keyPath, const std::string& file, const std::string& sigPath,
                bool unchecked, std::ostream& out, std::ostream& err);
int publishCommand(const std::string& keyPath, const std::string& listPath,
                   const std::string& outDir, const std::string& activateLink, std::ostream& out,
                   std::ostream& err);
int verifyCommand(const std::string& publicKeyPath, const std::string& siteDir, std::ostream& out,
                  std::ostream& err);

}  // namespace varnix_repo
