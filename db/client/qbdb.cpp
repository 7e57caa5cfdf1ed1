// The BLOB stream over a BLOB field of a dataset's current record, and the SQL query dataset.
#include "db/client/qbdb.h"

#include "platform/ByteCodec.h"

#include <algorithm>
#include <limits>

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
