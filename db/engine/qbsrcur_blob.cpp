// The base cursor's BLOB operations, each between its extender notifications and under a content
// lock, and BLOB links followed through cursors on the linked tables.
#include "db/engine/qbsrcur_cursor.h"
#include "db/engine/qbsrcvex.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrblob.h"

#include <algorithm>

namespace {

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
// under a content lock of Mode, then Then after that lock is left, the extenders told after.
// Writes need a transaction.
template <class Op, class Then>
int32_t blobOperation(TqbSrBaseCursor& c, int32_t Before, int Mode, Op op, Then then) {
    TqbSrTransaction* t = c.Database().Transaction();
    if (Mode == 2 && !t) return 10257;
    if (int32_t rc = c.NotifyExtenders(Before, Before + 2)) return rc;
    int32_t rc;
    {
        TqbSrContentLock g(c, Mode);
        rc = op(blobFile(*c.Table()), t);
    }
    if (rc == 0) rc = then();
    c.NotifyExtenders(Before + 1, eaNoUndo);
    return rc;
}

template <class Op> int32_t blobOperation(TqbSrBaseCursor& c, int32_t Before, int Mode, Op op) {
    return blobOperation(c, Before, Mode, op, [] { return 0; });
}

// A link met by a read or a measure. It is followed once the cursor's content lock is left: under
// it (the table's portal outside a transaction) neither the table list's portal, which opening the
// linked cursor takes, nor another table's portal may be asked for, as a commit takes the tables'
// portals in its own order. Inside a transaction the content lock keeps the link as it was read;
// outside one the answer is that of the link as it was read, as if read at that moment.
struct MetLink {
    bool Met = false;
    std::string Table;
    uint64_t BLOBNr = 0, Offset = 0;
    uint32_t Length = 0;
    void* Buffer = nullptr;
};

TqbBLOBLinkCallback noteLink(MetLink& link) {
    return [&link](const std::string& table, uint64_t nr, TqbBLOBLinkRequest, uint64_t offset,
                   uint32_t length, void* buffer) -> uint64_t {
        link = MetLink{true, table, nr, offset, length, buffer};
        return 0;
    };
}

// The links this thread follows now, one inside another: a chain that leads back into itself ends
// at the limit instead of the stack's end.
class LinkChain {
public:
    LinkChain(TqbSrBaseTable& table, uint64_t nr) {
        if (depth_ >= kMaxBLOBLinkDepth)
            RaiseServerError(
                51, {blobFile(table).FileName, uint32_t(nr >> 32), uint32_t(nr), " (links nested too deep)"});
        ++depth_;
    }
    ~LinkChain() { --depth_; }
    LinkChain(const LinkChain&) = delete;
    LinkChain& operator=(const LinkChain&) = delete;

private:
    static thread_local int depth_;
};
thread_local int LinkChain::depth_ = 0;

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
    MetLink link;
    Error = blobOperation(
        *this, eaBLOBGetLength, 1,
        [&](TbtdFileInfo& f, TqbSrTransaction* t) {
            int32_t error = 0;
            length = int64_t(TableBLOBGetLength(f, t, BLOBNr, error, noteLink(link)));
            return error;
        },
        [&] {
            if (!link.Met) return 0;
            LinkChain chain(*table_, BLOBNr);
            int32_t error = 0;
            const int64_t n = GetLinkedBLOBLength(link.Table, link.BLOBNr, error);
            if (error) RaiseResultCode(error);
            length = std::max<int64_t>(n, 0);
            return 0;
        });
    return Error ? -1 : length;
}

int32_t TqbSrBaseCursor::BLOBRead(uint64_t BLOBNr, uint64_t Offset, uint32_t Length, void* Buffer,
                                  uint32_t& BytesRead) {
    BytesRead = 0;
    MetLink link;
    return blobOperation(
        *this, eaBLOBRead, 1,
        [&](TbtdFileInfo& f, TqbSrTransaction* t) {
            int32_t error = 0;
            TableBLOBRead(f, t, BLOBNr, Offset, Length, Buffer, BytesRead, error, noteLink(link));
            return error;
        },
        [&] {
            if (!link.Met) return 0;
            LinkChain chain(*table_, BLOBNr);
            uint32_t got = 0;
            if (int32_t rc = GetLinkedCursor(link.Table)
                                 ->BLOBRead(link.BLOBNr, link.Offset, link.Length, link.Buffer, got))
                RaiseResultCode(rc);
            BytesRead = std::min(Length, got);
            return 0;
        });
}

int32_t TqbSrBaseCursor::BLOBListSegments(uint64_t BLOBNr, std::string& Stream) {
    TqbSrContentLock g(*this, 1);
    TableBLOBListSegments(blobFile(*table_), database_.Transaction(), BLOBNr, Stream);
    return 0;
}
