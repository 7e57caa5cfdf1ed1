// Profile ("INI") files: sections in square brackets holding key=value lines, read and written
// one value at a time, with section and key names matched without regard to (ASCII) case.
//
// Reading is lenient so that a hand-edited file never fails:
// - lines end in LF or CR LF; the last line needs no line end;
// - blanks and tabs around section names, keys and values are ignored;
// - lines starting with ';' or '#' are comments; blank lines and lines that are neither a section
//   nor a key=value pair are skipped (and kept when the file is rewritten);
// - "[name" without its ']' names the section "name";
// - a section that occurs twice is one section; of duplicate keys the first one wins;
// - a value wrapped in a pair of double or single quotes is read without them;
// - values of any length are read whole; bytes are kept as they are (Windows-1252 text).
// Every call reads the file afresh; a missing or unreadable file reads as empty, so every value
// takes its default. Reads never create the file.
//
// Writing replaces the first occurrence of the key in place, or appends a new key after the last
// key of the section, or appends a new section (after one blank line) at the end of the file, so
// the order of sections and keys is the order in which they were first written; comments and
// other lines survive. New lines take the line end the file already uses (LF for a new file). A
// value with blanks at either end, or one that is itself quoted, is written in double quotes so
// that it reads back unchanged. The file is written to a temporary file in the same folder and
// renamed over the old one, so a crash leaves either the old or the new file, never half of one.
// The file name is looked up without regard to case in its folder; a new file gets the name as
// given. Path separators may be '\' or '/'.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// A write that cannot be carried out: the file cannot be read back or replaced, or a name or
// value cannot be stored (a line break, a section name with ']', a key with '=' or an empty name).
class ProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ProfileFile {
public:
    explicit ProfileFile(std::string_view fileName);

    // The file name as given, in native form.
    const std::string& FileName() const { return fileName_; }

    std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
    // Decimal, or hexadecimal after '$' or "0x", with an optional sign; anything else, or a
    // number outside the 32-bit range, gives def.
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
    // An integer that is true when not 0; the default is read as 1 or 0.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);
    // Written "1" or "0".
    void WriteBool(std::string_view section, std::string_view key, bool value);

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    // The section names in file order, each once.
    std::vector<std::string> ReadSections() const;
    // The key names of a section in file order, each once (first spelling).
    std::vector<std::string> ReadSection(std::string_view section) const;
    // "key=value" for each key of a section, as ReadString sees it.
    std::vector<std::string> ReadSectionValues(std::string_view section) const;

    // Remove every occurrence of the section with its lines; nothing happens when it is missing.
    void EraseSection(std::string_view section);
    void DeleteKey(std::string_view section, std::string_view key);

    // The number rule of ReadInteger.
    static bool ParseInteger(std::string_view text, int32_t& out);

private:
    struct Content;
    Content load(bool forWrite) const;
    void save(const Content& c) const;

    std::string fileName_;
};

} // namespace plat
