// Network names of paths. Linux has no drive letters mapped to shares: a network file system is
// mounted into the one tree, and its local path is the name this program can open, so the
// network name of a path is the path itself.
#pragma once
#include <string>
#include <string_view>

std::string PathToUNC(std::string_view Path);
// The full path first (relative to the current folder, "." and ".." resolved).
std::string PathExpandUNC(std::string_view Path);
