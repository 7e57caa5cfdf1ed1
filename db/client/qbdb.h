// The BLOB stream over a BLOB field of a dataset's current record, and the SQL query dataset.
#pragma once
#include "db/client/qbdbbase.h"

#include <cstdint>

// Bytes a BLOB stream moves per engine call (0: no limit).
extern int32_t qbBlobChunkSize;

class TqbBlobStream : public cls::TStream {
public:
    TqbBlobStream(cls::TBlobField* Field, cls::TBlobStreamMode Mode);
    ~TqbBlobStream() override;
    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    // Never before the start: a negative position is taken as 0.
    int64_t Seek(int64_t Offset, cls::TSeekOrigin Origin) override;
    int64_t Size() override { return GetBLOBLength(); }
    void SetSize(int64_t NewSize) override;
    uint32_t GetBLOBLength();
    // Cuts the BLOB at the current position.
    void Truncate();

private:
    // The BLOB number in the record; false for a null BLOB.
    bool blobNumber(uint64_t& number);
    TqbBaseServerEngine* engine() { return dataSet_->Engine(); }

    cls::TBlobField* field_;
    TqbDataSet* dataSet_;
    int32_t fieldNo_;
    uint8_t* buffer_;
    cls::TBlobStreamMode mode_;
    bool modified_ = false;
    bool opened_ = false;
    uint32_t position_ = 0;
    int32_t chunkSize_;
};

class TqbQuery;

// The query's link to the data source its parameters come from.
class TqbQueryDataLink : public cls::TDetailDataLink {
public:
    explicit TqbQueryDataLink(TqbQuery* query) : query_(query) {}
    cls::TDataSet* DetailDataSet() const override;

protected:
    void ActiveChanged() override;
    void RecordChanged(cls::TField* field) override;

private:
    TqbQuery* query_;
};

// Replaces each ":name" (or ':"quoted name"') outside quoted text by "?" and answers the names in
// order; "::" stays. Quoted text nests at most kMaxQuoteNesting deep: deeper is an error.
inline constexpr int kMaxQuoteNesting = 5;
std::string ParseSqlParameters(const std::string& sql, std::vector<std::string>& names);

class TqbQuery : public TqbDataSet {
public:
    explicit TqbQuery(cls::TComponent* AOwner = nullptr);
    ~TqbQuery() override;

    cls::TStringList& SQL() { return sql_; }
    void SetSQL(const cls::TStringList& value);
    const std::string& ProcessedSQL() const { return processedSql_; }
    cls::TParams& Params() { return params_; }
    int ParamCount() const { return params_.Count(); }
    cls::TParam& ParamByName(std::string_view name) { return params_.ParamByName(name); }
    bool ParamCheck = true;
    bool RequestLive() const { return requestLive_; }
    void SetRequestLive(bool value);
    bool Prepared() const { return prepared_; }
    void SetPrepared(bool value) { value ? Prepare() : Unprepare(); }
    void Prepare();
    void Unprepare();
    bool Executed() const { return executed_; }
    int32_t RowsAffected() const { return rowsAffected_; }
    int32_t ResultCount() const { return resultCount_; }
    TqbHandle StmtHandle() const { return stmt_; }
    cls::TDataSource* DataSource() const override { return dataLink_.DataSource(); }
    void SetDataSource(cls::TDataSource* source);
    // Locate and Lookup always scan with a temporary filter.
    bool Locate(const std::string& keyFields, const cls::Variant& keyValues,
                cls::TLocateOptions options) override;

protected:
    TqbHandle OpenCursorHandle() override;
    void InternalClose() override;
    bool GetCanModify() const override { return canModify_; }

private:
    friend class TqbQueryDataLink;
    void sqlChanged();
    void masterChanged();
    [[noreturn]] void raiseWithText(int32_t fmtCode, TqbResultCode r, cls::TMemoryStream& stream);
    void sendParams();

    cls::TStringList sql_;
    std::string processedSql_;
    cls::TParams params_;
    TqbQueryDataLink dataLink_{this};
    bool canModify_ = false, executed_ = false, prepared_ = false, requestLive_ = false;
    bool destroying_ = false;
    int32_t rowsAffected_ = -1, resultCount_ = 0;
    TqbHandle stmt_ = 0;
};
