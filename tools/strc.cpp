// String-table compiler: turns text tables into "STR0" resources inside a generated C++ file.
//
// Input lines: "<id> <text>" (id in decimal, then one blank or tab); '#' starts a comment line;
// escapes \n \r \t \\ in the text. The file's base name is the resource name. Texts are UTF-8.
#include "platform/Resources.h"
#include "platform/Text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::u16string utf8ToUtf16(const std::string& s, bool& ok) {
    std::u16string r;
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        const int n = plat::DecodeUtf8(s, i, cp);
        if (n <= 0) {
            ok = false;
            return r;
        }
        i += size_t(n);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            r.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            r.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            r.push_back(static_cast<char16_t>(cp));
        }
    }
    return r;
}

std::string unescape(const std::string& s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[++i];
            r.push_back(n == 'n' ? '\n' : n == 'r' ? '\r' : n == 't' ? '\t' : n);
        } else {
            r.push_back(s[i]);
        }
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: pw_strc <function-name> <out.cpp> <table.str>...\n";
        return 2;
    }
    std::string fn = argv[1];
    std::ostringstream code;
    code << "// Generated from the string-table texts; do not edit.\n"
         << "#include \"platform/Resources.h\"\n#include <mutex>\n\nnamespace {\n";
    std::vector<std::string> names;
    for (int a = 3; a < argc; ++a) {
        std::string path = argv[a];
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cerr << path << ": cannot open\n";
            return 1;
        }
        std::string base = path.substr(path.find_last_of("/\\") + 1);
        base = base.substr(0, base.find('.'));
        std::vector<std::pair<uint32_t, std::u16string>> entries;
        std::string line;
        int lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty() || line[0] == '#') continue;
            size_t sp = line.find_first_of(" \t");
            std::string idText = line.substr(0, sp);
            char* end = nullptr;
            unsigned long id = std::strtoul(idText.c_str(), &end, 10);
            if (idText.empty() || *end != '\0' || id > 0xFFFFFFFFul) {
                std::cerr << path << ":" << lineNo << ": bad id\n";
                return 1;
            }
            bool ok = true;
            auto text = utf8ToUtf16(unescape(sp == std::string::npos ? "" : line.substr(sp + 1)), ok);
            if (!ok) {
                std::cerr << path << ":" << lineNo << ": bad UTF-8\n";
                return 1;
            }
            entries.emplace_back(static_cast<uint32_t>(id), text);
        }
        auto bytes = plat::BuildStringTable(std::move(entries));
        code << "const unsigned char t" << names.size() << "[] = {";
        for (size_t i = 0; i < bytes.size(); ++i)
            code << (i % 24 ? "" : "\n ") << int(bytes[i]) << ",";
        code << "\n};\n";
        names.push_back(base);
    }
    code << "} // namespace\n\nvoid " << fn << "() {\n    static std::once_flag once;\n"
         << "    std::call_once(once, [] {\n";
    for (size_t i = 0; i < names.size(); ++i)
        code << "        plat::RegisterResource(\"" << names[i] << "\", t" << i << ", sizeof t" << i
             << ");\n";
    code << "    });\n}\n";
    std::string out = argv[2];
    std::ifstream old(out, std::ios::binary);
    std::stringstream prev;
    prev << old.rdbuf();
    if (prev.str() != code.str()) {
        std::ofstream o(out, std::ios::binary | std::ios::trunc);
        o << code.str();
        if (!o) {
            std::cerr << out << ": cannot write\n";
            return 1;
        }
    }
    return 0;
}
