// The data dictionary of a table: files, fields with their record layout and validity checks,
// indexes with their key layout and helpers, and its tagged value stream.
#pragma once
#include "db/storage/qbtbbase.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TqbSrIndexHelper;

inline constexpr int kMaxKeyFields = 16;
inline constexpr int kMaxIndexes = 256;
inline constexpr int kMaxKeyLength = 1024;
inline constexpr int kUserDefinedKey = -1;
// Room a record leaves in a block besides itself.
inline constexpr uint32_t kRecordBlockOverhead = 36;

enum TqbFileType : int32_t { qbfData = 0, qbfIndex = 1, qbfBLOB = 2 };

struct TqbValidityCheck {
    bool HasMinimum = false;
    bool HasMaximum = false;
    bool HasDefault = false;
    // Each value is as long as its field (empty when its flag is clear).
    std::string Minimum;
    std::string Maximum;
    std::string Default;
    std::string Picture;
};

struct TqbFileDesc {
    int32_t FileNumber = 0;
    std::string Description; // up to 63
    std::string Extension;   // up to 3
    uint32_t BlockSize = 0;
    int32_t FileType = qbfData;
};

struct TqbFieldDesc {
    int32_t FieldNumber = 0;
    std::string Name;        // up to 31
    std::string Description; // up to 63
    int32_t Units = 0;
    int32_t DecPl = 0;
    int32_t Offset = 0;
    int32_t Length = 0;
    std::optional<TqbValidityCheck> VCheck;
    int32_t FieldType = qbtBoolean;
    bool Required = false;
};

struct TqbIndexDesc {
    std::string Name;        // up to 31
    std::string Description; // up to 63
    int32_t FileNumber = 0;
    int32_t KeyLength = 0;
    int32_t KeyFieldCount = 0; // kUserDefinedKey: built by a key routine
    std::array<int32_t, kMaxKeyFields> KeyFields{};
    std::array<std::string, kMaxKeyFields> HelperNames{};
    bool AllowDups = false;
    bool IsAscending = true;
    bool IsCaseInsensitive = false;
};

// Length in the record, units and decimals of a field type as the caller gives them; general
// error 325 for a type that has none, 338 for units no record could hold.
struct TqbFieldShape {
    int32_t Length, Units, DecPl;
};
TqbFieldShape FieldShape(int32_t FieldType, int32_t Units, int32_t DecPl);
bool IsBLOBFieldType(int32_t FieldType);
bool IsStringFieldType(int32_t FieldType);
// The enumeration name of a type ("qbtInt32"); "" for values outside 0..50.
std::string_view FieldTypeName(int32_t FieldType);
// Bytes of null bits after count values.
inline int32_t NullBitBytes(int32_t count) {
    return (count + 7) / 8;
}

class TqbDataDictionary {
public:
    explicit TqbDataDictionary(uint32_t BlockSize = 4096);
    virtual ~TqbDataDictionary() = default;
    TqbDataDictionary(const TqbDataDictionary&) = default;
    TqbDataDictionary& operator=(const TqbDataDictionary&) = default;

    // Building.
    int32_t AddFile(std::string_view Description, std::string_view Extension, int32_t FileType,
                    uint32_t BlockSize);
    void AddField(std::string_view Name, std::string_view Description, int32_t FieldType, int32_t Units,
                  int32_t Decimals, bool Required, const TqbValidityCheck* ValidityCheck = nullptr);
    int32_t AddIndex(std::string_view Name, std::string_view Description, int32_t FileNumber,
                     int32_t FieldCount, const int32_t* FieldNumbers, const std::string* HelperNames,
                     bool AllowDups, bool IsAscending, bool IsCaseInsensitive);
    int32_t AddUserIndex(std::string_view Name, std::string_view Description, int32_t FileNumber,
                         int32_t KeyLength, bool AllowDups, bool IsAscending, bool IsCaseInsensitive);
    void RemoveIndex(int32_t Index);
    void Clear(bool KeepDataFile);
    void Assign(const TqbDataDictionary* Source);
    // Whether the size was taken (a size the record no longer fits is ignored).
    bool SetBlockSize(uint32_t Size);
    void SetIsEncrypted(bool Value);
    void SetTableName(std::string_view Name);
    void SetFieldVCheck(const TqbValidityCheck* VCheck, int32_t Field);
    void CheckValid() const;
    void BindIndexHelpers();

    // Queries (320 for a number out of range).
    int32_t FieldDecPl(int32_t Field) const { return field(Field).DecPl; }
    int32_t FieldLength(int32_t Field) const { return field(Field).Length; }
    int32_t FieldOffset(int32_t Field) const { return field(Field).Offset; }
    bool FieldRequired(int32_t Field) const { return field(Field).Required; }
    int32_t FieldType(int32_t Field) const { return field(Field).FieldType; }
    int32_t FieldUnits(int32_t Field) const { return field(Field).Units; }
    const TqbValidityCheck* FieldVCheck(int32_t Field) const;
    const std::string& FieldName(int32_t Field) const { return field(Field).Name; }
    uint32_t FileBlockSize(int32_t File) const { return file(File).BlockSize; }
    const std::string& FileExt(int32_t File) const { return file(File).Extension; }
    int32_t FileType(int32_t File) const { return file(File).FileType; }
    bool IndexAllowDups(int32_t Index) const { return index(Index).AllowDups; }
    bool IndexIsAscending(int32_t Index) const { return index(Index).IsAscending; }
    bool IndexIsCaseInsensitive(int32_t Index) const { return index(Index).IsCaseInsensitive; }
    int32_t IndexFileNumber(int32_t Index) const { return index(Index).FileNumber; }
    int32_t IndexKeyLength(int32_t Index) const { return index(Index).KeyLength; }
    const std::string& IndexName(int32_t Index) const { return index(Index).Name; }
    bool IsIndexDescUserDefined(int32_t Index) const { return index(Index).KeyFieldCount == kUserDefinedKey; }
    const TqbIndexDesc& IndexDesc(int32_t Index) const { return index(Index); }
    const TqbFieldDesc& FieldDesc(int32_t Field) const { return field(Field); }
    // The helper bound to a key field (none before BindIndexHelpers).
    TqbSrIndexHelper* IndexHelper(int32_t Index, int32_t KeyField) const;
    int32_t GetFieldFromName(std::string_view Name) const;
    int32_t GetIndexFromName(std::string_view Name) const;
    uint32_t BlockSize() const { return files_.empty() ? 4096 : files_[0].BlockSize; }
    int32_t LogicalRecordLength() const { return logicalLength_ < 8 ? 8 : logicalLength_; }
    int32_t RecordLength() const { return LogicalRecordLength() + NullBitBytes(FieldCount()); }
    int32_t GetBookmarkSize(int32_t Index) const { return IndexKeyLength(Index) + 24; }
    bool HasBLOBFields() const;
    bool HasAutoIncField(int32_t& Field) const;
    bool HasSameFields(const TqbDataDictionary& Other, bool& BLOBFields) const;
    bool HasSameFieldSubset(const TqbDataDictionary& Other, const std::vector<int32_t>& FieldList,
                            bool& BLOBFields) const;
    int32_t DefaultFieldCount() const { return int32_t(defaultFields_.size()); }
    bool IsIndexDescValid(const TqbIndexDesc& Desc) const;
    int32_t FieldCount() const { return int32_t(fields_.size()); }
    int32_t IndexCount() const { return int32_t(indexes_.size()); }
    int32_t FileCount() const { return int32_t(files_.size()); }
    int32_t BLOBFileNumber() const { return blobFile_; }
    const std::string& TableName() const { return tableName_; }
    bool IsEncrypted() const { return encrypted_; }
    bool TableBuilt() const { return built_; }

    // Records: data, then one null bit per field (set = null).
    void InitRecord(uint8_t* Record) const;
    // Value receives FieldLength bytes.
    void GetRecordField(int32_t Field, const uint8_t* Record, void* Value, bool& IsNull) const;
    // No value: null and zero-filled.
    void SetRecordField(int32_t Field, uint8_t* Record, const void* Value) const;
    void SetRecordFieldNull(int32_t Field, uint8_t* Record, bool IsNull) const;
    bool IsRecordFieldNull(int32_t Field, const uint8_t* Record) const;
    bool CheckRequiredFields(const uint8_t* Record) const;
    void SetDefaultFieldValues(uint8_t* Record) const;

    // Keys of composite indexes: values, then one null bit per key field.
    void InitKey(int32_t Index, uint8_t* Key) const;
    bool IsKeyFieldNull(int32_t Index, int32_t KeyField, const uint8_t* Key) const;
    void SetKeyFieldNonNull(int32_t Index, int32_t KeyField, uint8_t* Key) const;

    // The tagged value stream. Reading checks every count, length and name and leaves the
    // dictionary unchanged when the bytes are bad (server error 32 with the table name). With
    // Consumed, the stream may go on after the dictionary and Consumed receives its length.
    void WriteToStream(std::string& Stream) const;
    void ReadFromStream(std::string_view Stream, size_t* Consumed = nullptr);

protected:
    void checkNotBuilt() const;
    // Inline: key comparisons ask for them on every entry they pass.
    const TqbFieldDesc& field(int32_t n) const {
        if (n < 0 || size_t(n) >= fields_.size()) badNumber(n);
        return fields_[size_t(n)];
    }
    const TqbIndexDesc& index(int32_t n) const {
        if (n < 0 || size_t(n) >= indexes_.size()) badNumber(n);
        return indexes_[size_t(n)];
    }
    const TqbFileDesc& file(int32_t n) const {
        if (n < 0 || size_t(n) >= files_.size()) badNumber(n);
        return files_[size_t(n)];
    }
    [[noreturn]] void badNumber(int32_t n) const;
    int32_t compositeKeyLength(const TqbIndexDesc& d) const;
    TqbIndexDesc newIndexDesc(std::string_view Name, std::string_view Description, int32_t FileNumber,
                              bool AllowDups, bool IsAscending, bool IsCaseInsensitive) const;
    int32_t appendIndex(const TqbIndexDesc& d);
    void addIndex0();

    int32_t blobFile_ = 0;
    int32_t logicalLength_ = 0;
    bool encrypted_ = false;
    bool built_ = false;
    std::string tableName_;
    std::vector<TqbFileDesc> files_;
    std::vector<TqbFieldDesc> fields_;
    std::vector<int32_t> defaultFields_;
    std::vector<TqbIndexDesc> indexes_;
    std::vector<std::array<TqbSrIndexHelper*, kMaxKeyFields>> helpers_;
};
