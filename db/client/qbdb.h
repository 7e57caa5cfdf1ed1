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
