// Command tables of the extension controls: key sequences mapped to editing command numbers,
// the built-in tables, text files and property streams that keep only differences from a
// built-in table.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "classlib/Classes.h"

// Shift bytes of a command record, combined by addition; kSecondKey marks the second key of a
// two-key sequence.
constexpr uint8_t kShiftKey = 2;
constexpr uint8_t kCtrlKey = 4;
constexpr uint8_t kAltKey = 8;
constexpr uint8_t kSecondKey = 128;

struct TLncCmdRec {
    uint8_t Key1 = 0;
    uint8_t Shift1 = 0;
    uint8_t Key2 = 0; // 0 = single-key command
    uint8_t Shift2 = 0;
    uint16_t Cmd = 0;

    // The four key bytes as one little-endian 32-bit integer, as streamed.
    int32_t StreamKey() const;
    static TLncCmdRec FromStreamKey(int32_t Key, uint16_t Cmd);
    bool SameKey(const TLncCmdRec& o) const {
        return Key1 == o.Key1 && Shift1 == o.Shift1 && Key2 == o.Key2 && Shift2 == o.Shift2;
    }
    bool operator==(const TLncCmdRec&) const = default;
};

namespace ctl {

// The records of a built-in table by its name (compared without regard to case); nullptr for
// other names.
const std::vector<TLncCmdRec>* BuiltinCommands(const std::string& Name);

} // namespace ctl

class TLncCommandTable {
public:
    TLncCommandTable(); // named "(Unknown)", active, no records

    const std::string& TableName() const { return name_; }
    void SetTableName(const std::string& Name) { name_ = Name; }
    bool IsActive() const { return active_; }
    void SetIsActive(bool Active) { active_ = Active; }

    int Count() const { return static_cast<int>(recs_.size()); }
    const TLncCmdRec& Commands(int Index) const { return recs_.at(Index); }
    // Index of the record with the same key; -1 when none.
    int IndexOfKey(const TLncCmdRec& Rec) const;
    // Appends a record (no duplicate check: see TLncCommandProcessor::AddCommand).
    void AddRec(const TLncCmdRec& Rec) { recs_.push_back(Rec); }
    void Delete(int Index) { recs_.erase(recs_.begin() + Index); }
    void Clear() { recs_.clear(); }

    // Text file: the name on line 1, then "Key1 Shift1 Key2 Shift2 Cmd" per line. A malformed,
    // out-of-range, duplicate or overlong line raises ctl::EInOutError and leaves the table as it
    // was.
    void LoadFromFile(const std::string& FileName);
    void SaveToFile(const std::string& FileName) const;

    // Stream property "CommandList": written only when the table has records.
    bool StoresCommandList() const { return !recs_.empty(); }
    void WriteCommandList(cls::TWriter& W) const;
    // Raises cls::EReadError on bad input and leaves the table as it was.
    void ReadCommandList(cls::TReader& R);

private:
    std::string name_;
    bool active_ = true;
    std::vector<TLncCmdRec> recs_;
};

class TLncCommandProcessor {
public:
    TLncCommandProcessor(); // the built-in tables "Default", "WordStar" and "Grid"

    int Count() const { return static_cast<int>(tables_.size()); }
    TLncCommandTable* Table(int Index) const { return tables_.at(Index).get(); }

    // A new table under a unique name.
    TLncCommandTable* AddTable(const std::string& Name, bool Active);
    // The table whose name equals Name without regard to case; nullptr when none.
    TLncCommandTable* GetTable(const std::string& Name) const;
    // ETableNotFound / EDuplicateCommand.
    void AddCommand(const std::string& TableName, const TLncCmdRec& Rec);
    // A table read from a text file, added under a unique name; its index.
    int LoadCommandTable(const std::string& FileName);
    // Writes the named table; nothing when there is none.
    void SaveCommandTable(const std::string& TableName, const std::string& FileName) const;
    void Clear() { tables_.clear(); }

    // Name for a new table: trailing digits cut off, then numbered until no table has it.
    std::string UniqueTableName(const std::string& Name) const;

    // Stream property "TableList": written when there is at least one table.
    bool StoresTableList() const { return !tables_.empty(); }
    void WriteTableList(cls::TWriter& W) const;
    // Replaces every table; on bad input raises cls::EReadError and keeps the tables as they were.
    void ReadTableList(cls::TReader& R);

private:
    struct NoTables {};
    explicit TLncCommandProcessor(NoTables) {}
    bool nameTaken(const std::string& Name) const;
    std::vector<std::unique_ptr<TLncCommandTable>> tables_;
};
