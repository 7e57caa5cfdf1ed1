// The in-process engine's table operations and table locks: building, opening, deleting, renaming
// and emptying tables, index add and drop, auto-increment values, dictionaries, record counts.
#include "db/engine/qbsrcvex.h"
#include "db/engine/qbsrengn.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbfile.h"
#include "db/storage/qbtbbase.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <optional>

namespace {

// The engine's table list held for writing, so that no other thread opens, builds or drops a
// table between a check and the change it guards.
using TableListLock = PortalWriteGuard<TqbSrTableList>;

// Work on a cursor between its extenders' actions: Before first (a refusal is the result, the
// extenders that agreed hear Undo), and Undo again when the work fails.
template <class F>
TqbResultCode withActions(TqbSrBaseCursor& Cursor, int32_t Before, int32_t Undo, F&& Work) {
    if (TqbResultCode rc = Cursor.NotifyExtenders(Before, Undo)) return rc;
    auto undo = [&] {
        if (Undo == eaNoUndo) return;
        try {
            Cursor.NotifyExtenders(Undo, eaNoUndo);
        } catch (...) {
        }
    };
    TqbResultCode rc;
    try {
        rc = Work();
    } catch (...) {
        undo();
        throw;
    }
    if (rc != 0) undo();
    return rc;
}

// The engine's configuration tables and what their saves leave behind hold the users' password
// hashes, and the key procedures' table names libraries the engine loads: only the configuration
// code reads them, in whatever folder they lie; to a client they are no table.
constexpr TqbResultCode kResultSystemFile = 8449; // "Cannot open a system file."
bool isConfigurationTable(std::string_view Name) {
    return IsSystemTableName(Name);
}

// Writers of a database's tables: none on a read-only engine, none through a database opened
// read-only.
TqbResultCode writeRefusal(TqbServerEngine& Engine, const TqbSrDatabase& Database) {
    if (Engine.GetIsReadOnly()) return 10763;
    return Database.OpenMode == qbomReadOnly ? 10501 : 0;
}

// Client table locks: read takes Intent Shared, write Exclusive.
uint8_t tableLockMode(TqbLockType Type) {
    return Type == qbltRead    ? uint8_t(lmIntentShared)
           : Type == qbltWrite ? uint8_t(lmExclusive)
                               : uint8_t(lmNone);
}

// The data file of a table of the folder, its name matched without regard to case.
std::string dataFileOf(const TqbSrFolder& Folder, const std::string& Name) {
    return plat::JoinPath(Folder.GetPath(), ResolveTableName(Folder.GetPath(), Name) + ".QB2");
}

// Extensions of a table's files after the data file's.
std::vector<std::string> otherExtensions(const TqbDataDictionary& Dictionary) {
    std::vector<std::string> exts;
    for (int32_t i = 1; i < Dictionary.FileCount(); ++i)
        exts.push_back(Dictionary.FileExt(i));
    return exts;
}

TqbIndexDesc indexDescOf(const TqbIndexDescriptor& D) {
    TqbIndexDesc d;
    d.Name = D.Name;
    d.Description = D.Description;
    d.FileNumber = D.FileNumber;
    d.KeyLength = D.KeyLength;
    d.KeyFieldCount = D.KeyFieldCount;
    for (size_t i = 0; i < d.KeyFields.size() && i < D.KeyFields.size(); ++i) {
        d.KeyFields[i] = D.KeyFields[i];
        d.HelperNames[i] = D.HelperNames[i];
    }
    d.AllowDups = D.AllowDups;
    d.IsAscending = D.IsAscending;
    d.IsCaseInsensitive = D.IsCaseInsensitive;
    return d;
}

// The dictionary of a table of the database's folder: the open table's, else read from its files
// (10039 for a name that is no table name, 10024 without a data file). The caller holds the table
// list.
void readDictionary(TqbServerEngine& Engine, TqbSrDatabase& Database, const std::string& Name,
                    TqbDataDictionary& Out) {
    if (TqbSrTablePtr open = Engine.TableList().FindByFolderAndName(Database.Folder(), Name)) {
        PortalReadGuard<TqbSrBaseTable> read(*open);
        Out.Assign(&open->GetDictionary());
        return;
    }
    if (!IsValidTableName(Name)) RaiseResultCode(10039);
    if (!plat::FileExists(dataFileOf(Database.Folder(), Name))) RaiseResultCode(10024);
    TqbSrTable table(Engine.Host(), Engine.BufferManager(), Database.FolderPtr(), Name);
    table.OpenFiles(TqbServerEngine::seIsSystemTable(Name));
    Out.Assign(&table.GetDictionary());
}

// The dictionary read as a result code.
TqbResultCode tableDictionary(TqbServerEngine& Engine, TqbSrDatabase& Database, const std::string& Name,
                              TqbDataDictionary& Out) {
    try {
        readDictionary(Engine, Database, Name, Out);
        return 0;
    } catch (...) {
        return Engine.ConvertException(std::current_exception());
    }
}

// Deletes the files of a table that is not open. A table whose dictionary cannot be read for
// another reason than its name or its absence loses its data file, so that a damaged table can
// still be removed; the table is gone then all the same.
TqbResultCode tableDelete(TqbServerEngine& Engine, TqbSrDatabase& Database, const std::string& Name) {
    TqbServerDataDict d;
    const TqbResultCode rc = tableDictionary(Engine, Database, Name, d);
    if (rc == 10039 || rc == 10024) return rc;
    const std::string& folder = Database.Folder().GetPath();
    if (rc == 0)
        DeleteTableFiles(folder, ResolveTableName(folder, Name), otherExtensions(d));
    else
        DeleteFileChecked(dataFileOf(Database.Folder(), Name));
    SyncFolder(folder);
    return 0;
}

// True when the table is open in the engine even after its unused instance was let go. The caller
// holds the table list.
bool stillOpen(TqbServerEngine& Engine, TqbSrDatabase& Database, const std::string& Name) {
    TqbSrTableList& list = Engine.TableList();
    if (TqbSrTablePtr t = list.FindByFolderAndName(Database.Folder(), Name)) list.RemoveTable(t.get());
    return list.FindByFolderAndName(Database.Folder(), Name) != nullptr;
}

// A cursor the engine opens on a table for one operation, read-write and exclusive, closed again
// with the table's instance when the operation ends.
class OwnCursor {
public:
    OwnCursor(TqbServerEngine& Engine, TqbSrDatabase& Database, const std::string& Name)
        : engine_(Engine), cursor_(Engine.Host().NewCursor(Database, Database.Timeout())) {
        cursor_->Open(Name, "", 0, true, qbsmExclusive, TqbServerEngine::seIsSystemTable(Name), false, false);
    }
    ~OwnCursor() {
        TqbSrTablePtr table = cursor_->TablePtr();
        try {
            cursor_->Close();
            if (table) engine_.TableList().RemoveTable(table.get());
        } catch (...) {
        }
    }
    OwnCursor(const OwnCursor&) = delete;
    OwnCursor& operator=(const OwnCursor&) = delete;
    TqbSrBaseCursor& operator*() { return *cursor_; }

private:
    TqbServerEngine& engine_;
    std::shared_ptr<TqbSrBaseCursor> cursor_;
};

// Runs Work(cursor) on a cursor of its own on the named table: 10031 while the table is open
// elsewhere. Not inside the client's transaction (10756): the change would be that transaction's
// while the table goes with this cursor, so its commit or rollback would meet a freed table; and
// a rollback cannot take an added or dropped index out of the open table's dictionary.
template <class F>
TqbResultCode withOwnCursor(TqbServerEngine& Engine, TqbSrDatabase& Database, const std::string& Name,
                            F&& Work) {
    if (Database.InTransaction()) return 10756;
    std::optional<OwnCursor> cursor;
    {
        TableListLock lock(Engine.TableList());
        if (stillOpen(Engine, Database, Name)) return 10031;
        cursor.emplace(Engine, Database, Name);
    }
    return Work(**cursor);
}

// A change of a table through a cursor, between the extenders' Before and Undo actions, inside the
// cursor's write (an implicit transaction when the database runs none): through the client's
// cursor, or without one (CursorID 0) through a cursor of the engine's own on the named table.
template <class F>
TqbResultCode tableChange(TqbServerEngine& Engine, TqbHandle DatabaseID, TqbHandle CursorID,
                          const std::string& TableName, int32_t Before, int32_t Undo, bool MarkFailed,
                          F&& Change) {
    auto run = [&](TqbSrBaseCursor& c) {
        return withActions(c, Before, Undo, [&] {
            return Engine.seCursorWrite(c, false, false, MarkFailed, [&] { return Change(c); });
        });
    };
    if (CursorID != 0)
        return Engine.CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
            if (TqbResultCode rc = writeRefusal(Engine, c.Database())) return rc;
            return run(c);
        });
    return Engine.DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (TqbResultCode rc = writeRefusal(Engine, db)) return rc;
        if (isConfigurationTable(TableName)) return kResultSystemFile;
        return withOwnCursor(Engine, db, TableName, run);
    });
}

// A background job on a named table: RebuildID -1 until it starts; the checks every such job makes
// first, then Start with the request filled with the database and the name.
template <class F>
TqbResultCode tableJob(TqbServerEngine& Engine, TqbHandle DatabaseID, const std::string& TableName,
                       TqbHandle& RebuildID, F&& Start) {
    RebuildID = TqbHandle(-1);
    return Engine.DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (TqbResultCode rc = writeRefusal(Engine, db)) return rc;
        if (!IsValidTableName(TableName)) return 10039;
        if (isConfigurationTable(TableName)) return kResultSystemFile;
        TqbServerEngine::TqbRebuildRequest r;
        r.Database = &db;
        r.TableName = TableName;
        return Start(r);
    });
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Building, opening, deleting and renaming

TqbResultCode TqbServerEngine::TableBuild(TqbHandle DatabaseID, bool OverWrite, const std::string& TableName,
                                          bool ForServer, TqbDataDictionary& Dictionary) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (GetIsReadOnly() || db.OpenMode != qbomReadWrite) return 10501;
        if (isConfigurationTable(TableName)) return kResultSystemFile;
        TableListLock lock(TableList());
        if (stillOpen(*this, db, TableName)) return 10031;
        if (!IsValidTableName(TableName)) return 10039;
        if (plat::FileExists(dataFileOf(db.Folder(), TableName))) {
            if (!OverWrite) return 13060;
            const TqbResultCode rc = tableDelete(*this, db, TableName);
            if (plat::FileExists(dataFileOf(db.Folder(), TableName))) return rc != 0 ? rc : 13060;
        }
        // The files are built and committed in a transaction of the table's own, whatever the
        // database runs.
        TqbSrTable table(*host_, *bm_, db.FolderPtr(), TableName);
        table.BuildFiles(Dictionary, ForServer ? 1 : 0);
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
        if (isConfigurationTable(TableName)) return kResultSystemFile;
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

TqbResultCode TqbServerEngine::TableDelete(TqbHandle DatabaseID, const std::string& TableName) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (TqbResultCode rc = writeRefusal(*this, db)) return rc;
        if (TableName.empty()) return 10039;
        if (isConfigurationTable(TableName)) return kResultSystemFile;
        TableListLock lock(TableList());
        if (stillOpen(*this, db, TableName)) return 10031;
        return tableDelete(*this, db, TableName);
    });
}

TqbResultCode TqbServerEngine::TableRename(TqbHandle DatabaseID, const std::string& OldName,
                                           const std::string& NewName) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (TqbResultCode rc = writeRefusal(*this, db)) return rc;
        if (!IsValidTableName(NewName)) return 10039;
        if (isConfigurationTable(OldName) || isConfigurationTable(NewName)) return kResultSystemFile;
        TableListLock lock(TableList());
        if (stillOpen(*this, db, OldName)) return 10031;
        const std::string& folder = db.Folder().GetPath();
        // A new name that differs only in case names the same table.
        if (TextCompareNoCase(OldName, NewName) != 0 &&
            (TableList().FindByFolderAndName(db.Folder(), NewName) ||
             plat::FileExists(dataFileOf(db.Folder(), NewName))))
            return 13060;
        TqbServerDataDict d;
        readDictionary(*this, db, OldName, d);
        const std::string onDisk = ResolveTableName(folder, OldName);
        if (onDisk == NewName) return 0;
        RenameTableFiles(folder, onDisk, NewName, otherExtensions(d));
        SyncFolder(folder);
        return 0;
    });
}

TqbResultCode TqbServerEngine::TableEmpty(TqbHandle DatabaseID, TqbHandle CursorID,
                                          const std::string& TableName) {
    // Without a cursor the table is emptied in place through one all the same: it keeps its
    // dictionary and block size, and a failure leaves all its records.
    return tableChange(*this, DatabaseID, CursorID, TableName, 14, 15, false,
                       [](TqbSrBaseCursor& c) { return c.TableEmpty(); });
}

// ---------------------------------------------------------------------------------------------
// Indexes (a failed change inside the client's transaction is undone only by its rollback)

TqbResultCode TqbServerEngine::TableAddIndex(TqbHandle DatabaseID, TqbHandle CursorID,
                                             const std::string& TableName,
                                             const TqbIndexDescriptor& IndexDesc) {
    const TqbIndexDesc desc = indexDescOf(IndexDesc);
    return tableChange(*this, DatabaseID, CursorID, TableName, 22, 23, true,
                       [&](TqbSrBaseCursor& c) { return c.TableAddIndex(desc); });
}

TqbResultCode TqbServerEngine::TableDropIndex(TqbHandle DatabaseID, TqbHandle CursorID,
                                              const std::string& TableName, const std::string& IndexName,
                                              int32_t IndexID) {
    return tableChange(*this, DatabaseID, CursorID, TableName, 14, 15, true,
                       [&](TqbSrBaseCursor& c) { return c.TableDropIndex(IndexName, IndexID); });
}

// ---------------------------------------------------------------------------------------------
// Auto-increment values, dictionaries and record counts

TqbResultCode TqbServerEngine::TableGetAutoInc(TqbHandle CursorID, uint32_t& Value) {
    Value = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return withActions(c, 11, eaNoUndo, [&] { return c.TableGetAutoInc(Value); });
    });
}

TqbResultCode TqbServerEngine::TableSetAutoInc(TqbHandle CursorID, uint32_t Value) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return withActions(c, 12, 13, [&] {
            return seCursorWrite(c, false, false, true, [&] { return c.TableSetAutoInc(Value); });
        });
    });
}

TqbResultCode TqbServerEngine::TableGetDictionary(TqbHandle DatabaseID, const std::string& TableName,
                                                  cls::TStream& Stream) {
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase& db) -> TqbResultCode {
        if (isConfigurationTable(TableName)) return kResultSystemFile;
        TqbServerDataDict d;
        {
            TableListLock lock(TableList());
            readDictionary(*this, db, TableName, d);
        }
        std::string bytes;
        d.WriteToStream(bytes);
        Stream.WriteBuffer(bytes.data(), int32_t(bytes.size()));
        return 0;
    });
}

TqbResultCode TqbServerEngine::TableGetRecordCount(TqbHandle CursorID, int32_t& Count) {
    Count = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return withActions(c, 11, eaNoUndo, [&] {
            uint32_t n = 0;
            const int32_t rc = c.TableGetRecordCount(n);
            Count = int32_t(n);
            return rc;
        });
    });
}

// ---------------------------------------------------------------------------------------------
// Background jobs: the operations' own checks, then the job's start

TqbResultCode TqbServerEngine::TableGetRecordCountAsync(TqbHandle CursorID, TqbHandle& RebuildID) {
    RebuildID = TqbHandle(-1);
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        TqbRebuildRequest r;
        r.Kind = TqbRebuildKind::RecordCount;
        r.Cursor = &c;
        return seStartRebuildJob(r, RebuildID);
    });
}

TqbResultCode TqbServerEngine::TablePack(TqbHandle DatabaseID, const std::string& TableName,
                                         TqbHandle& RebuildID) {
    return tableJob(*this, DatabaseID, TableName, RebuildID, [&](TqbRebuildRequest& r) {
        r.Kind = TqbRebuildKind::Pack;
        return seStartRebuildJob(r, RebuildID);
    });
}

TqbResultCode TqbServerEngine::TableReindex(TqbHandle DatabaseID, const std::string& TableName,
                                            const std::string& IndexName, int32_t IndexID,
                                            TqbHandle& RebuildID) {
    return tableJob(*this, DatabaseID, TableName, RebuildID, [&](TqbRebuildRequest& r) {
        r.Kind = TqbRebuildKind::Reindex;
        r.IndexName = IndexName;
        r.IndexID = IndexID;
        return seStartRebuildJob(r, RebuildID);
    });
}

TqbResultCode TqbServerEngine::TableRestructure(TqbHandle DatabaseID, const std::string& TableName,
                                                TqbDataDictionary& NewDictionary,
                                                const cls::TStringList* FieldMap, TqbHandle& RebuildID) {
    return tableJob(*this, DatabaseID, TableName, RebuildID, [&](TqbRebuildRequest& r) {
        r.Kind = TqbRebuildKind::Restructure;
        r.NewDictionary = &NewDictionary;
        r.FieldMap = FieldMap;
        return seStartRebuildJob(r, RebuildID);
    });
}

// ---------------------------------------------------------------------------------------------
// Table locks: a client's read or write lock on a table, kept in the table's cursor content-lock
// container, where every write of another cursor looks for it.

TqbResultCode TqbServerEngine::TableIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) {
    IsLocked = false;
    if (LockType == qbltNone) return 0;
    const uint8_t mode = tableLockMode(LockType);
    if (mode == lmNone) return kResultInvalidParameter;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return withActions(c, 11, eaNoUndo, [&] {
            IsLocked = c.Table()->CursorContentLockContainer().OwnerMode(c.CursorID()) == mode;
            return 0;
        });
    });
}

TqbResultCode TqbServerEngine::TableLockAcquire(TqbHandle CursorID, TqbLockType LockType) {
    if (LockType == qbltNone) return 0;
    const uint8_t mode = tableLockMode(LockType);
    if (mode == lmNone) return kResultInvalidParameter;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        const TqbResultCode rc = withActions(c, 26, 28, [&] {
            c.Table()->AcquireCursorContentLock(c.CursorID(), mode);
            return 0;
        });
        return rc != 0 ? rc : c.NotifyExtenders(27, eaNoUndo);
    });
}

TqbResultCode TqbServerEngine::TableLockRelease(TqbHandle CursorID, TqbLockType LockType, bool AllLocks) {
    (void)LockType;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        c.TableLockRelease(AllLocks);
        return 0;
    });
}
