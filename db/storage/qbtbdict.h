// The server's data dictionary: kept in its table file as the "DICT" stream.
#pragma once
#include "db/storage/qblldict.h"

class TqbSrTransaction;

class TqbServerDataDict : public TqbDataDictionary {
public:
    using TqbDataDictionary::TqbDataDictionary;
    // Writes the stream (new when header word 116 is 0) and records its first block there; a
    // rewrite frees the blocks the shorter stream no longer needs.
    void SaveToTableFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction);
    // 329 when the file has no dictionary; a stream that disagrees with the header (block size,
    // record length, field count) is refused with 32. Sets the table-built flag.
    void LoadFromTableFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction);
    void ClearBuiltFlag() { built_ = false; }
    void SetBuiltFlag() { built_ = true; }
};
