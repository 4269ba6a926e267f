#include "platform/redact.h"

namespace varnix {
namespace {

WideString replaceAll(const WideString& text, const WideString& pattern, const WideString& token) {
    if (pattern.empty()) return text;
    WideString result;
    result.reserve(text.size());
    size_t from = 0;
    for (size_t at = text.find(pattern); at != WideString::npos; at = text.find(pattern, from)) {
        result.append(text, from, at - from);
        result += token;
        from = at + pattern.size();
    }
    result.append(text, from, WideString::npos);
    return result;
}

}  // namespace

WideString redactSiteUrls(const WideString& line, const WideString& host) {
    if (host.empty()) return line;
    WideString result = replaceAll(line, L"https://" + host, L"[HTTPS:SITE]");
    result = replaceAll(result, L"http://" + host, L"[HTTP:SITE]");
    return replaceAll(result, host, L"[SITE]");
}

}  // namespace varnix
