// Read-only registry stand-in over a registry-editor style text file.
#include "platform/Registry.h"

#include "platform/Files.h"

#include "platform/Text.h"

#include <cstdlib>
#include <sstream>

namespace plat {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string_view trimKeyPath(std::string_view s) {
    s = trim(s);
    while (!s.empty() && s.front() == '\\')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == '\\')
        s.remove_suffix(1);
    return s;
}

// A quoted text starting at s[0] == '"'; the rest after the closing quote goes to rest.
bool unquote(std::string_view s, std::string& out, std::string_view& rest) {
    out.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else if (s[i] == '"') {
            rest = s.substr(i + 1);
            return true;
        } else {
            out += s[i];
        }
    }
    return false;
}

bool parseDword(std::string_view s, uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

} // namespace

Registry::Registry(RegistryRoot root) : root_(root) {
    const char* file = std::getenv(RegistryFileVariable);
    if (file && *file) *this = Registry(root, file);
}

Registry::Registry(RegistryRoot root, const std::string& fileName) : root_(root) {
    if (fileName.empty()) return;
    std::string text;
    if (FileReadAll(fileName, text) != 0) return;
    parse(text);
}

void Registry::parse(const std::string& text) {
    Key* key = nullptr; // the section being read; null inside an unknown root
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            line.remove_prefix(1);
            if (size_t close = line.find(']'); close != std::string_view::npos) line = line.substr(0, close);
            line = trimKeyPath(line);
            size_t slash = line.find('\\');
            std::string_view rootName = line.substr(0, slash);
            std::string_view path =
                slash == std::string_view::npos ? std::string_view() : line.substr(slash + 1);
            key = nullptr;
            RegistryRoot r;
            if (SameTextAscii(rootName, "HKEY_LOCAL_MACHINE") || SameTextAscii(rootName, "HKLM"))
                r = RegistryRoot::LocalMachine;
            else if (SameTextAscii(rootName, "HKEY_CURRENT_USER") || SameTextAscii(rootName, "HKCU"))
                r = RegistryRoot::CurrentUser;
            else
                continue;
            if (r != root_) continue;
            path = trimKeyPath(path);
            for (Key& k : keys_)
                if (SameTextAscii(k.path, path)) key = &k;
            if (!key) key = &keys_.emplace_back(Key{std::string(path), {}});
            continue;
        }
        if (!key) continue;

        Value v;
        std::string_view rest = line;
        if (line.front() == '"') {
            if (!unquote(line, v.name, rest)) continue;
            rest = trim(rest);
            if (rest.empty() || rest.front() != '=') continue;
            rest.remove_prefix(1);
        } else {
            size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            v.name = std::string(trim(line.substr(0, eq)));
            rest = line.substr(eq + 1);
        }
        rest = trim(rest);
        if (!rest.empty() && rest.front() == '"') {
            std::string_view after;
            if (!unquote(rest, v.text, after) || !trim(after).empty()) continue;
        } else if (rest.size() >= 6 && SameTextAscii(rest.substr(0, 6), "dword:")) {
            if (!parseDword(trim(rest.substr(6)), v.dword)) continue;
            v.isDword = true;
        } else {
            v.text = std::string(rest);
        }
        bool dup = false;
        for (const Value& old : key->values)
            dup = dup || SameTextAscii(old.name, v.name);
        if (!dup) key->values.push_back(std::move(v));
    }
}

const Registry::Key* Registry::findKey(std::string_view key) const {
    key = trimKeyPath(key);
    for (const Key& k : keys_)
        if (SameTextAscii(k.path, key)) return &k;
    return nullptr;
}

bool Registry::KeyExists(std::string_view key) const {
    key = trimKeyPath(key);
    if (key.empty()) return true; // the root
    for (const Key& k : keys_)
        if (SameTextAscii(k.path, key) || (k.path.size() > key.size() && k.path[key.size()] == '\\' &&
                                           SameTextAscii(k.path.substr(0, key.size()), key)))
            return true;
    return false;
}

bool Registry::OpenKeyReadOnly(std::string_view key) {
    open_ = KeyExists(key);
    const Key* k = open_ ? findKey(key) : nullptr;
    current_ = k ? static_cast<size_t>(k - keys_.data()) : keys_.size();
    return open_;
}

void Registry::CloseKey() {
    open_ = false;
}

const Registry::Value* Registry::findValue(std::string_view name) const {
    const Key* k = current();
    if (!k) return nullptr;
    for (const Value& v : k->values)
        if (SameTextAscii(v.name, name)) return &v;
    return nullptr;
}

bool Registry::ValueExists(std::string_view name) const {
    return findValue(name) != nullptr;
}

std::vector<std::string> Registry::GetValueNames() const {
    std::vector<std::string> out;
    if (const Key* k = current())
        for (const Value& v : k->values)
            out.push_back(v.name);
    return out;
}

std::string Registry::ReadString(std::string_view name) const {
    const Value* v = findValue(name);
    if (!v) return {};
    if (v->isDword) throw RegistryError("Invalid data type for '" + std::string(name) + "'");
    return v->text;
}

int32_t Registry::ReadInteger(std::string_view name) const {
    const Value* v = findValue(name);
    if (!v || !v->isDword) throw RegistryError("Invalid data type for '" + std::string(name) + "'");
    return static_cast<int32_t>(v->dword);
}

} // namespace plat
