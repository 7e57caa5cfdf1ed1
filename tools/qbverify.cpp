// qbverify: checks every structure of a table file ("QB2") and lists each problem it finds with
// the block number. Exit status 0 when the file is sound, 1 when problems were found, 2 when the
// file could not be opened at all.
#include "db/storage/qbtbverify.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qbverify <table file>\n");
        return 2;
    }
    TqbBufferManager bm;
    auto fi = AllocFileInfo(argv[1], "QB2", &bm);
    try {
        OpenFile(*fi, false, 2, false, false);
        TqbBlockRelease r;
        bm.AddFile(*fi, nullptr, r, false);
        r();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", fi->FileName.c_str(), e.what());
        return 2;
    }
    const auto problems = VerifyTableFile(*fi, nullptr);
    bm.RemoveFile(*fi);
    CloseFile(*fi);
    if (problems.empty()) {
        std::printf("%s: no problems found\n", fi->FileName.c_str());
        return 0;
    }
    std::fputs(FormatVerifyProblems(problems).c_str(), stdout);
    std::printf("%s: %zu problem(s)\n", fi->FileName.c_str(), problems.size());
    return 1;
}
