// The BLOB stream over a BLOB field of a dataset's current record, and the SQL query dataset.
#include "db/client/qbdb.h"

#include "platform/ByteCodec.h"
#include "platform/Sync.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

int32_t qbBlobChunkSize = 64000;

// ---------------------------------------------------------------------------------------------
// BLOB stream

TqbBlobStream::TqbBlobStream(cls::TBlobField* Field, cls::TBlobStreamMode Mode)
    : field_(Field), dataSet_(Field ? dynamic_cast<TqbDataSet*>(Field->DataSet()) : nullptr),
      fieldNo_(Field ? Field->FieldNo() : 0), buffer_(nullptr), mode_(Mode), chunkSize_(qbBlobChunkSize) {
    if (!dataSet_) cls::DatabaseError("The field is no BLOB field of a dataset of the engine");
    buffer_ = reinterpret_cast<uint8_t*>(dataSet_->GetActiveRecBuf());
    if (!buffer_) return;
    if (dataSet_->State() == cls::dsFilter) dataSet_->Raise(kDsBlobWhileFiltering);
    if (!field_->Modified && mode_ != cls::bmRead) {
        if (field_->ReadOnly) dataSet_->Raise(kDsBlobFieldReadOnly);
        if (dataSet_->State() != cls::dsEdit && dataSet_->State() != cls::dsInsert)
            dataSet_->Raise(kDsBlobNotEditing);
    }
    if (mode_ != cls::bmRead) dataSet_->BlobModified = true;
    opened_ = true;
    if (mode_ == cls::bmWrite) {
        position_ = 0;
        Truncate();
    }
}

TqbBlobStream::~TqbBlobStream() {
    if (!opened_) return;
    try {
        if (modified_) field_->Modified = true;
        if (!field_->Modified) dataSet_->CloseBlob(field_);
        if (modified_) dataSet_->DataEvent(cls::deFieldChange, reinterpret_cast<intptr_t>(field_));
    } catch (...) {
        cls::HandleCurrentException();
    }
}

bool TqbBlobStream::blobNumber(uint64_t& number) {
    const TqbDataDictionary& d = dataSet_->Dictionary();
    const int32_t idx = fieldNo_ - 1;
    if (!buffer_ || idx < 0 || idx >= d.FieldCount()) return false;
    if (!IsBLOBFieldType(d.FieldType(idx))) dataSet_->Check(kQbInvalidBlobHandle);
    if (d.IsRecordFieldNull(idx, buffer_)) return false;
    uint8_t bytes[8] = {};
    bool isNull;
    d.GetRecordField(idx, buffer_, bytes, isNull);
    number = plat::LoadLE64(bytes);
    return true;
}

int32_t TqbBlobStream::Read(void* Buffer, int32_t Count) {
    auto* dest = static_cast<uint8_t*>(Buffer);
    int32_t total = 0;
    while (Count > 0) {
        const int32_t chunk = chunkSize_ > 0 ? std::min(Count, chunkSize_) : Count;
        uint64_t number;
        if (!blobNumber(number)) break;
        uint32_t got = 0;
        const TqbResultCode r =
            engine()->BLOBRead(dataSet_->CursorID(), number, position_, {dest, size_t(chunk)}, got);
        if (r == kQbInvalidBlobOffset)
            got = 0;
        else if (r != 0 && r != kQbEndOfBlob)
            dataSet_->Check(r);
        got = std::min<uint32_t>(got, uint32_t(chunk));
        position_ += got;
        total += int32_t(got);
        dest += got;
        Count -= int32_t(got);
        if (int32_t(got) < chunk) break;
    }
    return total;
}

int32_t TqbBlobStream::Write(const void* Buffer, int32_t Count) {
    const auto* src = static_cast<const uint8_t*>(Buffer);
    int32_t total = 0;
    while (Count > 0) {
        const int32_t chunk = chunkSize_ > 0 ? std::min(Count, chunkSize_) : Count;
        uint64_t number;
        if (!blobNumber(number)) {
            if (!buffer_) break;
            dataSet_->Check(engine()->BLOBCreate(dataSet_->CursorID(), number));
            uint8_t bytes[8];
            plat::StoreLE64(bytes, number);
            dataSet_->Dictionary().SetRecordField(fieldNo_ - 1, buffer_, bytes);
        }
        dataSet_->Check(engine()->BLOBWrite(dataSet_->CursorID(), number, position_, {src, size_t(chunk)}));
        position_ += uint32_t(chunk);
        src += chunk;
        total += chunk;
        Count -= chunk;
        modified_ = true;
    }
    return total;
}

int64_t TqbBlobStream::Seek(int64_t Offset, cls::TSeekOrigin Origin) {
    int64_t next = Offset;
    if (Origin == cls::soCurrent)
        next = int64_t(position_) + Offset;
    else if (Origin == cls::soEnd)
        next = int64_t(GetBLOBLength()) + Offset;
    position_ = uint32_t(std::clamp<int64_t>(next, 0, std::numeric_limits<uint32_t>::max()));
    return position_;
}

uint32_t TqbBlobStream::GetBLOBLength() {
    uint64_t number;
    if (!blobNumber(number)) return 0;
    uint32_t length = 0;
    dataSet_->Check(engine()->BLOBGetLength(dataSet_->CursorID(), number, length));
    return length;
}

void TqbBlobStream::Truncate() {
    uint64_t number;
    if (blobNumber(number))
        dataSet_->Check(engine()->BLOBTruncate(dataSet_->CursorID(), number, position_));
    else if (position_ > 0)
        dataSet_->Check(kQbInvalidBlobOffset);
    modified_ = true;
}

void TqbBlobStream::SetSize(int64_t NewSize) {
    const uint32_t keep = position_;
    Seek(NewSize, cls::soBeginning);
    Truncate();
    position_ = std::min(keep, position_);
}

// ---------------------------------------------------------------------------------------------
// Query parameters

namespace {

bool isNameChar(unsigned char c) {
    return std::isalnum(c) || c == '_' || c >= 128;
}

std::atomic<uint32_t> g_queryNumber{0};

// A proxy table name no other query has: thread, tick count and a running number (two queries
// made in the same millisecond on one thread would otherwise share one).
std::string uniqueQueryName() {
    const size_t thread = std::hash<std::thread::id>()(std::this_thread::get_id()) % 1000000007u;
    return std::to_string(thread) + std::to_string(plat::GetTickCount()) + "_" +
           std::to_string(g_queryNumber.fetch_add(1) + 1);
}

} // namespace

std::string ParseSqlParameters(const std::string& sql, std::vector<std::string>& names) {
    std::string out;
    names.clear();
    std::vector<char> quotes; // the open quote characters, innermost last
    for (size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        if (c == '"' || c == '\'' || c == '`') {
            if (!quotes.empty() && quotes.back() == c) {
                quotes.pop_back();
            } else {
                if (quotes.size() >= size_t(kMaxQuoteNesting))
                    throw EqbDatabaseError::Create("Quoted text in the SQL text nests more than " +
                                                   std::to_string(kMaxQuoteNesting) + " deep at character " +
                                                   std::to_string(i + 1));
                quotes.push_back(c);
            }
            out += c;
            ++i;
            continue;
        }
        if (!quotes.empty() || c != ':') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < sql.size() && sql[i + 1] == ':') {
            out += "::";
            i += 2;
            continue;
        }
        size_t j = i + 1;
        std::string name;
        if (j < sql.size() && sql[j] == '"') {
            const size_t end = sql.find('"', j + 1);
            if (end != std::string::npos) {
                name = sql.substr(j + 1, end - j - 1);
                j = end + 1;
            }
        } else {
            while (j < sql.size() && isNameChar(static_cast<unsigned char>(sql[j])))
                ++j;
            name = sql.substr(i + 1, j - i - 1);
        }
        if (name.empty()) {
            out += c;
            ++i;
            continue;
        }
        names.push_back(name);
        out += '?';
        i = j;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Query

cls::TDataSet* TqbQueryDataLink::DetailDataSet() const {
    return query_;
}

void TqbQueryDataLink::ActiveChanged() {
    if (query_->Active()) query_->masterChanged();
}

void TqbQueryDataLink::RecordChanged(cls::TField* field) {
    if (!field) query_->masterChanged();
}

TqbQuery::TqbQuery(cls::TComponent* AOwner) : TqbDataSet(AOwner) {
    TableProxy()->SetTableName(uniqueQueryName());
    sql_.OnChange = [this](cls::TStringList*) { sqlChanged(); };
}

TqbQuery::~TqbQuery() {
    destroying_ = true;
    try {
        Close();
        Unprepare();
    } catch (...) {
    }
}

void TqbQuery::SetSQL(const cls::TStringList& value) {
    if (sql_.Text() == value.Text()) return;
    sql_.Assign(value);
}

void TqbQuery::sqlChanged() {
    Close();
    Unprepare();
    std::vector<std::string> names;
    if (!ParamCheck) {
        processedSql_ = sql_.Text();
    } else {
        processedSql_ = ParseSqlParameters(sql_.Text(), names);
        cls::TParams next;
        for (const std::string& n : names)
            if (!next.FindParam(n)) next.CreateParam(cls::ftUnknown, n, cls::ptInput);
        next.AssignValues(params_);
        params_.Assign(next);
    }
    DataEvent(cls::dePropertyChange, 0);
}

void TqbQuery::SetRequestLive(bool value) {
    requestLive_ = value;
    SetReadOnly(!value);
}

void TqbQuery::SetDataSource(cls::TDataSource* source) {
    if (source && IsLinkedTo(source))
        EqbDatabaseError::RaiseErrorFmt(this, kDsCircularLink, {source->Name()});
    dataLink_.SetDataSource(source);
}

void TqbQuery::masterChanged() {
    cls::TDataSet* master = dataLink_.DataSet();
    if (!Active() || !master || !master->Active() || master->State() == cls::dsSetKey) return;
    Close();
    Open();
}

[[noreturn]] void TqbQuery::raiseWithText(int32_t fmtCode, TqbResultCode r, cls::TMemoryStream& stream) {
    int32_t length = 0;
    if (stream.Size() >= 4) std::memcpy(&length, stream.Memory(), 4);
    if (length > 0 && int64_t(length) <= stream.Size() - 4) {
        const std::string text(reinterpret_cast<const char*>(stream.Memory()) + 4, size_t(length));
        EqbDatabaseError::RaiseErrorFmt(this, fmtCode, {std::string("\r\n"), text});
    }
    Check(r);
    Raise(fmtCode);
}

void TqbQuery::Prepare() {
    if (IsCursorOpen()) Raise(kDsQueryMustBeClosed);
    TqbBaseDatabase* db = TableProxy()->Database();
    if (!db) Raise(kDsNoDatabase);
    db->Open();
    rowsAffected_ = -1;
    canModify_ = false;
    if (cls::Trim(processedSql_).empty()) Raise(kDsNoSql);
    if (prepared_) return;
    try {
        TqbBaseServerEngine* e = db->Engine();
        Check(e->SQLAlloc(db->DatabaseID(), EffectiveTimeout(), stmt_));
        cls::TMemoryStream stream;
        const TqbResultCode r = e->SQLPrepare(stmt_, processedSql_, stream);
        if (r != 0) raiseWithText(kDsQueryPrepareFailed, r, stream);
        prepared_ = true;
    } catch (...) {
        Unprepare();
        throw;
    }
}

void TqbQuery::Unprepare() {
    prepared_ = false;
    if (!stmt_) return;
    const TqbHandle h = stmt_;
    stmt_ = 0;
    TqbBaseDatabase* db = TableProxy()->Database();
    TqbBaseServerEngine* e = db ? db->Engine() : nullptr;
    const TqbResultCode r = e ? e->SQLFree(h) : 0;
    if (!destroying_) Check(r);
}

void TqbQuery::sendParams() {
    // 40-byte descriptors {u16 number, name of 31 characters and a zero, u16 engine type, u16 size,
    // u16 offset} and the values one after the other in the engine's form.
    std::vector<uint8_t> descs(size_t(params_.Count()) * 40, 0), data;
    for (int i = 0; i < params_.Count(); ++i) {
        cls::TParam& p = params_[i];
        int32_t type = 0, size = 0;
        const int32_t length = p.GetDataSize();
        FrameworkTypeToEngine(p.DataType, length, type, size);
        uint8_t* d = descs.data() + size_t(i) * 40;
        plat::StoreLE16(d, uint16_t(i + 1));
        std::memcpy(d + 2, p.Name.data(), std::min<size_t>(p.Name.size(), 31));
        plat::StoreLE16(d + 34, uint16_t(type));
        plat::StoreLE16(d + 36, uint16_t(size));
        plat::StoreLE16(d + 38, uint16_t(data.size()));
        std::vector<uint8_t> value(size_t(std::max(length, 0)) + 16, 0), engineValue(size_t(size) + 16, 0);
        if (p.GetData(value.data())) ValueToEngine(type, size, value.data(), engineValue.data());
        data.insert(data.end(), engineValue.begin(), engineValue.begin() + size);
    }
    cls::TMemoryStream stream;
    const TqbResultCode r = Engine()->SQLSetParams(stmt_, uint16_t(params_.Count()), descs, data, stream);
    if (r != 0) raiseWithText(kDsQueryParamsFailed, r, stream);
}

TqbHandle TqbQuery::OpenCursorHandle() {
    executed_ = false;
    if (sql_.Count() == 0) Raise(kDsNoSql);
    Prepare();
    if (cls::TDataSet* master = dataLink_.DataSet())
        for (int i = 0; i < params_.Count(); ++i)
            if (!params_[i].Bound)
                if (cls::TField* f = master->FindField(params_[i].Name)) params_[i].AssignField(f);
    if (params_.Count() > 0) sendParams();
    cls::TMemoryStream stream;
    TqbHandle cursor = 0;
    const TqbResultCode r =
        Engine()->SQLExec(stmt_, requestLive_ ? qbomReadWrite : qbomReadOnly, cursor, stream);
    if (r != 0) raiseWithText(kDsQueryExecFailed, r, stream);
    // The result: the cursor's handle, the dictionary, and with a cursor the live-result flag and
    // a count.
    const auto* bytes = reinterpret_cast<const char*>(stream.Memory());
    const size_t size = size_t(stream.Size());
    const size_t tail = cursor ? 5 : 0;
    if (size < 4 + tail) {
        if (cursor) Engine()->CursorClose(cursor);
        Check(kQbInvalidHandle);
    }
    try {
        ReadDictionary(std::string_view(bytes + 4, size - 4 - tail));
    } catch (...) {
        if (cursor) Engine()->CursorClose(cursor);
        throw;
    }
    if (cursor) {
        const bool live = bytes[size - 5] != 0;
        std::memcpy(&resultCount_, bytes + size - 4, 4);
        if (requestLive_) canModify_ = live;
    }
    indexNumber_ = 0;
    executed_ = true;
    return cursor;
}

void TqbQuery::InternalClose() {
    executed_ = false;
    TqbDataSet::InternalClose();
}

bool TqbQuery::Locate(const std::string& keyFields, const cls::Variant& keyValues,
                      cls::TLocateOptions options) {
    CheckBrowseMode();
    DoBeforeScroll();
    const std::vector<cls::TField*> fields = GetFieldList(keyFields);
    if (!ScanForValues(fields, LocateValues(fields, keyValues), options)) return false;
    Resync(cls::rmExact | cls::rmCenter);
    DoAfterScroll();
    return true;
}
