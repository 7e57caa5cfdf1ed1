// The in-process engine's table operations and table locks.
#include "db/engine/qbsrengn.h"

#include "platform/Files.h"

TqbResultCode TqbServerEngine::TableBuild(TqbHandle DatabaseID, bool OverWrite, const std::string& TableName,
                                          bool ForServer, TqbDataDictionary& Dictionary) {
    if (GetIsReadOnly()) return 10501;
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (db.OpenMode != qbomReadWrite) return 10501;
        if (!IsValidTableName(TableName)) return 10039;
        TqbSrTableList& list = TableList();
        list.BeginWrite();
        try {
            if (list.FindByFolderAndName(db.Folder(), TableName)) {
                list.EndWrite();
                return 10031;
            }
            const std::string file = db.Folder().GetPath() + TableName + ".QB2";
            if (plat::FileExists(file) && !OverWrite) {
                list.EndWrite();
                return 13060;
            }
            TqbSrTable table(*host_, *bm_, db.FolderPtr(), TableName);
            table.BuildFiles(Dictionary, ForServer ? 1 : 0);
        } catch (...) {
            list.EndWrite();
            throw;
        }
        list.EndWrite();
        return 0;
    });
}

TqbResultCode TqbServerEngine::TableOpen(TqbHandle DatabaseID, const std::string& TableName, bool ForServer,
                                         const std::string& IndexName, int32_t IndexID, TqbOpenMode OpenMode,
                                         TqbShareMode ShareMode, uint32_t Timeout, TqbHandle& CursorID,
                                         cls::TStream* Stream) {
    (void)ForServer;
    CursorID = 0;
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (GetIsReadOnly()) OpenMode = qbomReadOnly;
        if (OpenMode == qbomReadWrite && db.OpenMode == qbomReadOnly) return 10501;
        if (db.ShareMode == qbsmExclusive) ShareMode = qbsmExclusive;
        std::shared_ptr<TqbSrBaseCursor> cursor = host_->NewCursor(db, Timeout);
        cursor->Open(TableName, IndexName, IndexID, OpenMode == qbomReadWrite, ShareMode,
                     seIsSystemTable(TableName), false, false);
        CursorID = RegisterCursor(cursor);
        if (Stream) {
            const uint32_t handle = CursorID;
            Stream->WriteBuffer(&handle, 4);
            std::string dict;
            cursor->Dictionary().WriteToStream(dict);
            Stream->WriteBuffer(dict.data(), int32_t(dict.size()));
            const int32_t index = cursor->IndexNumber();
            Stream->WriteBuffer(&index, 4);
        }
        return 0;
    });
}

bool TqbServerEngine::seIsSystemTable(std::string_view Name) {
    return IsSystemTableName(Name);
}

// ---- not built yet

TqbResultCode TqbServerEngine::TableAddIndex(TqbHandle, TqbHandle, const std::string&,
                                             const TqbIndexDescriptor&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableDelete(TqbHandle, const std::string&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableDropIndex(TqbHandle, TqbHandle, const std::string&, const std::string&,
                                              int32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableEmpty(TqbHandle, TqbHandle, const std::string&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableGetAutoInc(TqbHandle, uint32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableGetDictionary(TqbHandle, const std::string&, cls::TStream&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableGetRecordCount(TqbHandle, int32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableGetRecordCountAsync(TqbHandle, TqbHandle&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TablePack(TqbHandle, const std::string&, TqbHandle&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableReindex(TqbHandle, const std::string&, const std::string&, int32_t,
                                            TqbHandle&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableRename(TqbHandle, const std::string&, const std::string&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableRestructure(TqbHandle, const std::string&, TqbDataDictionary&,
                                                const cls::TStringList*, TqbHandle&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableSetAutoInc(TqbHandle, uint32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableIsLocked(TqbHandle, TqbLockType, bool&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableLockAcquire(TqbHandle, TqbLockType) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::TableLockRelease(TqbHandle, TqbLockType, bool) {
    return kResultUnknownServerError;
}
