// File primitives: the default file routines over the program's file layer, the file-info
// operations, exact and block I/O, and the volume limits.
#include "db/storage/qbfile.h"

#include "db/base/qbllbase.h"
#include "db/base/qbsrmgr.h"
#include "db/base/qbtbcryp.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

TqbStringResource& ServerStrings() {
    // Never freed: threads still running at exit may look texts up.
    static TqbStringResource& r = *new TqbStringResource("QB_SERVER_STRINGS");
    return r;
}

void RaiseServerError(int32_t code, const QbFormatArgs& args) {
    RaiseResourceErrorFmt<EqbServerException>(ServerStrings(), code, args);
}

void RaiseGeneralError(int32_t code, const QbFormatArgs& args) {
    RaiseResourceErrorFmt<EqbException>(GeneralStrings(), code, args);
}

namespace {

// Routine failures: the file name, the system's error number and its text.
[[noreturn]] void raiseFileError(int32_t code, const std::string& name, int err) {
    RaiseServerError(code, {name, err, plat::FileErrorText(err)});
}

[[noreturn]] void raiseSeekError(const std::string& name, uint64_t pos, int err) {
    RaiseServerError(8, {name, uint32_t(pos >> 32), uint32_t(pos), err, plat::FileErrorText(err)});
}

plat::FileShare shareFor(int shareMode) {
    return shareMode == 0 ? plat::FileShare::None
                          : (shareMode == 2 ? plat::FileShare::Read : plat::FileShare::ReadWrite);
}

void rtClose(TbtdFileInfo& f) {
    int64_t h = f.Handle;
    f.Handle = kNoFileHandle;
    if (int err = plat::FileClose(h)) raiseFileError(3, f.FileName, err);
}

void rtFlush(TbtdFileInfo& f) {
    if (int err = plat::FileSync(f.Handle, true)) raiseFileError(9, f.FileName, err);
}

uint64_t rtGetPos(TbtdFileInfo& f) {
    return f.Position;
}

int64_t rtOpen(const std::string& name, bool readWrite, int shareMode, bool create, bool writeThrough) {
    uint32_t flags = (readWrite ? plat::kFileReadWrite : plat::kFileRead) | plat::kFileAnyCase;
    if (create) flags |= plat::kFileCreate | plat::kFileTruncate;
    if (writeThrough) flags |= plat::kFileWriteThrough;
    plat::FileHandle h = plat::kNoFile;
    if (int err = plat::FileOpen(name, flags, shareFor(shareMode), h)) raiseFileError(1, name, err);
    return h;
}

void rtSeek(TbtdFileInfo& f, uint64_t pos) {
    f.Position = pos;
}

uint64_t rtSeekToEnd(TbtdFileInfo& f) {
    uint64_t size = 0;
    if (int err = plat::FileSize(f.Handle, size)) raiseSeekError(f.FileName, 0, err);
    f.Position = size;
    return size;
}

uint32_t rtRead(TbtdFileInfo& f, uint32_t count, void* buffer) {
    // The end of the file is no error of the routine: it reports the count. Any failure of the
    // device is, with the system's text (the whole-transfer helper would give EIO for both).
    size_t done = 0;
    while (done < count) {
        size_t n = 0;
        if (int err = plat::Files().read(f.Handle, f.Position + done, static_cast<char*>(buffer) + done,
                                         count - done, n))
            raiseFileError(4, f.FileName, err);
        if (n == 0) break;
        done += n;
    }
    f.Position += done;
    return uint32_t(done);
}

void rtSetEnd(TbtdFileInfo& f, uint64_t pos) {
    if (int err = plat::FileTruncate(f.Handle, pos)) raiseFileError(10, f.FileName, err);
    f.Position = pos;
}

uint32_t rtWrite(TbtdFileInfo& f, uint32_t count, const void* buffer) {
    if (int err = plat::FileWriteExact(f.Handle, f.Position, buffer, count))
        raiseFileError(6, f.FileName, err);
    f.Position += count;
    return count;
}

void rtSleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

constexpr TqbFileRoutines kWin32Routines = {rtClose,     rtFlush, rtGetPos, rtOpen,  rtSeek,
                                            rtSeekToEnd, rtRead,  rtSetEnd, rtWrite, rtSleep};

std::mutex g_routinesMutex;
TqbFileRoutines g_routines = kWin32Routines;

bool isReadOnlyFile(const std::string& name) {
    plat::FileStat st;
    return plat::FileStatPath(plat::ResolveCaseInsensitive(name), st) == 0 && !st.isDir && st.readOnly;
}

} // namespace

const TqbFileRoutines& FileRoutines() {
    return g_routines;
}

void InstallFileRoutines(const TqbFileRoutines& routines) {
    std::lock_guard lk(g_routinesMutex);
    g_routines = routines;
}

void InstallWin32FileRoutines() {
    InstallFileRoutines(kWin32Routines);
}

const TqbFileRoutines& Win32FileRoutines() {
    return kWin32Routines;
}

bool IsSystemTableName(std::string_view TableName) {
    auto in = [](std::string_view part, std::initializer_list<std::string_view> names) {
        return std::any_of(names.begin(), names.end(),
                           [&](std::string_view n) { return TextCompareNoCase(part, n) == 0; });
    };
    return TableName.size() > 3 && in(TableName.substr(0, 3), {"SAV", "QBS", "XXS"}) &&
           in(TableName.substr(3, 5), {"ALIAS", "INDEX", "INFO", "USER"});
}

namespace {
std::atomic<TqbKeySelector> g_keySelector{IsSystemTableName};
} // namespace

void SetTableKeySelector(TqbKeySelector selector) {
    g_keySelector = selector ? selector : IsSystemTableName;
}

bool TableKeySelect(std::string_view TableName) {
    return g_keySelector.load()(TableName);
}

uint32_t BlockSizeToShift(uint32_t blockSize) {
    switch (blockSize) {
    case 4096:
        return 12;
    case 8192:
        return 13;
    case 16384:
        return 14;
    case 32768:
        return 15;
    default:
        return 16;
    }
}

// ---------------------------------------------------------------------------------------------
// File info

std::unique_ptr<TbtdFileInfo> AllocFileInfo(std::string_view Path, std::string_view Extension,
                                            TqbBufferManager* BufferManager) {
    auto f = std::make_unique<TbtdFileInfo>();
    PathForceExt(PathExpand(Path), Extension.substr(0, 3), f->FileName);
    f->BufferManager = BufferManager;
    return f;
}

void FreeFileInfo(std::unique_ptr<TbtdFileInfo>& FileInfo) {
    if (FileInfo && IsFileOpen(*FileInfo)) CloseFile(*FileInfo);
    if (FileInfo) FileInfo->Marker = 0;
    FileInfo.reset();
}

void CheckFileInfo(const TbtdFileInfo& FileInfo, bool needOpen) {
    if (FileInfo.Marker != kFileInfoMarker || FileInfo.FileName.empty() ||
        (needOpen && FileInfo.Handle == kNoFileHandle))
        RaiseServerError(0);
}

void OpenFile(TbtdFileInfo& FileInfo, bool ReadWrite, int ShareMode, bool Create, bool WriteThrough) {
    CheckFileInfo(FileInfo, false);
    if (FileInfo.Handle != kNoFileHandle) RaiseServerError(0);
    if (!FileInfo.HasDiskFile()) {
        FileInfo.Handle = 0;
    } else {
        if (!Create && ReadWrite && isReadOnlyFile(FileInfo.FileName)) {
            ReadWrite = false;
            ShareMode = 3;
        }
        FileInfo.Handle =
            FileRoutines().OpenFile(FileInfo.FileName, ReadWrite, ShareMode, Create, WriteThrough);
    }
    FileInfo.Position = 0;
    FileInfo.ReadWrite = ReadWrite;
    FileInfo.ShareMode = ShareMode;
    FileInfo.WriteThrough = WriteThrough;
}

void CloseFile(TbtdFileInfo& FileInfo) {
    CheckFileInfo(FileInfo, true);
    FileInfo.BLOBManager.reset();
    FileInfo.RecordLocks.Reset();
    if (FileInfo.HasDiskFile()) FileRoutines().CloseFile(FileInfo);
    FileInfo.Handle = kNoFileHandle;
}

bool IsFileOpen(const TbtdFileInfo& FileInfo) {
    return FileInfo.Marker == kFileInfoMarker && FileInfo.Handle != kNoFileHandle;
}

void ReopenFile(TbtdFileInfo& FileInfo) {
    CheckFileInfo(FileInfo, true);
    if (!FileInfo.HasDiskFile()) return;
    FileRoutines().CloseFile(FileInfo);
    FileInfo.Handle = FileRoutines().OpenFile(FileInfo.FileName, FileInfo.ReadWrite, FileInfo.ShareMode,
                                              false, FileInfo.WriteThrough);
    FileInfo.Position = 0;
}

void FlushFile(TbtdFileInfo& FileInfo) {
    CheckFileInfo(FileInfo, true);
    if (FileInfo.HasDiskFile()) FileRoutines().FlushFile(FileInfo);
}

uint64_t GetFilePosition(TbtdFileInfo& FileInfo) {
    CheckFileInfo(FileInfo, true);
    return FileRoutines().GetFilePos(FileInfo);
}

uint64_t GetFileSize(TbtdFileInfo& FileInfo) {
    CheckFileInfo(FileInfo, true);
    auto& r = FileRoutines();
    uint64_t pos = r.GetFilePos(FileInfo);
    uint64_t size = r.SeekToEnd(FileInfo);
    r.SeekFile(FileInfo, pos);
    return size;
}

void SeekFile(TbtdFileInfo& FileInfo, uint64_t Position) {
    CheckFileInfo(FileInfo, true);
    FileRoutines().SeekFile(FileInfo, Position);
}

uint64_t SeekToEndOfFile(TbtdFileInfo& FileInfo) {
    CheckFileInfo(FileInfo, true);
    return FileRoutines().SeekToEnd(FileInfo);
}

uint32_t ReadFileBuffer(TbtdFileInfo& FileInfo, uint32_t Count, void* Buffer) {
    CheckFileInfo(FileInfo, true);
    return FileRoutines().ReadFile(FileInfo, Count, Buffer);
}

void ReadFileExact(TbtdFileInfo& FileInfo, uint32_t Count, void* Buffer) {
    if (ReadFileBuffer(FileInfo, Count, Buffer) != Count) RaiseServerError(5, {FileInfo.FileName, Count});
}

void ReadFileExactAt(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Count, void* Buffer) {
    SeekFile(FileInfo, Position);
    ReadFileExact(FileInfo, Count, Buffer);
}

void WriteFileExact(TbtdFileInfo& FileInfo, uint32_t Count, const void* Buffer) {
    CheckFileInfo(FileInfo, true);
    if (FileRoutines().WriteFile(FileInfo, Count, Buffer) != Count)
        RaiseServerError(7, {FileInfo.FileName, Count});
}

void WriteFileExactAt(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Count, const void* Buffer) {
    SeekFile(FileInfo, Position);
    WriteFileExact(FileInfo, Count, Buffer);
}

void ReadFileBlock(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Size, void* Buffer) {
    ReadFileExactAt(FileInfo, Position, Size, Buffer);
    if (Position != 0 && FileInfo.Encrypted)
        ScrambleBlock(Buffer, Size, Position, FileInfo.KeySelect ? TqbScrambleKey::B : TqbScrambleKey::A);
}

void WriteFileBlock(TbtdFileInfo& FileInfo, uint64_t Position, uint32_t Size, const void* Buffer) {
    if (!FileInfo.Encrypted || (Position == 0 && Size <= FileInfo.BlockSize)) {
        WriteFileExactAt(FileInfo, Position, Size, Buffer);
        return;
    }
    // Each writer scrambles in a buffer of its own thread, so no lock is needed around it. Size may
    // cover neighbouring blocks: each is scrambled at its own position.
    thread_local std::vector<uint8_t> work;
    work.assign(static_cast<const uint8_t*>(Buffer), static_cast<const uint8_t*>(Buffer) + Size);
    const uint32_t block = FileInfo.BlockSize && Size % FileInfo.BlockSize == 0 ? FileInfo.BlockSize : Size;
    for (uint32_t at = 0; at < Size; at += block)
        if (Position + at != 0)
            ScrambleBlock(work.data() + at, block, Position + at,
                          FileInfo.KeySelect ? TqbScrambleKey::B : TqbScrambleKey::A);
    WriteFileExactAt(FileInfo, Position, Size, work.data());
}

// ---------------------------------------------------------------------------------------------
// Signatures and limits

void CheckFileSignature(const TbtdFileInfo& FileInfo, uint32_t Signature) {
    if (Signature == 0x48024251) return;
    if (Signature == 0x48464251) RaiseServerError(113, {FileInfo.FileName, Signature});
    RaiseServerError(32, {FileInfo.FileName});
}

uint64_t MaxFileSizeForVolume(std::string_view fs, std::string_view path, uint64_t volumeLimit) {
    auto is = [&](std::string_view n) { return TextCompareNoCase(fs, n) == 0; };
    if (is("FAT32") || is("vfat") || is("msdos")) return 4294967294ull;
    if (is("NTFS")) return ~uint64_t(0);
    if (is("FAT16")) return 2147483647ull;
    if (is("CDFS") || is("iso9660")) return 0;
    if (is("FAT")) {
        bool driveA = path.size() >= 2 && (path[0] == 'A' || path[0] == 'a') && path[1] == ':';
        return driveA ? 1457664ull : 2147483647ull;
    }
    return volumeLimit;
}

uint64_t GetMaxFileSize(const TbtdFileInfo& FileInfo) {
    plat::VolumeInfo v;
    std::string dir = PathExtractDir(FileInfo.FileName);
    if (plat::FileVolume(dir.empty() ? "." : dir, v) != 0) return 0;
    return MaxFileSizeForVolume(v.fsName, FileInfo.FileName, v.maxFileSize);
}

uint32_t MaxBlockCountFor(uint64_t maxFileSize, uint32_t blockSize) {
    if (maxFileSize == 0 || blockSize == 0) return kMaxBlockCount;
    return uint32_t(std::min<uint64_t>(maxFileSize / blockSize, kMaxBlockCount));
}

uint32_t GetMaxBLOBSegmentSize(const TbtdFileInfo& FileInfo) {
    return FileInfo.BlockSize < 48 ? 0 : (FileInfo.BlockSize - 48) / 64 * 64;
}

// ---------------------------------------------------------------------------------------------
// Whole files

void DeleteFileChecked(std::string_view Name) {
    if (int err = plat::FileDelete(plat::ResolveCaseInsensitive(Name)))
        RaiseGeneralError(273, {err, plat::FileErrorText(err)});
}

void RenameFileChecked(std::string_view OldName, std::string_view NewName) {
    if (int err = plat::FileRename(plat::ResolveCaseInsensitive(OldName), NewName, false))
        RaiseGeneralError(274, {err, plat::FileErrorText(err)});
}

void SyncFolder(std::string_view Folder) {
    if (int err = plat::DirSync(Folder.empty() ? std::string_view(".") : Folder))
        RaiseServerError(9, {std::string(Folder), err, plat::FileErrorText(err)});
}
