#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace varnix_repo {

// Each command writes its messages to `out` (results) and `err` (problems) and returns the
// process exit code: 0 on success.
int keygenCommand(const std::string& outDir, std::ostream& out, std::ostream& err);
int signCommand(const std::string& keyPath, const std::string& file, const std::string& sigPath,
                std::ostream& out, std::ostream& err);
struct PublishOptions {
    std::string keyPath, listPath, outDir;
    std::string activateLink;  // switched to the new release when given
    std::string liveLink;      // the live release, when it is not the one to switch
    std::string serial;        // empty: the default serial
    bool forceSerial = false;
    long expiresInDays = -1;  // negative: no expires line
};
int publishCommand(const PublishOptions& options, std::ostream& out, std::ostream& err);

struct RollbackOptions {
    std::string link, keyPath, publicKeyPath;
    std::string to;  // empty: the release before the live one in LINK.history
    long expiresInDays = -1;
};
// Re-publishes an earlier release's packages under a new, higher serial and switches to it.
int rollbackCommand(const RollbackOptions& options, std::ostream& out, std::ostream& err);
int verifyCommand(const std::string& publicKeyPath, const std::string& siteDir, std::ostream& out,
                  std::ostream& err);

}  // namespace varnix_repo
