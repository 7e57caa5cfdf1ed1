// The dataset layer's datasets over engine cursors: TqbDataSet (opening, navigation, reading and
// posting, server and client filters), TqbBaseTable (index, keys, ranges, Locate, master/detail).
#pragma once
#include "classlib/DB.h"
#include "db/client/qbclconv.h"
#include "db/client/qbcldb.h"
#include "db/engine/qbsrfltr.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Where a filter text is evaluated.
enum TqbFilterEvaluationType : uint8_t { qbfeClient = 0, qbfeServer = 1 };

using TqbServerFilterTimeoutEvent = std::function<void(cls::TDataSet* Sender, bool& Cancel)>;

// Codes the datasets answer or raise.
enum : int32_t {
    kQbBOF = 8705,
    kQbEOF = 8706,
    kQbNoCurrentRecord = 8709,
    kQbRecordNotFound = 8710,
    kQbEndOfBlob = 8711,
    kQbNumberOutOfRange = 9985,
    kQbIndexDoesNotExist = 9997,
    kQbInvalidBlobOffset = 9998,
    kQbInvalidHandle = 9990,
    kQbTranslateError = 10019,
    kQbInvalidBlobHandle = 10030,
    kQbInvalidIndexType = 10048,
    kQbFilterHandleInvalid = 10050,
    kQbNotApplicable = 10756,
    kQbTableReadOnly = 10763,
    kQbNoAssociatedIndex = 10764,
    kQbBlobModified = 13058,
    kQbServerFilterTimedOut = 15444,
    kDsUnnamedTable = 54561,
    kDsNoCursorHandle = 54562,
    kDsNotEditing = 54563,
    kDsNotKeyField = 54564,
    kDsNoActiveBuffer = 54565,
    kDsCalcNotEditing = 54566,
    kDsFieldReadOnly = 54567,
    kDsNoTableName = 54569,
    kDsNoDatabase = 54570,
    kDsReadOnlyTwice = 54572,
    kDsKeyFieldRange = 54573,
    kDsKeyFieldMissing = 54574,
    kDsCircularLink = 54576,
    kDsBlobWhileFiltering = 54577,
    kDsBlobFieldReadOnly = 54578,
    kDsBlobNotEditing = 54579,
    kDsNoSql = 54582,
    kDsQueryMustBeClosed = 54583,
    kDsQueryExecFailed = 54584,
    kDsQueryParamsFailed = 54585,
    kDsQueryPrepareFailed = 54586,
};

class TqbDataSet;

// A client-side filter of a dataset: a compiled expression, a record callback, or both.
// A callback answers non-zero to accept, 0 to reject, -2 to reject when CanAbort is set.
using TqbRecordCallback = std::function<int32_t(intptr_t ClientData, const uint8_t* Record)>;
class TqbFilterListItem {
public:
    bool Active = false;
    bool CanAbort = false;
    std::vector<uint8_t> Expression;
    uint16_t ExpressionSize = 0;
    TqbRecordCallback Callback;
    intptr_t ClientData = 0;
    uint16_t Priority = 0;
    TqbDataSet* DataSet = nullptr;
    // An inactive item accepts.
    bool Accepts(const uint8_t* Record);

private:
    friend class TqbDataSet;
    std::unique_ptr<TqbSrFilter> evaluator_; // the shared evaluator, over the dataset's layout
};

// A field's client-side descriptor with its place in the translated record.
struct TqbFieldDescItem {
    TqbFieldDescRec Desc;
    int32_t Offset = 0;
    int32_t Length = 0;
};

// What the dataset reports of its cursor.
struct TqbCursorProps {
    std::string TableName;
    int32_t FieldCount = 0;
    int32_t RecordSize = 0;
    int32_t PhysRecLen = 0;
    int32_t ValidityCount = 0;
    int32_t BookmarkSize = 0;
    int32_t KeySize = 0;
    int32_t IndexCount = 0;
    int32_t TranslateMode = 0;
    int32_t FilterCount = 0;
};

class TqbDataSet : public cls::TDataSet, public TqbProxyDataSet {
public:
    explicit TqbDataSet(cls::TComponent* AOwner = nullptr);
    ~TqbDataSet() override;

    TqbHandle CursorID() const { return cursorID_; }
    const TqbDataDictionary& Dictionary() const { return dict_; }
    const std::vector<TqbFieldDescItem>& FieldDescs() const { return fieldDescs_; }
    TqbTableProxy* TableProxy() const { return proxy_; }
    // The engine: the one taken at open while active, else the session's.
    TqbBaseServerEngine* Engine();

    std::string DatabaseName() { return proxy_->DatabaseName(); }
    void SetDatabaseName(const std::string& value);
    const std::string& SessionName() const { return proxy_->SessionName(); }
    void SetSessionName(const std::string& value);
    const std::string& TableName() const { return proxy_->TableName(); }
    virtual void SetTableName(const std::string& value);
    bool Exclusive() const { return exclusive_; }
    void SetExclusive(bool value);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    int32_t Timeout() const { return timeout_; }
    void SetTimeout(int32_t value);
    // Timeout, or the database's when it is -1.
    uint32_t EffectiveTimeout();

    TqbFilterEvaluationType FilterEval() const { return filterEval_; }
    void SetFilterEval(TqbFilterEvaluationType value);
    uint32_t FilterTimeout() const { return filterTimeout_; }
    void SetFilterTimeout(uint32_t value);
    bool FilterResync = true;
    bool HasClientFilters() const { return hasClientFilters_; }
    TqbServerFilterTimeoutEvent OnServerFilterTimeout;
    int32_t TranslateMode = 2;
    std::string Version = "1.0";

    void SetName(const std::string& name) override;
    bool GetFieldData(cls::TField* field, void* buffer) override;
    void SetFieldData(cls::TField* field, const void* buffer) override;
    std::unique_ptr<cls::TStream> CreateBlobStream(cls::TField* field, cls::TBlobStreamMode mode) override;
    bool BookmarkValid(const cls::TBookmark& bookmark) override;
    int CompareBookmarks(const cls::TBookmark& b1, const cls::TBookmark& b2) override;
    bool GetCurrentRecord(cls::TRecordBuffer buffer) override;
    void SetFilterText(const std::string& text) override;
    void SetFiltered(bool value) override;
    void SetFilterOptions(cls::TFilterOptions value) override;
    void SetOnFilterRecord(cls::TFilterRecordEvent handler) override;
    TqbCursorProps GetCursorProps();

    // Client filters: the list and its operations (10050 for an item not in the list).
    const std::vector<std::unique_ptr<TqbFilterListItem>>& Filters() const { return filters_; }
    TqbFilterListItem* AddFilter(std::vector<uint8_t> expression, TqbRecordCallback callback,
                                 intptr_t clientData, bool canAbort);
    void ActivateFilter(TqbFilterListItem* item);
    void DeactivateFilter(TqbFilterListItem* item);
    void DropFilter(TqbFilterListItem* item);
    void DropAllFilters();
    // Whether a record passes every active client filter.
    bool PassesClientFilters(const uint8_t* record);

    // The BLOB-modified flag the BLOB streams keep.
    bool BlobModified = false;
    // Buffer layout, for the BLOB streams and the tests.
    int32_t PhysRecLen() const { return physRecLen_; }
    cls::TRecordBuffer ActiveRecordBuffer() { return GetActiveRecBuf(); }

    // TqbProxyDataSet
    cls::TDataSet* ProxyDataSet() override { return this; }
    void ProxyClosing() override;
    void ForceExclusive() override { exclusive_ = true; }
    void ForceReadOnly() override { readOnly_ = true; }
    void ConnectionDropped() override;

protected:
    // ---- the abstract dataset ----
    cls::TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(cls::TRecordBuffer& buffer) override;
    void GetBookmarkData(cls::TRecordBuffer buffer, void* data) override;
    cls::TBookmarkFlag GetBookmarkFlag(cls::TRecordBuffer buffer) override;
    void SetBookmarkFlag(cls::TRecordBuffer buffer, cls::TBookmarkFlag value) override;
    void SetBookmarkData(cls::TRecordBuffer buffer, const void* data) override;
    cls::TGetResult GetRecord(cls::TRecordBuffer buffer, cls::TGetMode mode, bool doCheck) override;
    int GetRecordSize() override { return physRecLen_; }
    void InternalAddRecord(cls::TRecordBuffer buffer, bool append) override;
    void InternalClose() override;
    void InternalDelete() override;
    void InternalFirst() override;
    void InternalGotoBookmark(const void* bookmark) override;
    void InternalInitFieldDefs() override;
    void InternalInitRecord(cls::TRecordBuffer buffer) override;
    void InternalLast() override;
    void InternalOpen() override;
    void InternalPost() override;
    void InternalSetToRecord(cls::TRecordBuffer buffer) override;
    bool IsCursorOpen() const override { return cursorID_ > 0; }
    void InternalCancel() override;
    void InternalEdit() override;
    void ClearCalcFields(cls::TRecordBuffer buffer) override;
    void CloseBlob(cls::TField* field) override;
    void OpenCursor(bool infoQuery) override;
    void CloseCursor() override;
    bool FindRecord(bool restart, bool goForward) override;
    bool GetCanModify() const override { return Active() && !readOnly_; }
    int GetRecordCount() override;
    void DoBeforePost() override;

    // ---- for descendants ----
    void Check(TqbResultCode result) const { EqbDatabaseError::Check(result); }
    [[noreturn]] void Raise(int32_t code) const { EqbDatabaseError::RaiseError(this, code); }
    virtual cls::TRecordBuffer GetActiveRecBuf();
    // Opens the engine cursor and answers its handle (0: none).
    virtual TqbHandle OpenCursorHandle();
    // The index TableOpen opens the cursor on.
    virtual std::string OpenIndexName() const { return {}; }
    // The stream TableOpen (or a query's execution) answered: the dictionary and what follows it.
    void ReadDictionary(std::string_view bytes);
    void RebuildFieldDescs();
    void ComputeBufferLayout();
    virtual void InitIndexInfo() {}
    virtual void AllocKeyBuffers() {}
    virtual void MasterHook() {}
    virtual void ResetIndexState() {}
    // Asked on every server filter time-out: true stops the move.
    virtual bool DoServerFilterTimeout();
    void ActivateFilters();
    void DeactivateFilters();
    // Reads the current row; a row the client filters reject answers 8710.
    TqbResultCode RecordGetCurrent(TqbLockType lock, uint8_t* record);
    // The next (prior) row that passes the client filters.
    TqbResultCode NextRow(TqbHandle cursor, TqbLockType lock, uint8_t* record);
    TqbResultCode PriorRow(TqbHandle cursor, TqbLockType lock, uint8_t* record);
    // The filter text compiled against the dataset's fields (empty text: no bytes).
    std::vector<uint8_t> CompileFilter(const std::string& text, cls::TFilterOptions options);
    // The dataset's cursor is now on another row than the active buffer.
    void MarkCursorMoved() { CursorPosChanged(); }
    // Room for the row a key search reads at the dataset's cursor. Once KeepFoundRow is called,
    // the next read of the current row takes that row instead of reading it again (its bookmark
    // is still asked for); DropFoundRow forgets it.
    uint8_t* FoundRowBuffer();
    void KeepFoundRow() { foundRowKept_ = true; }
    void DropFoundRow() { foundRowKept_ = foundBookmarkRead_ = false; }
    // Room for the bookmark of a search at the dataset's own cursor into the found-row buffer (else
    // empty); once FoundBookmarkRead is called, the kept row's bookmark is not asked for again.
    std::span<uint8_t> FoundBookmarkFor(TqbHandle cursor, const uint8_t* row);
    void FoundBookmarkRead() { foundBookmarkRead_ = true; }
    // The current index's bookmark size, after a switch of index.
    void SetCursorBookmarkSize(uint32_t size) { cursorBookmarkSize_ = size; }
    std::span<const uint8_t> BookmarkBytes(const void* bookmark) const {
        return {static_cast<const uint8_t*>(bookmark), cursorBookmarkSize_};
    }
    TqbFilterListItem* TextFilter() const { return textFilter_; }
    std::vector<uint8_t>& FilterBuffer() { return filterBuf_; }
    void SetFilterRecord(const uint8_t* record);
    int32_t RecordBufferSize() const { return bufferSize_; }
    bool Translating() const { return TranslateMode == 2; }
    void LogLine(const std::string& text);
    // One value per field, from a value or an array of values.
    std::vector<cls::Variant> LocateValues(const std::vector<cls::TField*>& fields,
                                           const cls::Variant& keyValues) const;
    // The first row whose fields hold the values, by a scan with a temporary filter on the side
    // that evaluates the dataset's filters; the filter goes again however the scan ends. A row
    // found is left in FilterBuffer and the cursor on it.
    bool ScanForValues(const std::vector<cls::TField*>& fields, const std::vector<cls::Variant>& values,
                       cls::TLocateOptions options);

    TqbHandle cursorID_ = 0;
    TqbDataDictionary dict_{4096};
    int32_t indexNumber_ = 0;

private:
    struct FilterSettings {
        std::string text;
        cls::TFilterOptions options;
        TqbFilterEvaluationType eval;
        uint32_t timeout;
    };
    void applyFilterSettings(const FilterSettings& next);
    void installTextFilter(const std::string& text, cls::TFilterOptions options);
    void installCallbackFilter();
    void recomputeHasClientFilters();
    // The insert, after setting the cursor to its end when toEnd (endDeferred: the positioning Post
    // left to it); with keepRead the read of the row Post's Resync asks for next comes with it.
    void insertRecord(cls::TRecordBuffer buffer, bool toEnd, bool keepRead, bool endDeferred);
    // After a post or cancel the BLOB fields start unmodified again.
    void clearBlobModified();
    // Bookmark non-empty: the bookmark of the row reached comes with the step (no client filters).
    TqbResultCode moveRow(bool forward, TqbHandle cursor, TqbLockType lock, uint8_t* record,
                          std::span<uint8_t> bookmark = {});
    int32_t filterCallback(const uint8_t* record);
    TqbFilterListItem* checkedItem(TqbFilterListItem* item);

    TqbTableProxy* proxy_;
    TqbBaseServerEngine* engine_ = nullptr;
    std::vector<TqbFieldDescItem> fieldDescs_;
    std::vector<std::unique_ptr<TqbFilterListItem>> filters_;
    TqbFilterListItem* textFilter_ = nullptr;
    TqbFilterListItem* callbackFilter_ = nullptr;
    bool hasClientFilters_ = false;
    TqbFilterEvaluationType filterEval_ = qbfeServer;
    uint32_t filterTimeout_ = 500;
    int32_t timeout_ = -1;
    bool exclusive_ = false, readOnly_ = false;
    int32_t physRecLen_ = 0;
    uint32_t bookmarkSize_ = 0;       // room in a buffer: the largest of any index
    uint32_t cursorBookmarkSize_ = 0; // the current index's
    int32_t calcFieldsOffset_ = 0, bookmarkOffset_ = 0, bookmarkFlagOffset_ = 0, bufferSize_ = 0;
    std::vector<uint8_t> oldRecord_, filterBuf_, scratch_, foundRow_;
    bool foundRowKept_ = false;
    std::vector<uint8_t> foundBookmark_;
    bool foundBookmarkRead_ = false;
    // Post's positioning at the end before an append is left to the insert's call: armed once
    // BeforePost is done, taken by the InternalLast that follows at once, done by InternalPost.
    bool endArmed_ = false, endPending_ = false;
    // The row, bookmark and answer of the read that came with the last insert, for the next read
    // of the current row.
    std::vector<uint8_t> insertedRow_, insertedBookmark_;
    TqbResultCode insertedRead_ = 0;
    bool insertedReadKept_ = false;
    bool closingProxy_ = false;
    friend class TqbBaseTable;
    friend class TqbBlobStream;
};

// One of the six key buffers of a table: a record image with its key header.
struct TqbKeyBuffer {
    std::vector<uint8_t> Image; // a whole record buffer, so that calculated fields have room
    int32_t FieldCount = 0;
    bool Exclusive = false;
    bool Modified = false;
};

class TqbBaseTable : public TqbDataSet {
public:
    explicit TqbBaseTable(cls::TComponent* AOwner = nullptr);
    ~TqbBaseTable() override;

    // The index by name; IndexFieldNames chooses one through the fields it starts with.
    std::string IndexName() const { return byFieldNames_ ? std::string() : indexName_; }
    void SetIndexName(const std::string& value);
    std::string IndexFieldNames() const { return byFieldNames_ ? indexFieldNames_ : std::string(); }
    void SetIndexFieldNames(const std::string& value);
    int32_t IndexID() const { return indexID_; }
    int32_t KeyFieldCount() const { return keyFieldCount_; }
    bool KeyCaseInsensitive() const { return keyCaseInsensitive_; }
    cls::TIndexDefs& IndexDefs();
    void UpdateIndexDefs() override;

    // Key search on the current index.
    bool FindKey(const std::vector<cls::Variant>& keyValues);
    bool GotoKey();
    void SetKey();
    void EditKey();
    // Rows whose leading key fields lie between the two key values (both inclusive).
    void SetRange(const std::vector<cls::Variant>& startValues, const std::vector<cls::Variant>& endValues);
    void CancelRange();
    bool RangeActive() const { return rangeStack_.IsRangeActive(); }
    size_t SavedRangeDepth() const { return rangeStack_.Depth(); }

    bool Locate(const std::string& keyFields, const cls::Variant& keyValues,
                cls::TLocateOptions options) override;
    cls::Variant Lookup(const std::string& keyFields, const cls::Variant& keyValues,
                        const std::string& resultFields) override;
    TqbHandle LookupCursor() const { return lookupCursor_; }

    cls::TDataSource* MasterSource() const { return masterLink_->DataSource(); }
    void SetMasterSource(cls::TDataSource* source);
    const std::string& MasterFields() const { return masterLink_->FieldNames(); }
    void SetMasterFields(const std::string& names) { masterLink_->SetFieldNames(names); }
    cls::TDataSource* DataSource() const override { return MasterSource(); }

    void Post() override;
    void Cancel() override;
    void DataEvent(cls::TDataEvent event, intptr_t info) override;
    void SetFiltered(bool value) override;
    void SetTableName(const std::string& value) override;
    void SetFieldData(cls::TField* field, const void* buffer) override;
    // Set while a lost connection closes the tables: data events are ignored.
    bool SuppressDataEvents = false;

protected:
    cls::TRecordBuffer GetActiveRecBuf() override;
    std::string OpenIndexName() const override { return byFieldNames_ ? std::string() : indexName_; }
    void InitIndexInfo() override;
    void AllocKeyBuffers() override;
    void MasterHook() override;
    void ResetIndexState() override;
    void InternalOpen() override;
    void DoOnNewRecord() override;
    // Engine CursorResetRange when a range is set; both range key buffers emptied; the lookup
    // cursor closed.
    virtual void ResetRangeAndKeyBuffers();

private:
    enum KeyIndex { kbLookup, kbRangeStart, kbRangeEnd, kbCurRangeStart, kbCurRangeEnd, kbSave, kbCount };
    cls::TField* indexField(int i) const;
    void initKeyBuffer(TqbKeyBuffer& kb);
    void setKeyFields(TqbKeyBuffer& kb, const std::vector<cls::Variant>& values);
    // RecordGetForKey, or a key-to-key range scan through the client filters.
    // Without client filters the row found is read into row when it is given.
    TqbResultCode keySearch(TqbHandle cursor, const uint8_t* key, int32_t fieldCount, int32_t partialLen,
                            uint8_t* row = nullptr);
    // After a hit at the dataset's cursor: the found row becomes the active one, its neighbours
    // fill the buffer window.
    void resyncOnFound(bool foundRowRead);
    void switchToIndex(const std::string& name);
    void applyRange();
    void setEngineRange(const void* saved);
    void closeLookupCursor();
    TqbHandle lookupCursorFor(const std::vector<cls::TField*>& fields, const std::string& names,
                              bool caseInsensitive);
    bool locateRecord(const std::string& keyFields, const cls::Variant& keyValues,
                      cls::TLocateOptions options, bool move, bool* foundRowRead = nullptr);
    void endKeyEdit(bool keep);
    void masterChanged();
    void masterDisabled();

    cls::TIndexDefs indexDefs_;
    bool byFieldNames_ = false;
    std::string indexName_, indexFieldNames_;
    int32_t indexID_ = 0;
    int32_t keyFieldCount_ = 0;
    std::vector<int32_t> keyFieldNumbers_; // dictionary field numbers (from 0)
    bool keyCaseInsensitive_ = false;
    int32_t keyLength_ = 0;
    bool userDefinedKey_ = false;
    TqbKeyBuffer keys_[kbCount];
    TqbKeyBuffer* keyBuffer_ = nullptr; // the one edited in the set-key state
    std::vector<uint8_t> blankKey_;     // a cleared key buffer's image, made once per open
    TqbHandle lookupCursor_ = 0;
    std::string lookupFields_;
    bool lookupCaseInsensitive_ = false;
    std::unique_ptr<cls::TMasterDataLink> masterLink_;
    TqbTableRangeStack rangeStack_;
};

// The table component.
class TqbTable : public TqbBaseTable {
public:
    using TqbBaseTable::TqbBaseTable;
    ~TqbTable() override;
};
