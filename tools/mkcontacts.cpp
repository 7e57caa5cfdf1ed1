// mkcontacts: builds the paging client's contacts table with the demo contacts in a folder, through
// the in-process engine (its configuration tables go to the same folder). A table that is there
// already is never touched; one that cannot be read is a failure. A folder that gets the demo
// contacts and has no settings file also gets one naming the demo's groups. Exit status 0 when the
// table was made or was there, 1 on failure, 2 on a wrong command line.
#include "app/ContactsTable.h"
#include "db/base/qbsrmgr.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

std::string describe(TqbResultCode code) {
    std::string text;
    try {
        text = CompatErrorStrings().GetText(code);
    } catch (const std::exception&) {
    }
    return "error " + std::to_string(code) + (text.empty() ? "" : ": " + text);
}

// The settings file the program reads in the folder, unless the folder has one (its name matched
// without regard to case): the demo's group names, so that its groups show.
void writeDemoSettings(const std::string& folder) {
    const std::string file = plat::ResolveCaseInsensitive(folder, "snppqorn.ini");
    if (plat::FileExists(file)) return;
    plat::ProfileFile ini(file);
    for (size_t i = 0; i < kDemoGroupNames.size(); ++i)
        ini.WriteString("Groups", "group" + std::to_string(i + 1) + "Name", kDemoGroupNames[i]);
    std::printf("%s: settings file made with the demo's group names\n", folder.c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkcontacts <folder>\n"
                             "Builds the contacts table with demo contacts unless the folder has one.\n");
        return 2;
    }
    std::error_code ec;
    std::string folder = std::filesystem::absolute(argv[1], ec).lexically_normal().string();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (ec || !std::filesystem::is_directory(folder, ec)) {
        std::fprintf(stderr, "%s: no such folder\n", argv[1]);
        return 1;
    }
    try {
        // What the start found of an earlier run cut short (journals, stray files) is said by name.
        auto recovered = [&](const std::string& line) {
            std::printf("%s: %s\n", folder.c_str(), line.c_str());
        };
        // The settings come before the table has its name: a run cut short in between is run again.
        if (makeContactsTable(folder, contactsDictionary(), kDemoContacts, recovered,
                              [&] { writeDemoSettings(folder); })) {
            std::printf("%s: contacts table made with %zu demo contacts\n", folder.c_str(),
                        kDemoContacts.size());
        } else
            std::printf("%s: contacts table exists already, left as it is\n", folder.c_str());
        return 0;
    } catch (const ContactsTableError& f) {
        std::fprintf(stderr, "%s: %s failed (%s)%s\n", folder.c_str(), f.step.c_str(),
                     describe(f.code).c_str(), f.detail.empty() ? "" : (": " + f.detail).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", folder.c_str(), e.what());
    }
    return 1;
}
