// Saving and loading the server's data dictionary through the table file's "DICT" stream.
#include "db/storage/qbtbdict.h"

#include "db/storage/qbtbdata.h"
#include "db/storage/qbtbstrm.h"
#include "platform/Paths.h"

void TqbServerDataDict::SaveToTableFile(TbtdFileInfo& f, TqbSrTransaction* t) {
    CheckValid();
    std::string stream;
    WriteToStream(stream);
    TqbBlockHold header(f, t, 0, true);
    uint32_t first = BlockWord(header.p(), kHdrDictBlock);
    WriteTableStream(f, t, first, kStreamTypeDICT, first == 0, stream);
    SetBlockWord(header.p(), kHdrDictBlock, first);
}

void TqbServerDataDict::LoadFromTableFile(TbtdFileInfo& f, TqbSrTransaction* t) {
    // The table's own name, not its path cut to a table name's length.
    if (tableName_.empty()) SetTableName(plat::ChangeFileExt(plat::ExtractFileName(f.FileName), ""));
    TqbBlockHold header(f, t, 0, false);
    const uint8_t* h = header.p();
    const uint32_t first = BlockWord(h, kHdrDictBlock);
    // The whole path: the file is what has to be looked at.
    if (first == 0) RaiseGeneralError(329, {f.FileName});
    std::string stream;
    ReadTableStream(f, t, first, stream, kStreamTypeDICT);
    TqbServerDataDict d(*this);
    d.built_ = false;
    d.ReadFromStream(stream);
    if (d.BlockSize() != BlockWord(h, kHdrBlockSize) ||
        uint32_t(d.RecordLength()) != BlockWord(h, kHdrRecordLength) ||
        uint32_t(d.FieldCount()) != BlockWord(h, kHdrFieldCount))
        RaiseServerError(32, {f.FileName});
    d.built_ = true;
    *this = std::move(d);
}
