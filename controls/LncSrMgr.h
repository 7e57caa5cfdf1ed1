// Reader of the controls' "STR0" string tables and the library's message table.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Resources.h"

// One string table of the program, opened by resource name.
class TLncStringResource {
public:
    explicit TLncStringResource(const std::string& ResourceName);
    virtual ~TLncStringResource() = default;
    TLncStringResource(const TLncStringResource&) = delete;
    TLncStringResource& operator=(const TLncStringResource&) = delete;

    // Closes the current table; opens ResourceName when it is not empty.
    void ChangeResource(const std::string& ResourceName);
    // Text of Id in Windows-1252; empty when the table has no such id (or EHgsStringResourceError
    // when RaiseIfMissing is set).
    std::string GetText(uint32_t Id) const;
    // The same text into Buffer, shortened to fit Size - 1 bytes and NUL-terminated.
    char* GetTextBuf(uint32_t Id, char* Buffer, size_t Size) const;

    bool IsOpen() const { return open_; }
    const std::string& ResourceName() const { return name_; }
    bool RaiseIfMissing = false;

private:
    void OpenResource(const std::string& name);
    void CloseResource();

    std::string name_;
    plat::StringTable table_;
    bool open_ = false;
};

// Text of the library message table, or "Unknown" when it has none or an empty one.
std::string LncGetString(uint32_t Id);

// The reader of the library message table ("LANTERNE3_STRINGS_ENGLISH").
const TLncStringResource& LncLibraryStrings();

// Registers the controls' compiled string tables; called before any of them is opened.
void pw_controls_strings();
