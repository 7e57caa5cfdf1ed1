// Network names of paths: the path itself on this platform.
#include "db/storage/qbllunc.h"

#include "db/base/qbllbase.h"

std::string PathToUNC(std::string_view Path) {
    return std::string(Path);
}

std::string PathExpandUNC(std::string_view Path) {
    return PathToUNC(PathExpand(Path));
}
