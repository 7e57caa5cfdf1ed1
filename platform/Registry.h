// Read-only registry stand-in: keys and values come from a text file whose path is in the
// environment variable PAGEWRIGHT_REGISTRY. No variable, an empty one or a missing file is an
// empty registry, so every lookup falls back to its caller's default.
//
// The file uses the export form of the registry editor:
//
//   ; comment (also '#')
//   [HKEY_LOCAL_MACHINE\Software\Harrowgate\Quillbase\2.0\Client Configuration]
//   "Protocol"="TCP/IP"
//   "ServerName"="pagehost"
//   "Retries"=dword:0000000a
//
// A section names a key by its root (HKEY_LOCAL_MACHINE or HKLM, HKEY_CURRENT_USER or HKCU) and
// its path below it. A value line is a name, '=', and either a string in double quotes, in which
// \\ and \" stand for a backslash and a quote, or dword: and up to eight hexadecimal digits.
// Names may also be written without quotes, and a bare unquoted text is taken as a string with
// its outer blanks removed.
// Key paths and value names match without regard to (ASCII) case; of duplicate values the first
// wins; lines that fit none of these forms are ignored. Text is Windows-1252 bytes, kept as is.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

inline constexpr const char* RegistryFileVariable = "PAGEWRIGHT_REGISTRY";

enum class RegistryRoot { LocalMachine, CurrentUser };

// Reading a value that is missing or of the other type.
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Registry {
public:
    // Reads the file named by PAGEWRIGHT_REGISTRY at construction.
    explicit Registry(RegistryRoot root = RegistryRoot::LocalMachine);
    // Reads the given file (empty name or missing file: empty registry).
    Registry(RegistryRoot root, const std::string& fileName);

    RegistryRoot RootKey() const { return root_; }

    // Key paths are relative to the root; leading and trailing '\' are ignored. A key exists when
    // the file names it or any key below it.
    bool KeyExists(std::string_view key) const;
    // Makes the key current; false (and no current key) when it does not exist.
    bool OpenKeyReadOnly(std::string_view key);
    void CloseKey();
    bool HasCurrentKey() const { return open_; }

    // Values of the current key; without one, none exist.
    bool ValueExists(std::string_view name) const;
    std::vector<std::string> GetValueNames() const;
    // Empty for a missing value; RegistryError for a dword value.
    std::string ReadString(std::string_view name) const;
    // RegistryError for a missing or string value.
    int32_t ReadInteger(std::string_view name) const;

private:
    struct Value {
        std::string name;
        bool isDword = false;
        std::string text;
        uint32_t dword = 0;
    };
    struct Key {
        std::string path; // without leading and trailing '\'
        std::vector<Value> values;
    };

    void parse(const std::string& text);
    const Key* findKey(std::string_view key) const;
    const Value* findValue(std::string_view name) const;
    const Key* current() const { return open_ && current_ < keys_.size() ? &keys_[current_] : nullptr; }

    RegistryRoot root_;
    std::vector<Key> keys_;
    bool open_ = false;
    size_t current_ = 0; // index into keys_; past the end for a parent that has no values itself
};

} // namespace plat
