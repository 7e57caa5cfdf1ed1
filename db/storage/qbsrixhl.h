// Index helpers (building and comparing one key field by its type), their process-wide registry,
// and the building and comparison of composite keys.
#pragma once
#include "db/storage/qblldict.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class TqbSrIndexHelper {
public:
    virtual ~TqbSrIndexHelper() = default;

    // 343 when the name is taken.
    template <class T>
    static void Register(std::string_view Name, uint64_t FieldTypes, std::string_view Arguments = {}) {
        registerHelper(new T, Name, FieldTypes, Arguments);
    }
    // Frees every helper of the class or a class derived from it.
    template <class T> static void Unregister() {
        unregisterIf([](TqbSrIndexHelper* h) { return dynamic_cast<T*>(h) != nullptr; });
    }
    // 344 for a name not registered, 345 for a type the helper does not support.
    static TqbSrIndexHelper* FindHelper(std::string_view Name, int32_t FieldType);

    const std::string& Name() const { return name_; }
    bool Supports(int32_t FieldType) const {
        return FieldType >= 0 && FieldType < 64 && (types_ >> FieldType) & 1;
    }

    virtual void Initialize(std::string_view Arguments) { (void)Arguments; }
    // Length below 0: the whole field. A short string's key part holds its real length (at most
    // the part's length) and zeros after it, so equal strings give equal keys.
    virtual void BuildKey(const uint8_t* Source, uint8_t* Dest, int32_t Length,
                          const TqbFieldDesc& FieldDesc);
    virtual int CompareKey(const uint8_t* Key1, const uint8_t* Key2, bool CaseFlag, int32_t Length,
                           const TqbFieldDesc& FieldDesc);

private:
    static void registerHelper(TqbSrIndexHelper* h, std::string_view Name, uint64_t FieldTypes,
                               std::string_view Arguments);
    static void unregisterIf(bool (*pred)(TqbSrIndexHelper*));
    std::string name_;
    uint64_t types_ = 0;
};

// Keeps the digits (and the byte 254) of a short string.
class TqbSrNumbersOnlyIH : public TqbSrIndexHelper {
public:
    void BuildKey(const uint8_t* Source, uint8_t* Dest, int32_t Length,
                  const TqbFieldDesc& FieldDesc) override;
};

// Registers the default and "NumbersOnly" helpers once; the storage layer calls it before use.
void StartIndexHelpers();
uint64_t FieldTypeSet(std::initializer_list<int32_t> types);
uint64_t FieldTypeRange(int32_t first, int32_t last);

// One key field as a comparison takes it.
struct TqbCompositeKeyPart {
    int32_t Offset = 0; // in the key
    int32_t Length = 0; // bytes compared
    int32_t FieldType = 0;
    // A helper with an order of its own; none: the order of the field type.
    TqbSrIndexHelper* Helper = nullptr;
    const TqbFieldDesc* Field = nullptr; // with a helper only
    int32_t HelperLength = -1;           // the length the helper is given (-1: the whole field)
};

// What CompareCompositeKeys compares.
struct TqbCompositeCompareData {
    const TqbDataDictionary* Dictionary = nullptr;
    int32_t Index = 0;
    int32_t FieldCount = 0;    // whole key fields to compare; 0 = all
    int32_t PartialLength = 0; // characters of the field after them; 0 = none
    bool Ascending = true;
    bool CaseFlag = false;
    // The compared fields, looked up once when every one keeps the order of its type; PartCount -1:
    // looked up in the dictionary on each comparison.
    int32_t PartCount = -1;
    int32_t NullBits = 0; // where the key's null bits start
    std::array<TqbCompositeKeyPart, kMaxKeyFields> Parts{};
};

// The compare data of an index; a partial length on a key field that is not a string raises 338.
TqbCompositeCompareData MakeIndexCompareInfo(const TqbDataDictionary& Dictionary, int32_t Index,
                                             int32_t FieldCount = 0, int32_t PartialLength = 0);
int CompareCompositeKeys(const uint8_t* Key1, const uint8_t* Key2, const TqbCompositeCompareData& Data);
// CompareCompositeKeys as an index's compare routine, its data a TqbCompositeCompareData: a key of
// one short string field gets a routine of its own, without the loop over the parts.
using TqbCompositeComparer = int (*)(const uint8_t* Key1, const uint8_t* Key2, const void* Data);
TqbCompositeComparer CompositeKeyComparer(const TqbCompositeCompareData& Data);
// The key of a record: the key fields' parts and null bits; with FieldCount and PartialLength
// only that many fields (and characters of the next one) are taken, the rest stays null.
void BuildCompositeKey(const TqbDataDictionary& Dictionary, int32_t Index, const uint8_t* Record,
                       uint8_t* Key, int32_t FieldCount = 0, int32_t PartialLength = 0);
