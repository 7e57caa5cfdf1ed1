// Path helpers over both separators and the case-insensitive file-name lookup.
#include "platform/Paths.h"

#include "platform/Text.h"

#include "platform/Files.h"

#include <algorithm>
#include <vector>

namespace plat {

bool IsPathDelimiter(char c) {
    return c == '\\' || c == '/';
}

namespace {

// Index just past the last separator (0 when there is none).
size_t nameStart(std::string_view path) {
    for (size_t i = path.size(); i > 0; --i)
        if (IsPathDelimiter(path[i - 1])) return i;
    return 0;
}

// Index of the extension's dot within path, or npos.
size_t extStart(std::string_view path) {
    size_t start = nameStart(path);
    size_t dot = path.rfind('.');
    return dot != std::string_view::npos && dot >= start ? dot : std::string_view::npos;
}

} // namespace

PathParts SplitPath(std::string_view path) {
    size_t start = nameStart(path);
    size_t dot = extStart(path);
    PathParts p;
    p.folder = std::string(path.substr(0, start));
    if (dot == std::string_view::npos) {
        p.name = std::string(path.substr(start));
    } else {
        p.name = std::string(path.substr(start, dot - start));
        p.ext = std::string(path.substr(dot));
    }
    return p;
}

std::string ExtractFilePath(std::string_view path) {
    return std::string(path.substr(0, nameStart(path)));
}

std::string ExtractFileDir(std::string_view path) {
    return ExcludeTrailingPathDelimiter(ExtractFilePath(path));
}

std::string ExtractFileName(std::string_view path) {
    return std::string(path.substr(nameStart(path)));
}

std::string ExtractFileExt(std::string_view path) {
    size_t dot = extStart(path);
    return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
    size_t dot = extStart(path);
    std::string out(path.substr(0, dot == std::string_view::npos ? path.size() : dot));
    out += ext;
    return out;
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
    std::string out(path);
    if (!out.empty() && !IsPathDelimiter(out.back())) out += '/';
    return out;
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
    size_t n = path.size();
    while (n > 1 && IsPathDelimiter(path[n - 1]))
        --n;
    return std::string(path.substr(0, n));
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    while (!name.empty() && IsPathDelimiter(name.front()))
        name.remove_prefix(1);
    if (folder.empty()) return std::string(name);
    std::string out = ExcludeTrailingPathDelimiter(folder);
    if (!IsPathDelimiter(out.back())) out += '/';
    out += name;
    return out;
}

std::string ToNativePath(std::string_view path) {
    std::string out(path);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

std::string ResolveCaseInsensitive(std::string_view folder, std::string_view name) {
    std::string given = ToNativePath(JoinPath(folder, name));
    if (name.empty() || FileExists(given)) return given;

    std::vector<DirEntry> entries;
    DirList(folder, entries);
    std::vector<std::string> matches;
    for (auto& e : entries)
        if (SameTextAscii(e.name, name)) matches.push_back(std::move(e.name));
    if (matches.empty()) return given;
    return ToNativePath(JoinPath(folder, *std::min_element(matches.begin(), matches.end())));
}

std::string ResolveCaseInsensitive(std::string_view path) {
    size_t start = nameStart(path);
    return ResolveCaseInsensitive(path.substr(0, start), path.substr(start));
}

} // namespace plat
