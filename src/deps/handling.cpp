#include "deps/handling.h"

#include "packages/install.h"
#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/launch_outcome.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

constexpr wchar_t kBullet[] = L"\u2022 ";

WideString joinNames(const std::vector<ByteString>& names) {
    WideString joined;
    for (size_t i = 0; i < names.size(); ++i)
        joined += (i ? L", " : L"") + utf8ToWide(names[i]);
    return joined;
}

// The first manifest entry of each requested name; false at the first name without one.
bool findRequestedEntries(const DependencyRequest& request, const Manifest& manifest,
                          std::vector<const PackageEntry*>& entries, ByteString& missingName) {
    for (const ByteString& name : request.packages) {
        const PackageEntry* found = nullptr;
        for (const PackageEntry& entry : manifest) {
            if (entry.name == name) {
                found = &entry;
                break;
            }
        }
        if (found == nullptr) {
            missingName = name;
            return false;
        }
        entries.push_back(found);
    }
    return true;
}

}  // namespace

bool parseDependencyRequest(const WideString& systemDir, DependencyRequest& request) {
    request = DependencyRequest{};
    const WideString path = joinPath(systemDir, kDependencyRequestFileName);
    if (!isExistingFile(path)) return false;
    const ByteString content = readWholeFile(path);
    if (content.empty()) return false;
    return parseDependencyRequestText(content, request);
}

void deleteStaleDependencyRequest(const WideString& systemDir) {
    const WideString path = joinPath(systemDir, kDependencyRequestFileName);
    if (isExistingFile(path)) forceDeleteFile(path);
}

WideString buildDependencyPrompt(const DependencyRequest& request) {
    WideString prompt = L"Varnix сообщил, что для новой функции нужен дополнительный пакет.\n\n";
    if (!request.reason.empty()) {
        prompt += L"Причина:\n" + utf8ToWide(request.reason) + L"\n\n";
    }
    prompt += L"Пакеты:\n";
    for (const ByteString& name : request.packages)
        prompt += kBullet + utf8ToWide(name) + L"\n";
    if (!request.missing.empty()) {
        prompt += L"\nОтсутствующие файлы:\n";
        for (const ByteString& item : request.missing) {
            if (!item.empty()) prompt += kBullet + utf8ToWide(item) + L"\n";
        }
    }
    return prompt + L"\nСкачать и установить пакет?";
}

bool handleDependencyRequest(const WideString& rootDir, const WideString& systemDir,
                             const Manifest& manifest, RollbackTransaction& transaction,
                             WideString& errorText, LaunchFunction launch) {
    DependencyRequest request;
    if (!parseDependencyRequest(systemDir, request)) {
        errorText =
            L"Varnix запросил дополнительный пакет, но файл dependency_request.txt не "
            L"найден или повреждён.";
        logWrite(
            L"Dependency request exit code received, but dependency_request.txt not found "
            L"or invalid.");
        return false;
    }
    logWrite(L"Dependency request received. Packages: " + joinNames(request.packages));

    std::vector<const PackageEntry*> entries;
    ByteString missingName;
    if (!findRequestedEntries(request, manifest, entries, missingName)) {
        errorText =
            L"Varnix запросил пакет, которого нет в manifest.txt:\n\n" + utf8ToWide(missingName);
        logWrite(L"Dependency package not found in manifest: " + utf8ToWide(missingName));
        return false;
    }
    if (!askYesNo(L"Нужны дополнительные пакеты", buildDependencyPrompt(request))) {
        logWrite(L"User declined dependency packages install.");
        return false;
    }
    for (const PackageEntry* entry : entries) {
        const WideString name = utf8ToWide(entry->name);
        logWrite(L"Installing dependency package: " + name);
        if (!installPackage(rootDir, systemDir, *entry, errorText, showInfo)) {
            logWrite(L"Dependency package install failed: " + name + L" / " + errorText);
            return false;
        }
        recordInstalled(transaction, *entry);
    }
    deleteStaleDependencyRequest(systemDir);

    logWrite(L"Launching Varnix after dependency package install.");
    const LaunchResult result = launch(rootDir, systemDir);
    if (result.succeeded()) {
        logWrite(L"Varnix launched successfully after dependency package install.");
        removeRollbackData(rootDir, systemDir);
        return true;
    }
    errorText =
        L"Пакет был установлен, но Varnix всё равно не запустился корректно.\n\nLaunch "
        L"error: " +
        win32ErrorText(result.win32Error) + L"\nExit code: " + decimal(result.exitCode);
    logWrite(L"Varnix failed after dependency package install. Launch error: " +
             launchFailureText(result));
    return false;
}

}  // namespace varnix
