// File primitives of the storage layer: the table of ten file routines, the record of one open
// table file (TbtdFileInfo), exact and block I/O with the block scrambler, and the size limits.
#pragma once
#include "db/base/qbllexcp.h"
#include "db/storage/qbsrlock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class TqbBufferManager;
class TqbbmRAMPage;
struct TqbbmPageIndex;
class TqbBLOBResourceManager;
class TqbBaseTempStorage;
class TqbStringResource;

// "QB_SERVER_STRINGS", shared by the storage layer and the engine.
TqbStringResource& ServerStrings();
[[noreturn]] void RaiseServerError(int32_t code, const QbFormatArgs& args = {});
[[noreturn]] void RaiseGeneralError(int32_t code, const QbFormatArgs& args = {});

inline constexpr uint32_t kFileInfoMarker = 0xFF15FABB;
inline constexpr int64_t kNoFileHandle = -1;
inline constexpr uint64_t kNoOwnerCursor = ~uint64_t(0);
// Flag byte bits.
inline constexpr uint8_t kFileNoDiskFile = 2;       // an in-memory table: no OS calls, no flush
inline constexpr uint8_t kFileNoContentLocking = 4; // the table takes no content locks
// The largest block count when the volume gives no limit.
inline constexpr uint32_t kMaxBlockCount = 2147483647;

// One open table file.
struct TbtdFileInfo {
    uint32_t Marker = kFileInfoMarker;
    int64_t Handle = kNoFileHandle; // for a file without disk file: 0 while open
    uint32_t BlockSize = 0;
    uint32_t BlockShift = 0;
    // Grows inside a writer's transaction while readers outside it check references against it.
    std::atomic<uint32_t> BlockCount{0};
    uint32_t RecordLength = 0;
    uint32_t SlotLength = 0;
    std::string FileName;
    TqbBufferManager* BufferManager = nullptr;
    bool ReadWrite = false;
    int ShareMode = 0;
    bool WriteThrough = false;
    bool KeySelect = false; // scrambler key B instead of A
    bool Encrypted = false;
    uint32_t MaxBlockCount = 0;
    uint32_t MaxBLOBSegmentSize = 0;
    std::shared_ptr<TqbBLOBResourceManager> BLOBManager;
    TqbFileRecordLocks RecordLocks;
    uint64_t OwnerCursor = kNoOwnerCursor;
    uint32_t Version = 0;
    uint8_t Flags = 0;
    // The routines' file position.
    uint64_t Position = 0;
    // The buffer manager's page index: block 0 directly, the others in a tree.
    TqbbmRAMPage* Block0Page = nullptr;
    TqbbmPageIndex* PageIndex = nullptr;
    // Where the pages of an in-memory table go when RAM runs short, when not the buffer
    // manager's own storage.
    std::shared_ptr<TqbBaseTempStorage> TempStore;

    bool HasDiskFile() const { return !(Flags & kFileNoDiskFile); }
};

// The ten file routines; the engine installs them when it is created.
struct TqbFileRoutines {
    void (*CloseFile)(TbtdFileInfo& FileInfo);
    void (*FlushFile)(TbtdFileInfo& FileInfo);
    uint64_t (*GetFilePos)(TbtdFileInfo& FileInfo);
    // The handle of the opened file.
    int64_t (*OpenFile)(const std::string& Name, bool ReadWrite, int ShareMode, bool Create,
                        bool WriteThrough);
    void (*SeekFile)(TbtdFileInfo& FileInfo, uint64_t Position);
    uint64_t (*SeekToEnd)(TbtdFileInfo& FileInfo);
    uint32_t (*ReadFile)(TbtdFileInfo& FileInfo, uint32_t Count, void* Buffer);
    void (*SetEndOfFile)(TbtdFileInfo& FileInfo, uint64_t Position);
    uint32_t (*WriteFile)(TbtdFileInfo& FileInfo, uint32_t Count, const void* Buffer);
    void (*Sleep)(uint32_t Milliseconds);
};
const TqbFileRoutines& FileRoutines();
void InstallFileRoutines(const TqbFileRoutines& routines);
// The default routines, over the program's file layer (platform/Files).
void InstallWin32FileRoutines();
const TqbFileRoutines& Win32FileRoutines();

// The scrambler key of a table's blocks follows from its name, as the engine decides it at open
// (true: key B). Recovery asks the same so that a replayed block is scrambled as at commit.
// Installed from the start is the engine's rule, IsSystemTableName; nullptr puts it back.
using TqbKeySelector = bool (*)(std::string_view TableName);
void SetTableKeySelector(TqbKeySelector selector);
bool TableKeySelect(std::string_view TableName);
// The server's own tables, scrambled with key B: "SAV", "QBS" or "XXS" followed by "ALIAS",
// "INDEX", "INFO" or "USER" (of the rest only the first five characters count; any case).
bool IsSystemTableName(std::string_view TableName);

// Block sizes and shifts.
uint32_t BlockSizeToShift(uint32_t blockSize);

// File-info operations.
std::unique_ptr<TbtdFileInfo> AllocFileInfo(std::string_view Path, std::string_view Extension,
                                            TqbBufferManager* BufferManager);
void FreeFileInfo(std::unique_ptr<TbtdFileInfo>& FileInfo);
// Raises server error 0 unless the record is valid (and open, when needOpen).
void CheckFileInfo(const TbtdFileInfo& FileInfo, bool needOpen);
void OpenFile(TbtdFileInfo& FileInfo, bool ReadWrite, int ShareMode, bool Create, bool WriteThrough);
void CloseFile(TbtdFileInfo& FileInfo);
bool IsFileOpen(const TbtdFileInfo& FileInfo);
void ReopenFile(TbtdFileInfo& FileInfo);
void FlushFile(TbtdFileInfo& FileInfo);
uint64_t GetFilePosition(TbtdFileInfo& FileInfo);
uint64_t GetFileSize(TbtdFileInfo& FileInfo);
void SeekFile(TbtdFileInfo& FileInfo, uint64_t Position);
uint64_t SeekToEndOfFile(TbtdFileInfo& FileInfo);
uint32_t ReadFileBuffer(TbtdFileInfo& FileInfo, uint32_t Count, void* Buffer);
void ReadFileExact(TbtdFileInfo& FileInfo, uint32_t Count, void* Buffer);
void ReadFileExactAt(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Count, void* Buffer);
void WriteFileExact(TbtdFileInfo& FileInfo, uint32_t Count, const void* Buffer);
void WriteFileExactAt(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Count, const void* Buffer);
// Blocks other than the header (position 0) of an encrypted file are scrambled on disk. A write
// may cover neighbouring whole blocks.
void ReadFileBlock(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Size, void* Buffer);
void WriteFileBlock(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Size, const void* Buffer);

// The current header signature passes; the older format raises 113, anything else 32.
void CheckFileSignature(const TbtdFileInfo& FileInfo, uint32_t Signature);
// The largest size a file may have on its volume (0 = unknown), and the limits that follow.
uint64_t GetMaxFileSize(const TbtdFileInfo& FileInfo);
uint64_t MaxFileSizeForVolume(std::string_view fileSystem, std::string_view path, uint64_t volumeLimit);
// min(size div block size, 2147483647); an unknown (0) limit gives 2147483647.
uint32_t MaxBlockCountFor(uint64_t maxFileSize, uint32_t blockSize);
uint32_t GetMaxBLOBSegmentSize(const TbtdFileInfo& FileInfo);

// General errors 273 and 274 with the system's error number and text.
void DeleteFileChecked(std::string_view Name);
void RenameFileChecked(std::string_view OldName, std::string_view NewName);
// Makes creations and removals in the folder durable; failure raises server error 9.
void SyncFolder(std::string_view Folder);
