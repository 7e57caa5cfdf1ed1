// In-memory table dataset with the members of the database's table component that the paging
// client uses; it stands in for the contacts table until the database engine exists.
#pragma once
#include "classlib/DB.h"
#include "classlib/DBFilter.h"

#include <memory>
#include <string>
#include <vector>

namespace cls {

struct TMemFieldSpec {
    std::string Name;
    TFieldType DataType = ftUnknown;
    int Size = 0; // characters of a string field, bytes of a bytes field
    bool Required = false;
};

struct TMemIndexSpec {
    std::string Name;
    std::string Fields; // ";"-joined
    TIndexOptions Options = 0;
};

struct TMemTableData;

// Named tables are shared by every table dataset that opens them; each dataset has its own index,
// key search, ranges, master/detail link, filters and editing cycle.

// The tables, found by database and table name without regard to case. Single-threaded, like the
// windows that use them.
class TMemDatabase {
public:
    static void CreateTable(const std::string& databaseName, const std::string& tableName,
                            const std::vector<TMemFieldSpec>& fields,
                            const std::vector<TMemIndexSpec>& indexes);
    static bool TableExists(const std::string& databaseName, const std::string& tableName);
    static void DropTable(const std::string& databaseName, const std::string& tableName);
    static void DropAll();
    static int RowCount(const std::string& databaseName, const std::string& tableName); // live rows
    static std::shared_ptr<TMemTableData> Find(const std::string& databaseName, const std::string& tableName);
};

// The contacts table as the paging client expects it: "name", "id", "servicenumber", "password"
// (left out when withPassword is false, like an older table) and "memberGr1".."memberGr10", with
// the case-insensitive index "nameIndex" on "name".
void CreateContactsTable(const std::string& databaseName = "pageBASE", bool withPassword = true);

class TMemTable : public TDataSet {
public:
    explicit TMemTable(TComponent* owner = nullptr);
    ~TMemTable() override;

    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& name);
    const std::string& SessionName() const { return sessionName_; }
    void SetSessionName(const std::string& name);
    const std::string& TableName() const { return tableName_; }
    void SetTableName(const std::string& name);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    bool Exclusive() const { return exclusive_; }
    void SetExclusive(bool value);

    // The current index ("" = the order rows were added in).
    std::string IndexName() const { return byFieldNames_ ? std::string() : indexName_; }
    void SetIndexName(const std::string& name);
    std::string IndexFieldNames() const { return byFieldNames_ ? indexFieldNames_ : std::string(); }
    void SetIndexFieldNames(const std::string& names);
    TIndexDefs& IndexDefs();
    int IndexFieldCount() const;
    TField* IndexFields(int index) const;
    void UpdateIndexDefs() override;

    // Key search on the current index. Values are assigned to the leading key fields.
    void SetKey();
    void EditKey();
    bool GotoKey();
    void GotoNearest();
    bool FindKey(const std::vector<Variant>& keyValues);
    void FindNearest(const std::vector<Variant>& keyValues);
    int KeyFieldCount() const { return keyFieldCount_; }
    void SetKeyFieldCount(int count) { keyFieldCount_ = count; }

    // Rows whose leading key fields lie between the two key values (both inclusive).
    void SetRange(const std::vector<Variant>& startValues, const std::vector<Variant>& endValues);
    void CancelRange();

    // Master/detail: the rows whose leading key fields equal the master's MasterFields.
    TDataSource* MasterSource() const { return masterLink_->DataSource(); }
    void SetMasterSource(TDataSource* source);
    const std::string& MasterFields() const { return masterLink_->FieldNames(); }
    void SetMasterFields(const std::string& names) { masterLink_->SetFieldNames(names); }
    TDataSource* DataSource() const override { return MasterSource(); }

    bool Locate(const std::string& keyFields, const Variant& keyValues, TLocateOptions options) override;
    Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                   const std::string& resultFields) override;
    void Post() override;
    void Cancel() override;
    bool GetFieldData(TField* field, void* buffer) override;
    void SetFieldData(TField* field, const void* buffer) override;
    bool BookmarkValid(const TBookmark& bookmark) override;
    int CompareBookmarks(const TBookmark& b1, const TBookmark& b2) override;
    bool GetCurrentRecord(TRecordBuffer buffer) override;
    void SetFilterText(const std::string& text) override;
    void SetFiltered(bool value) override;
    void SetFilterOptions(TFilterOptions value) override;
    void SetOnFilterRecord(TFilterRecordEvent handler) override;

protected:
    TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(TRecordBuffer& buffer) override;
    void GetBookmarkData(TRecordBuffer buffer, void* data) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) override;
    void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
    int GetRecordSize() override { return recordSize_; }
    void InternalAddRecord(TRecordBuffer buffer, bool append) override;
    void InternalClose() override;
    void InternalDelete() override;
    void InternalFirst() override;
    void InternalGotoBookmark(const void* bookmark) override;
    void InternalInitFieldDefs() override;
    void InternalInitRecord(TRecordBuffer buffer) override;
    void InternalLast() override;
    void InternalOpen() override;
    void InternalPost() override;
    void InternalSetToRecord(TRecordBuffer buffer) override;
    bool IsCursorOpen() const override { return open_; }
    void InternalEdit() override;
    void InternalCancel() override { oldValid_ = false; }
    void ClearCalcFields(TRecordBuffer buffer) override;
    bool FindRecord(bool restart, bool goForward) override;
    bool GetCanModify() const override { return !readOnly_; }
    int GetRecordCount() override;

private:
    enum class Pos { Bof, Eof, OnRow };
    class RowAccess;

    TRecordBuffer activeRecBuf();
    const std::vector<uint32_t>& order();
    uint32_t orderPos(uint32_t row);
    int compareRows(const char* a, const char* b, int fieldCount) const; // on the current index
    bool visible(uint32_t row);
    bool passesFilter(uint32_t row);
    bool moveNext();
    bool movePrior();
    int findIndex(const std::string& name, bool byFields) const;
    void switchIndex(int index);
    void compileFilter(const std::string& text, TFilterOptions options);
    void setKeyValues(const std::vector<Variant>& values, char* image, int& count);
    TField* keyField(int i) const;
    bool locateRow(const std::string& keyFields, const Variant& keyValues, TLocateOptions options,
                   uint32_t& row);
    void moveToRow(uint32_t row);
    // The start of a key search: the rows in index order and the first whose key is not below
    // the search key (compared on n fields).
    struct KeySearch {
        std::vector<uint32_t> copy; // a filter handler may change the table: search a copy then
        const std::vector<uint32_t>* live;
        size_t first;
        int n;
        const std::vector<uint32_t>& rows() const { return live ? *live : copy; }
    };
    KeySearch startKeySearch();
    bool keyMatches(uint32_t row, int n) const;
    void endKeyEdit(bool keep);
    void applyMasterRange();
    void clearRange();
    void storeRecord(const char* image, bool insert);

    std::string databaseName_, sessionName_, tableName_;
    bool readOnly_ = false, exclusive_ = false;
    std::string indexName_, indexFieldNames_;
    bool byFieldNames_ = false;
    int indexNo_ = -1; // into the table's indexes; -1 = insertion order
    TIndexDefs indexDefs_;

    std::shared_ptr<TMemTableData> table_;
    bool open_ = false;
    int recordSize_ = 0, bookmarkOffset_ = 0, flagOffset_ = 0, bufferSize_ = 0;
    Pos pos_ = Pos::Bof;
    uint32_t row_ = 0;
    uint64_t orderVersion_ = ~0ull;
    int orderIndex_ = -2;
    std::vector<uint32_t> order_, orderPos_;

    std::vector<char> filterBuffer_, keyBuffer_, savedKey_, oldBuffer_;
    std::vector<char> keySaved_; // setKeyValues' copy of the key, kept to save allocations
    bool keySaving_ = false;
    bool oldValid_ = false;
    int keyFieldCount_ = 0, savedKeyFieldCount_ = 0;
    std::unique_ptr<TFilterExpression> filterExpr_;
    bool searchFiltering_ = false; // FindRecord applies the filter although Filtered is off
    bool rangeActive_ = false;
    std::vector<char> rangeStart_, rangeEnd_;
    int rangeStartCount_ = 0, rangeEndCount_ = 0;
    std::unique_ptr<TMasterDataLink> masterLink_;
};

} // namespace cls
