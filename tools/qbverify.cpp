// qbverify: checks every structure of a table file ("QB2") and lists each problem it finds with
// the block number (the first 1,000, then how many more). Exit status 0 when the file is sound,
// 1 when problems were found, 2 when the file could not be opened at all.
#include "db/storage/qbtbverify.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qbverify <table file>\n");
        return 2;
    }
    TqbVerifyReport report;
    try {
        report = VerifyTableFileOnDisk(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 2;
    }
    if (report.empty()) {
        std::printf("%s: no problems found\n", argv[1]);
        return 0;
    }
    std::fputs(FormatVerifyProblems(report).c_str(), stdout);
    std::printf("%s: %llu problem(s)\n", argv[1], static_cast<unsigned long long>(report.Count));
    return 1;
}
