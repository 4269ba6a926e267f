#pragma once
// Which manifest values may become paths on the user's machine. A signed line is trusted to
// name packages, not to reach outside the root: a name or an archive is one plain file name, a
// listed item is a relative path below the system directory that stays clear of the store's own
// files. Header-only and free of Windows headers, so the release tool refuses a manifest by the
// very rules the launcher parses it with.

#include <string_view>

#include "varnix/control_characters.h"

namespace varnix {

// The store's own names: the marker directory under the system directory and the bookkeeping
// files at the top of every package backup. One spelling each, for the launcher and the tool.
inline constexpr char kMarkerDirectoryName[] = ".packages";
inline constexpr char kMissingFilesName[] = "_missing_files.txt";
inline constexpr char kSavedMarkerName[] = ".package_marker.sha256";
inline constexpr char kMarkerMissingName[] = ".package_marker.missing";
inline constexpr char kBackupCompleteName[] = ".backup_complete";
// Beside a backup whose restore could not put every file back: the listed items to restore.
inline constexpr char kRestorePendingName[] = ".restore_pending";
// What a durable write appends to a file's name for the temporary it renames over the file.
inline constexpr char kDurableTemporarySuffix[] = ".tmp";
// The package that carries the launcher's successor, and the directory it installs it into.
inline constexpr char kLauncherPackageName[] = "launcher";

namespace value_rules {

constexpr char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

// Malformed UTF-8 converts to an empty wide text, and an empty component collapses a path onto
// its parent: "_rollback\" + "" is the whole rollback directory.
constexpr bool isWellFormedUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
        }
        i += length;
    }
    return true;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (also with the superscript digits Windows treats alike),
// whatever follows the first dot and whatever the letter case.
constexpr bool isDeviceName(std::string_view segment) {
    std::string_view base = segment.substr(0, segment.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (equalsIgnoringCase(base, device)) return true;
    }
    for (std::string_view prefix : {"COM", "LPT"}) {
        if (base.size() < 4 || !equalsIgnoringCase(base.substr(0, 3), prefix)) continue;
        const std::string_view digit = base.substr(3);
        if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
        for (std::string_view superscript : {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"}) {
            if (digit == superscript) return true;
        }
    }
    return false;
}

// White space as .NET's Char.IsWhiteSpace knows it, less what the control list already refuses.
// Newer versions of the archive module trim every part of an entry's path with String.Trim()
// after they have checked it, so "..\u00A0" or ".packages\u3000" would become ".." and ".packages"
// only when the file is written.
constexpr bool isTrimmedWhiteSpace(char32_t c) {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The first and the last character of a well-formed UTF-8 part.
constexpr bool startsOrEndsWithWhiteSpace(std::string_view segment) {
    size_t last = segment.size() - 1;
    while (last > 0 && (static_cast<unsigned char>(segment[last]) & 0xC0u) == 0x80u)
        --last;
    for (size_t at : {size_t{0}, last}) {
        const control_characters::Decoded decoded = control_characters::decodeUtf8(segment, at);
        if (decoded.length != 0 && isTrimmedWhiteSpace(decoded.codePoint)) return true;
    }
    return false;
}

// One file or directory name; empty when it may be used, else why not.
constexpr std::string_view segmentProblem(std::string_view segment) {
    if (segment.empty()) return "has an empty part";
    if (segment == "." || segment == "..") return "has a \".\" or \"..\" part";
    for (size_t at = 0; at < segment.size(); ++at) {
        if (controlCharacterLength(segment, at) != 0) return "holds a control character";
        if (std::string_view("<>:\"|?*").find(segment[at]) != std::string_view::npos)
            return "holds one of <>:\"|?*";
    }
    if (segment.back() == '.' || segment.back() == ' ')
        return "has a part ending in a dot or blank";
    if (startsOrEndsWithWhiteSpace(segment))
        return "has a part that starts or ends with white space";
    if (isDeviceName(segment)) return "names a DOS device";
    return {};
}

}  // namespace value_rules

// A package name or archive name: exactly one path component. Empty result when valid.
constexpr std::string_view componentProblem(std::string_view value) {
    if (value.empty()) return "is empty";
    if (!value_rules::isWellFormedUtf8(value)) return "is not valid UTF-8";
    if (value.find_first_of("/\\") != std::string_view::npos) return "holds a path separator";
    return value_rules::segmentProblem(value);
}

// One non-empty item of a package's file list: "/" and "\" both separate, neither may lead.
constexpr std::string_view listedItemProblem(std::string_view item) {
    if (item.empty()) return "is empty";
    if (!value_rules::isWellFormedUtf8(item)) return "is not valid UTF-8";
    if (item[0] == '/' || item[0] == '\\') return "starts with a separator";
    size_t segments = 0;
    for (size_t start = 0;;) {
        const size_t end = item.find_first_of("/\\", start);
        const std::string_view segment = item.substr(start, end - start);
        if (std::string_view problem = value_rules::segmentProblem(segment); !problem.empty())
            return problem;
        if (segments++ == 0) {
            if (value_rules::equalsIgnoringCase(segment, kMarkerDirectoryName))
                return "lies in the marker directory";
            // Also as a directory: its copy would stand where the backup writes that file. And as
            // its durable write's temporary, which that write deletes first.
            for (std::string_view reserved :
                 {kMissingFilesName, kSavedMarkerName, kMarkerMissingName, kBackupCompleteName,
                  kRestorePendingName}) {
                if (value_rules::equalsIgnoringCase(segment.substr(0, reserved.size()), reserved) &&
                    (segment.size() == reserved.size() ||
                     value_rules::equalsIgnoringCase(segment.substr(reserved.size()),
                                                     kDurableTemporarySuffix)))
                    return "is a backup's own file";
            }
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return {};
}

namespace value_rules {

constexpr bool isAsciiAlphanumeric(char c) {
    return (c >= '0' && c <= '9') || (upper(c) >= 'A' && upper(c) <= 'Z');
}

// A name shaped like an 8.3 alias: at most eight characters before the first dot, at most three
// after it, and a "~" followed by letters or digits only ("PACKAG~1" as Windows makes it,
// "_PAC~QXC" as Wine makes it). The file system resolves such a name to whatever long name
// carries that alias, so ".packages" could be reached under a name that never spells it.
constexpr bool isShortNameAlias(std::string_view segment) {
    const size_t dot = segment.find('.');
    const std::string_view base = segment.substr(0, dot);
    const std::string_view extension =
        dot == std::string_view::npos ? std::string_view() : segment.substr(dot + 1);
    const size_t tilde = base.find('~');
    if (base.size() > 8 || extension.size() > 3 || tilde == std::string_view::npos || tilde == 0 ||
        tilde + 1 == base.size()) {
        return false;
    }
    for (char c : base.substr(tilde + 1)) {
        if (!isAsciiAlphanumeric(c)) return false;
    }
    return true;
}

}  // namespace value_rules

// One entry name of a package's archive (the extraction writes every entry, listed or not):
// what a listed item may be, never below the launcher's directory unless the package is the
// launcher's, and never a first part that the file system could resolve to the marker directory.
// A directory entry is checked without its trailing separator. Empty result when allowed.
constexpr std::string_view archiveEntryProblem(std::string_view entry,
                                               std::string_view packageName) {
    if (!entry.empty() && (entry.back() == '/' || entry.back() == '\\')) entry.remove_suffix(1);
    if (std::string_view problem = listedItemProblem(entry); !problem.empty()) return problem;
    const std::string_view first = entry.substr(0, entry.find_first_of("/\\"));
    if (value_rules::isShortNameAlias(first)) return "starts with a short-name alias";
    if (value_rules::equalsIgnoringCase(first, kLauncherPackageName) &&
        packageName != kLauncherPackageName) {
        return "lies in the launcher's directory";
    }
    return {};
}

constexpr bool isSafeComponent(std::string_view value) {
    return componentProblem(value).empty();
}

constexpr bool isSafeListedItem(std::string_view item) {
    return listedItemProblem(item).empty();
}

}  // namespace varnix
