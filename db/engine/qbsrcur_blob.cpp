// The base cursor's BLOB operations, each between its extender notifications and under a content
// lock, and BLOB links followed through cursors on the linked tables.
#include "db/engine/qbsrcur_cursor.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrblob.h"

#include <algorithm>

namespace {

[[noreturn]] void raiseCode(int32_t code) {
    throw EqbServerException(CompatErrorStrings().GetText(code), code);
}

std::string upper(std::string s) {
    s = s.substr(0, 31);
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

TbtdFileInfo& blobFile(TqbSrBaseTable& t) {
    TbtdFileInfo* f = t.GetFile(t.GetDictionary().BLOBFileNumber());
    if (!f) RaiseServerError(0);
    return *f;
}

// One BLOB operation: the extenders asked first (Before; Before + 2 undoes), the storage routine
// under a content lock of Mode, the extenders told after. Writes need a transaction.
template <class Op> int32_t blobOperation(TqbSrBaseCursor& c, int32_t Before, int Mode, Op op) {
    TqbSrTransaction* t = c.Database().Transaction();
    if (Mode == 2 && !t) return 10257;
    if (int32_t rc = c.NotifyExtenders(Before, Before + 2)) return rc;
    int32_t rc;
    {
        TqbSrContentLock g(c, Mode);
        rc = op(blobFile(*c.Table()), t);
    }
    c.NotifyExtenders(Before + 1, eaNoUndo);
    return rc;
}

// Reads and measures linked BLOBs through a cursor on the named table.
TqbBLOBLinkCallback linkCallback(TqbSrBaseCursor& c) {
    return [&c](const std::string& table, uint64_t nr, TqbBLOBLinkRequest request, uint64_t offset,
                uint32_t length, void* buffer) -> uint64_t {
        if (request == blrLength) {
            int32_t error = 0;
            const int64_t n = c.GetLinkedBLOBLength(table, nr, error);
            if (error) raiseCode(error);
            return uint64_t(std::max<int64_t>(n, 0));
        }
        TqbSrBaseCursor* linked = c.GetLinkedCursor(table);
        uint32_t got = 0;
        if (int32_t rc = linked->BLOBRead(nr, offset, length, buffer, got)) raiseCode(rc);
        return got;
    };
}

} // namespace

TqbSrBaseCursor* TqbSrBaseCursor::GetLinkedCursor(const std::string& TableName) {
    const std::string name = upper(TableName);
    for (auto& c : linked_)
        if (upper(c->Table()->GetName()) == name) return c.get();
    std::shared_ptr<TqbSrBaseCursor> c = host_.NewCursor(database_, Timeout());
    c->Open(TableName.substr(0, 31), "", 0, false, qbsmShared, false, false, false);
    linked_.push_back(c);
    return c.get();
}

int64_t TqbSrBaseCursor::GetLinkedBLOBLength(const std::string& TableName, uint64_t BLOBNr, int32_t& Error) {
    return GetLinkedCursor(TableName)->BLOBGetLength(BLOBNr, Error);
}

int32_t TqbSrBaseCursor::BLOBCreate(uint64_t& BLOBNr) {
    return blobOperation(*this, eaBLOBCreate, 2, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        TableBLOBCreate(f, t, BLOBNr);
        return 0;
    });
}

int32_t TqbSrBaseCursor::BLOBCreateLink(const std::string& TableName, uint64_t LinkedBLOBNr,
                                        uint64_t& BLOBNr) {
    return blobOperation(*this, eaBLOBCreateLink, 2, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        TableBLOBCreateLink(f, t, TableName.substr(0, 31), BLOBNr, LinkedBLOBNr);
        return 0;
    });
}

int32_t TqbSrBaseCursor::BLOBCreateFile(const std::string& FileName, uint64_t& BLOBNr) {
    return blobOperation(*this, eaBLOBCreateFile, 2, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        TableBLOBCreateFile(f, t, FileName, BLOBNr);
        return 0;
    });
}

int32_t TqbSrBaseCursor::BLOBDelete(uint64_t BLOBNr) {
    return blobOperation(*this, eaBLOBDelete, 2, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        TableBLOBDelete(f, t, BLOBNr);
        return 0;
    });
}

int32_t TqbSrBaseCursor::BLOBFree(uint64_t BLOBNr) {
    return blobOperation(*this, eaBLOBFree, 2, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        return TableBLOBDeleteIfEmpty(f, t, BLOBNr) ? 13058 : 0;
    });
}

int32_t TqbSrBaseCursor::BLOBTruncate(uint64_t BLOBNr, uint64_t NewLength) {
    return blobOperation(*this, eaBLOBTruncate, 2, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        TableBLOBTruncate(f, t, BLOBNr, NewLength);
        return 0;
    });
}

int32_t TqbSrBaseCursor::BLOBWrite(uint64_t BLOBNr, uint64_t Offset, uint32_t Length, const void* Buffer) {
    return blobOperation(*this, eaBLOBWrite, 2, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        TableBLOBWrite(f, t, BLOBNr, Offset, Length, Buffer);
        return 0;
    });
}

int64_t TqbSrBaseCursor::BLOBGetLength(uint64_t BLOBNr, int32_t& Error) {
    int64_t length = -1;
    Error = blobOperation(*this, eaBLOBGetLength, 1, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        int32_t error = 0;
        length = int64_t(TableBLOBGetLength(f, t, BLOBNr, error, linkCallback(*this)));
        return error;
    });
    return Error ? -1 : length;
}

int32_t TqbSrBaseCursor::BLOBRead(uint64_t BLOBNr, uint64_t Offset, uint32_t Length, void* Buffer,
                                  uint32_t& BytesRead) {
    BytesRead = 0;
    return blobOperation(*this, eaBLOBRead, 1, [&](TbtdFileInfo& f, TqbSrTransaction* t) {
        int32_t error = 0;
        TableBLOBRead(f, t, BLOBNr, Offset, Length, Buffer, BytesRead, error, linkCallback(*this));
        return error;
    });
}

int32_t TqbSrBaseCursor::BLOBListSegments(uint64_t BLOBNr, std::string& Stream) {
    TqbSrContentLock g(*this, 1);
    TableBLOBListSegments(blobFile(*table_), database_.Transaction(), BLOBNr, Stream);
    return 0;
}
