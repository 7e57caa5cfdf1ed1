// Profile ("INI") files: lenient line parser, in-place updates and replace-by-rename writes.
#include "platform/Profile.h"

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <cerrno>

namespace plat {

struct ProfileFile::Content {
    std::vector<std::string> lines; // without their line ends
    bool crlf = false;
};

namespace {

constexpr size_t npos = std::string::npos;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

enum class Kind { Other, Section, Key };

struct Line {
    Kind kind = Kind::Other;
    std::string_view name;
    std::string_view value;
};

Line parseLine(std::string_view raw) {
    std::string_view s = trim(raw);
    Line l;
    if (s.empty() || s.front() == ';' || s.front() == '#') return l;
    if (s.front() == '[') {
        s.remove_prefix(1);
        size_t close = s.find(']');
        l.kind = Kind::Section;
        l.name = trim(close == npos ? s : s.substr(0, close));
        return l;
    }
    size_t eq = s.find('=');
    if (eq == npos) return l;
    l.kind = Kind::Key;
    l.name = trim(s.substr(0, eq));
    std::string_view v = trim(s.substr(eq + 1));
    if (v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\''))
        v = v.substr(1, v.size() - 2);
    l.value = v;
    return l;
}

// Calls fn(index, line) for every key line inside any occurrence of the section.
template <class Fn> void forEachKey(const std::vector<std::string>& lines, std::string_view section, Fn fn) {
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        Line l = parseLine(lines[i]);
        if (l.kind == Kind::Section)
            inSection = SameTextAscii(l.name, section);
        else if (l.kind == Kind::Key && inSection)
            fn(i, l);
    }
}

size_t findKey(const std::vector<std::string>& lines, std::string_view section, std::string_view key) {
    size_t found = npos;
    forEachKey(lines, section, [&](size_t i, const Line& l) {
        if (found == npos && SameTextAscii(l.name, key)) found = i;
    });
    return found;
}

bool hasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != npos;
}

std::string checkedSection(std::string_view section) {
    std::string_view s = trim(section);
    if (s.empty() || hasLineBreak(s) || s.find(']') != npos)
        throw ProfileError("Invalid section name: " + std::string(section));
    return std::string(s);
}

std::string checkedKey(std::string_view key) {
    std::string_view k = trim(key);
    if (k.empty() || hasLineBreak(k) || k.find('=') != npos || k.front() == '[' || k.front() == ';' ||
        k.front() == '#')
        throw ProfileError("Invalid key name: " + std::string(key));
    return std::string(k);
}

// Quoted when blanks at either end or a surrounding pair of quotes would otherwise be lost.
std::string encodeValue(std::string_view v) {
    if (hasLineBreak(v)) throw ProfileError("A profile value cannot hold a line break");
    bool quote =
        !v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t' ||
                       (v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\'')));
    return quote ? "\"" + std::string(v) + "\"" : std::string(v);
}

} // namespace

ProfileFile::ProfileFile(std::string_view fileName) : fileName_(ToNativePath(fileName)) {}

ProfileFile::Content ProfileFile::load(bool forWrite) const {
    Content c;
    std::string data;
    if (int err = FileReadAll(ResolveCaseInsensitive(fileName_), data)) {
        // Rewriting a file that exists but cannot be read would lose its other settings.
        if (forWrite && err != ENOENT && err != ENOTDIR)
            throw ProfileError("Unable to write to " + fileName_);
        return c;
    }
    size_t pos = 0;
    while (pos < data.size()) {
        size_t end = data.find('\n', pos);
        size_t next = end == npos ? data.size() : end + 1;
        if (end == npos) end = data.size();
        if (end > pos && data[end - 1] == '\r') {
            c.crlf = true;
            --end;
        }
        c.lines.emplace_back(data, pos, end - pos);
        pos = next;
    }
    return c;
}

void ProfileFile::save(const Content& c) const {
    const std::string target = ResolveCaseInsensitive(fileName_);
    const char* eol = c.crlf ? "\r\n" : "\n";
    std::string data;
    for (const std::string& l : c.lines) {
        data += l;
        data += eol;
    }

    if (FileReplaceAtomic(target, data) != 0) throw ProfileError("Unable to write to " + fileName_);
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view def) const {
    Content c = load(false);
    size_t i = findKey(c.lines, trim(section), trim(key));
    return i == npos ? std::string(def) : std::string(parseLine(c.lines[i]).value);
}

bool ProfileFile::ParseInteger(std::string_view s, int32_t& out) {
    s = trim(s);
    bool neg = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        neg = s.front() == '-';
        s.remove_prefix(1);
    }
    bool hex = false;
    if (!s.empty() && s.front() == '$') {
        hex = true;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = true;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char ch : s) {
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (hex && ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (hex && ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    // Hexadecimal spans all 32 bits (so $FFFFFFFF is -1); decimal must fit the signed range.
    if (!hex && v > (neg ? 0x80000000ull : 0x7FFFFFFFull)) return false;
    uint32_t u = static_cast<uint32_t>(v);
    out = static_cast<int32_t>(neg ? 0u - u : u);
    return true;
}

int32_t ProfileFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
    Content c = load(false);
    size_t i = findKey(c.lines, trim(section), trim(key));
    int32_t v;
    return i != npos && ParseInteger(parseLine(c.lines[i]).value, v) ? v : def;
}

bool ProfileFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void ProfileFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string sec = checkedSection(section), k = checkedKey(key);
    const std::string line = k + "=" + encodeValue(value);
    Content c = load(true);
    if (size_t i = findKey(c.lines, sec, k); i != npos) {
        c.lines[i] = line;
    } else {
        // After the last key of the section's first occurrence, or in a new section at the end.
        size_t header = npos, last = npos;
        for (size_t j = 0; j < c.lines.size(); ++j) {
            Line l = parseLine(c.lines[j]);
            if (l.kind == Kind::Section) {
                if (header != npos) break;
                if (SameTextAscii(l.name, sec)) header = last = j;
            } else if (l.kind == Kind::Key && header != npos) {
                last = j;
            }
        }
        if (header != npos) {
            c.lines.insert(c.lines.begin() + static_cast<ptrdiff_t>(last) + 1, line);
        } else {
            if (!c.lines.empty() && !trim(c.lines.back()).empty()) c.lines.emplace_back();
            c.lines.push_back("[" + sec + "]");
            c.lines.push_back(line);
        }
    }
    save(c);
}

void ProfileFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void ProfileFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

bool ProfileFile::SectionExists(std::string_view section) const {
    section = trim(section);
    for (const std::string& raw : load(false).lines) {
        Line l = parseLine(raw);
        if (l.kind == Kind::Section && SameTextAscii(l.name, section)) return true;
    }
    return false;
}

bool ProfileFile::ValueExists(std::string_view section, std::string_view key) const {
    return findKey(load(false).lines, trim(section), trim(key)) != npos;
}

std::vector<std::string> ProfileFile::ReadSections() const {
    std::vector<std::string> out;
    for (const std::string& raw : load(false).lines) {
        Line l = parseLine(raw);
        if (l.kind != Kind::Section) continue;
        bool seen = false;
        for (const std::string& s : out)
            seen = seen || SameTextAscii(s, l.name);
        if (!seen) out.emplace_back(l.name);
    }
    return out;
}

std::vector<std::string> ProfileFile::ReadSectionValues(std::string_view section) const {
    Content c = load(false);
    std::vector<std::string> keys, out;
    forEachKey(c.lines, trim(section), [&](size_t, const Line& l) {
        for (const std::string& k : keys)
            if (SameTextAscii(k, l.name)) return;
        keys.emplace_back(l.name);
        out.push_back(std::string(l.name) + "=" + std::string(l.value));
    });
    return out;
}

std::vector<std::string> ProfileFile::ReadSection(std::string_view section) const {
    std::vector<std::string> out = ReadSectionValues(section);
    for (std::string& s : out)
        s.erase(s.find('='));
    return out;
}

void ProfileFile::EraseSection(std::string_view section) {
    section = trim(section);
    Content c = load(true);
    std::vector<std::string> kept;
    bool inSection = false, changed = false;
    for (std::string& raw : c.lines) {
        Line l = parseLine(raw);
        if (l.kind == Kind::Section) inSection = SameTextAscii(l.name, section);
        if (inSection)
            changed = true;
        else
            kept.push_back(std::move(raw));
    }
    if (!changed) return;
    c.lines = std::move(kept);
    save(c);
}

void ProfileFile::DeleteKey(std::string_view section, std::string_view key) {
    section = trim(section);
    key = trim(key);
    Content c = load(true);
    std::vector<size_t> doomed;
    forEachKey(c.lines, section, [&](size_t i, const Line& l) {
        if (SameTextAscii(l.name, key)) doomed.push_back(i);
    });
    if (doomed.empty()) return;
    for (size_t n = doomed.size(); n > 0; --n)
        c.lines.erase(c.lines.begin() + static_cast<ptrdiff_t>(doomed[n - 1]));
    save(c);
}

} // namespace plat
