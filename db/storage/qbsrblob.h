// BLOB storage: BLOBs as header, lookup and content segments inside BLOB blocks, links to BLOBs of
// other tables, file BLOBs, and the per-file manager of deleted segments.
#pragma once
#include "db/storage/qbtbdata.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

inline constexpr uint32_t kSigBLOB = 0x48424251; // 'Q','B','B','H'
inline constexpr uint32_t kBLOBInUse = 16;
inline constexpr uint32_t kBLOBSegments = 28;
inline constexpr uint32_t kSegmentUnit = 64;
inline constexpr uint32_t kSegHeaderSize = 20;
inline constexpr uint32_t kLookupEntrySize = 12;
inline constexpr uint32_t kBLOBLinkMark = 0xFFFFFFFE;
inline constexpr uint32_t kBLOBFileMark = 0xFFFFFFFF;
inline constexpr int32_t kMaxBLOBSize = 2147483647;
// Links to links are followed at most this deep.
inline constexpr int kMaxBLOBLinkDepth = 8;

// Largest segment and data bytes per content segment of a block size.
uint32_t BLOBLargestSegment(uint32_t BlockSize);
uint32_t BLOBDataPerSegment(uint32_t BlockSize);

struct TqbBLOBSegListItem {
    uint64_t Ref = 0;
    uint32_t Size = 0;
    int Action = 0; // 1 freed in the transaction, 2 taken from the free list in it
};

// Deleted segments of one file: the free list by size and the transaction's pending items.
class TqbBLOBSegmentMgr {
public:
    uint64_t NewSegment(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t Size);
    void DeleteSegment(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t SegmentRef);
    void Commit();
    // The free list is read again from the file's deleted chain at the next use, so nothing the
    // rolled-back transaction freed or split off can be handed out.
    void Rollback();
    void ListFreeSpace(std::string& Stream, bool InMemory) const;
    size_t FreeCount() const { return free_.size(); }
    size_t PendingCount() const { return pending_.size(); }

private:
    void joinTransaction(TbtdFileInfo& f, TqbSrTransaction* t);
    void load(TbtdFileInfo& f, TqbSrTransaction* t);
    void unlink(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref);
    void makeDeleted(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, uint32_t size);
    void addFree(uint64_t ref, uint32_t size);

    bool loaded_ = false;
    std::multimap<uint32_t, uint64_t> free_; // size -> segment
    std::vector<TqbBLOBSegListItem> pending_;
};

class TqbBLOBResourceManager {
public:
    std::mutex Padlock;
    TqbBLOBSegmentMgr& Segments() {
        if (!mgr_) mgr_ = std::make_unique<TqbBLOBSegmentMgr>();
        return *mgr_;
    }
    void Commit() {
        std::lock_guard lk(Padlock);
        if (mgr_) mgr_->Commit();
    }
    void Rollback() {
        std::lock_guard lk(Padlock);
        if (mgr_) mgr_->Rollback();
    }

private:
    std::unique_ptr<TqbBLOBSegmentMgr> mgr_;
};
using TqbBLOBResourceMgr = TqbBLOBResourceManager;

// The file's manager, made on first use.
TqbBLOBResourceManager& BLOBResourceManager(TbtdFileInfo& FileInfo);

// What the link callback is asked for.
enum TqbBLOBLinkRequest { blrLength = 0, blrRead = 1 };
// Answers the length, or the bytes read into Buffer, of BLOB BLOBNr of the linked table.
using TqbBLOBLinkCallback =
    std::function<uint64_t(const std::string& TableName, uint64_t BLOBNr, TqbBLOBLinkRequest Request,
                           uint64_t Offset, uint32_t Length, void* Buffer)>;

// File BLOBs name files inside this folder only (empty: file BLOBs are refused).
void SetBLOBFileFolder(const std::string& Folder);
std::string BLOBFileFolder();

void TableBLOBCreate(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t& BLOBNr);
void TableBLOBCreateLink(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, const std::string& TableName,
                         uint64_t& BLOBNr, uint64_t LinkedBLOBNr);
// The name is relative to the BLOB file folder, without ".." (338 otherwise).
void TableBLOBCreateFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, const std::string& FileName,
                         uint64_t& BLOBNr);
void TableBLOBDelete(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr);
bool TableBLOBDeleteIfEmpty(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr);
uint64_t TableBLOBGetLength(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr,
                            int32_t& Error, const TqbBLOBLinkCallback& LinkCallback = {});
bool TableBLOBGetFileName(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr,
                          std::string& FileName);
void TableBLOBRead(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr, uint64_t Offset,
                   uint32_t Length, void* Buffer, uint32_t& BytesRead, int32_t& Error,
                   const TqbBLOBLinkCallback& LinkCallback = {});
void TableBLOBWrite(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr, uint64_t Offset,
                    uint32_t Length, const void* Data);
void TableBLOBTruncate(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr,
                       uint64_t NewLength);
void TableBLOBListSegments(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t BLOBNr,
                           std::string& Stream);

// The segment at a reference: checked reference (49), block (33, 50), size and type (51).
// ExpectType 0 accepts any type.
uint8_t* BLOBGetSegment(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint64_t Ref,
                        TqbBlockHold& Hold, bool MarkDirty, char ExpectType);
