// Reader of the database layer's "STR0" string tables, and the global readers of the base layer.
#pragma once
#include "db/base/qbllbase.h"
#include "platform/Resources.h"

#include <cstdint>
#include <string>
#include <string_view>

// One loaded string table. Lookups take the reader's padlock, so one reader serves all threads.
// Texts come out as Windows-1252.
class TqbStringResource {
public:
    // Opens the named table; failures raise EqbStringResourceError (texts 3 and 5 of
    // "QBSRMGR_STRINGS" with the name).
    explicit TqbStringResource(std::string_view resourceName);
    virtual ~TqbStringResource() = default;
    TqbStringResource(const TqbStringResource&) = delete;
    TqbStringResource& operator=(const TqbStringResource&) = delete;

    // Closes the current table; a non-empty name opens that one.
    void ChangeResource(std::string_view resourceName);
    // The text of id; empty when the table has none (or error 1 with raise-if-missing set).
    std::string GetText(int32_t id);
    // The text into buffer as at most size - 1 bytes, cut between characters, NUL behind it.
    // Size 0 writes nothing. An unknown id gives an empty text. Returns buffer.
    char* GetTextBuf(int32_t id, char* buffer, size_t size);

    bool RaiseIfMissing() const { return raiseIfMissing_; }
    void SetRaiseIfMissing(bool v) { raiseIfMissing_ = v; }
    const std::string& ResourceName() const { return name_; }
    bool IsOpen() const { return open_; }

private:
    void openResource(std::string_view name);
    std::u16string findText(int32_t id, bool& found);

    TqbPadlock padlock_;
    plat::StringTable table_;
    std::string name_;
    bool open_ = false;
    bool raiseIfMissing_ = false;
};

// Global readers, made on first use and shared by every thread.
TqbStringResource& SrMgrStrings();       // "QBSRMGR_STRINGS": the reader's own errors
TqbStringResource& GeneralStrings();     // "QB_GENERAL_STRINGS"
TqbStringResource& CompatErrorStrings(); // "QB_COMPAT_ERROR_STRINGS": texts of result codes
