// Path helpers that accept both '\' and '/' as separators, and the case-insensitive lookup of
// table, journal and configuration file names inside a folder.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// '\' and '/' both separate folders; new separators are always written as '/'.
bool IsPathDelimiter(char c);

struct PathParts {
    std::string folder; // up to and including the last separator; empty when there is none
    std::string name;   // the file name without its extension
    std::string ext;    // from the last dot of the file name, dot included; empty when none
};
PathParts SplitPath(std::string_view path);

// The folder part including its trailing separator ("a\b\c.txt" -> "a\b\").
std::string ExtractFilePath(std::string_view path);
// The folder part without its trailing separator ("a/b/c.txt" -> "a/b"; "/c" -> "/").
std::string ExtractFileDir(std::string_view path);
std::string ExtractFileName(std::string_view path);
// The extension with its dot; a dot inside a folder name does not count.
std::string ExtractFileExt(std::string_view path);
// Replaces the extension (ext given with its dot; empty removes it) or appends one.
std::string ChangeFileExt(std::string_view path, std::string_view ext);

// Adds a separator unless the path is empty or already ends in one.
std::string IncludeTrailingPathDelimiter(std::string_view path);
// Drops trailing separators, but keeps a lone root "/".
std::string ExcludeTrailingPathDelimiter(std::string_view path);
// folder + name with exactly one separator between them; an empty folder gives the name.
std::string JoinPath(std::string_view folder, std::string_view name);

// Every '\' turned into '/', so that the result can be handed to the operating system.
std::string ToNativePath(std::string_view path);

// The path of an existing entry of folder whose name equals name without regard to ASCII case
// (an exact match wins; among several others the first in byte order); when there is none,
// folder joined with name as given. The result is in native form; the folder is used as given,
// never case-folded. An empty folder means the current directory and gives a relative result.
std::string ResolveCaseInsensitive(std::string_view folder, std::string_view name);
// The same for a whole path: its folder part as given, its file name looked up.
std::string ResolveCaseInsensitive(std::string_view path);

} // namespace plat
