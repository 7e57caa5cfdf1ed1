// Start-up recovery: journals are checked against their folder before anything is written, then
// rolled forward or back; a journal that cannot be recovered stays and fails the start.
#include "db/storage/qbsrjour.h"

#include "db/base/qbllbase.h"
#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"
#include "db/storage/qblleng.h"
#include "db/storage/qbsrbase.h"
#include "db/storage/qbsrblob.h"
#include "db/storage/qbtbbase.h"
#include "db/storage/qbtbindx.h"
#include "db/storage/qbtbstrm.h"
#include "platform/ByteCodec.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

const TqbJournalTexts& JournalTexts(int Kind) {
    static const TqbJournalTexts texts[4] = {
        {"&Commit", true, "Complete journal file found!", "Recovery is possible!", true, false},
        {"&OK", false, "Incomplete journal file found!", "Recovery is impossible!", false, false},
        {"&OK", false, "Error processing journal file!", "Cannot recover!", false, true},
        {"&OK", false, "Error processing file! Skipped the file", "Cannot recover!", false, true},
    };
    return texts[Kind >= 0 && Kind <= 3 ? Kind : 3];
}

// ---------------------------------------------------------------------------------------------
// Checking a journal

namespace {

[[noreturn]] void badJournal(const std::string& name, const std::string& reason) {
    std::string text = qbFormat(ServerStrings().GetText(32), {name});
    throw EqbServerException(text + ": " + reason, 32);
}

std::string lastComponent(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

struct TableState {
    uint32_t BlockSize = 0;
    uint32_t Encrypted = 0;
    uint64_t DiskBlocks = 0;
    uint64_t FileBlocks = 0;
    uint64_t AfterImages = 0;
    // The blocks the file has after a roll forward [0] or back [1].
    uint64_t Blocks[2] = {0, 0};
};

// A block the transaction added: a rollback cuts the table off before it instead of writing it.
bool addedBlock(int64_t oldCount, uint32_t block) {
    return block != 0 && oldCount >= 0 && block >= oldCount;
}

// Why an image cannot be written at its block (empty: it can): block 0 must be a header that
// opens as one of this table, any other block one of the known kinds carrying its own number.
std::string imageProblem(const std::string& table, const uint8_t* image, uint32_t block, const TableState& ts,
                         bool before) {
    if (block == 0) {
        if (BlockWord(image, kHdrBlockSize) != ts.BlockSize) return "the header names another block size";
        if (BlockWord(image, kHdrEncrypted) != ts.Encrypted) return "the header changes the encrypted flag";
        TbtdFileInfo fi;
        fi.FileName = table;
        try {
            CheckTableHeader(fi, image);
        } catch (const EqbException& e) {
            return e.Message();
        }
        return TableHeaderProblem(image, ts.Blocks[before]);
    }
    switch (BlockWord(image, kBlkSignature)) {
    case kSigData:
    case kSigIndex:
    case kSigBLOB:
    case kSigStream:
    case kSigDeleted:
        break;
    default:
        return "no block signature";
    }
    if (BlockWord(image, kBlkOwnNumber) != block)
        return "it carries block number " + std::to_string(BlockWord(image, kBlkOwnNumber));
    return {};
}

} // namespace

bool IsJournalFile(const std::string& Name) {
    plat::File j;
    if (j.open(Name, plat::kFileRead | plat::kFileNoFollow, plat::FileShare::ReadWrite) != 0) return true;
    uint64_t size = 0;
    uint8_t head[4] = {};
    if (plat::FileSize(j.handle(), size) != 0) return true;
    const size_t n = size_t(std::min<uint64_t>(size, sizeof head));
    if (plat::FileReadExact(j.handle(), 0, head, n) != 0) return true;
    uint8_t want[4];
    plat::StoreLE32(want, kJournalSignature);
    return std::memcmp(head, want, n) == 0;
}

TqbJournalCheck CheckJournal(const std::string& JournalName, bool* IsJournal,
                             const TqbUndoneCopyTest& UndoneCopy) {
    if (IsJournal) *IsJournal = false;
    plat::File j;
    if (int err = j.open(JournalName, plat::kFileRead | plat::kFileNoFollow, plat::FileShare::None))
        badJournal(JournalName, plat::FileErrorText(err));
    uint64_t size = 0;
    if (int err = plat::FileSize(j.handle(), size)) badJournal(JournalName, plat::FileErrorText(err));
    auto readAt = [&](uint64_t pos, void* buf, size_t n) {
        if (int err = plat::FileReadExact(j.handle(), pos, buf, n))
            badJournal(JournalName, plat::FileErrorText(err));
    };
    TqbJournalCheck r;
    uint8_t header[kJournalHeaderSize];
    if (size < kJournalHeaderSize) {
        // Cut off while its header was being written: nothing can have reached a table yet.
        uint8_t start[kJournalHeaderSize] = {};
        plat::StoreLE32(start, kJournalSignature);
        readAt(0, header, size);
        if (std::memcmp(header, start, size) != 0)
            badJournal(JournalName, "the journal is shorter than its header");
        if (IsJournal) *IsJournal = true;
        return r;
    }
    readAt(0, header, sizeof header);
    if (plat::LoadLE32(header) != kJournalSignature) badJournal(JournalName, "wrong journal signature");
    if (IsJournal) *IsJournal = true;
    uint32_t state = plat::LoadLE32(header + 4);
    if (state > 1) badJournal(JournalName, "unknown journal state " + std::to_string(state));
    r.Complete = state == 1;
    // An incomplete journal may end in a record cut short: what its whole records name is kept.
    struct Stop {};
    auto bad = [&](const std::string& reason) {
        if (!r.Complete) throw Stop{};
        badJournal(JournalName, reason);
    };

    const std::string folder = PathExtractDir(JournalName);
    std::map<std::string, size_t> byName;
    std::set<std::string> dropped;
    std::vector<TableState> tables;
    uint64_t pos = kJournalHeaderSize;
    try {
        while (pos < size) {
            const std::string at = " (record at offset " + std::to_string(pos) + ")";
            if (size - pos < kJournalRecordHeaderSize) bad("truncated record" + at);
            uint8_t h[kJournalRecordHeaderSize];
            readAt(pos, h, sizeof h);
            plat::ByteReader rd(h, sizeof h);
            uint32_t sig = rd.u32(), block = rd.u32(), bs = rd.u32(), before = rd.u32();
            std::string_view nameField = rd.view(kJournalNameSize);
            if (sig != kJournalRecordSignature) bad("wrong record signature" + at);
            if (!IsValidBlockSize(bs)) bad("invalid block size " + std::to_string(bs) + at);
            if (before > 1) bad("invalid image kind" + at);
            if (size - pos - kJournalRecordHeaderSize < bs) bad("truncated record" + at);
            size_t nul = nameField.find('\0');
            if (nul == std::string_view::npos) bad("unterminated table name" + at);
            // Only the name counts, and only inside the journal's own folder.
            std::string file = lastComponent(nameField.substr(0, nul));
            std::string ext = PathExtractExt(file);
            // Any file of a table: its data file and its index and BLOB files, never a journal.
            std::string root =
                file.size() > ext.size() + 1 ? file.substr(0, file.size() - ext.size() - 1) : std::string();
            if (ext.size() > 3 || !IsValidExtension(ext) || TextCompareNoCase(ext, "QB$") == 0 ||
                file.size() != root.size() + ext.size() + 1 || !IsValidTableName(root))
                bad("the record names no table file" + at);
            std::string resolved = plat::ResolveCaseInsensitive(PathMakeFull(folder, file));
            if (dropped.count(resolved)) {
                pos += kJournalRecordHeaderSize + bs;
                continue;
            }
            auto it = byName.find(resolved);
            if (it == byName.end()) {
                plat::File t;
                if (int err = t.open(resolved, plat::kFileRead | plat::kFileNoFollow)) {
                    // A copy that its undone rebuild took away: nothing of it is wanted any more.
                    if (err == ENOENT && UndoneCopy && UndoneCopy(folder, root)) {
                        dropped.insert(resolved);
                        r.Dropped.push_back(lastComponent(resolved));
                        pos += kJournalRecordHeaderSize + bs;
                        continue;
                    }
                    bad("table " + resolved + ": " + plat::FileErrorText(err));
                }
                uint64_t tsize = 0;
                uint8_t th[kHeaderCheckedSize];
                if (plat::FileSize(t.handle(), tsize) != 0 || tsize < kHeaderCheckedSize ||
                    plat::FileReadExact(t.handle(), 0, th, sizeof th) != 0)
                    bad("table " + resolved + " has no valid header");
                TbtdFileInfo fi;
                fi.FileName = resolved;
                try {
                    CheckTableHeader(fi, th);
                } catch (const EqbException& e) {
                    bad(e.Message());
                }
                TableState ts;
                ts.BlockSize = BlockWord(th, kHdrBlockSize);
                ts.Encrypted = BlockWord(th, kHdrEncrypted);
                ts.FileBlocks = tsize / ts.BlockSize;
                ts.DiskBlocks = std::max<uint64_t>(BlockWord(th, kHdrBlockCount), ts.FileBlocks);
                it = byName.emplace(resolved, tables.size()).first;
                tables.push_back(ts);
                r.Tables.push_back(resolved);
            }
            TableState& ts = tables[it->second];
            if (ts.BlockSize != bs) bad("block size differs from the table's" + at);
            if (!before) ++ts.AfterImages;
            TqbJournalRecord rec;
            rec.BlockNumber = block;
            rec.BlockSize = bs;
            rec.Before = before == 1;
            rec.ImageOffset = pos + kJournalRecordHeaderSize;
            rec.Table = it->second;
            r.Records.push_back(rec);
            pos += kJournalRecordHeaderSize + bs;
        }
    } catch (const Stop&) {
    }
    if (!r.Complete) return r;
    // A transaction adds at most one block per after image to the end of a table.
    for (const TqbJournalRecord& rec : r.Records) {
        const TableState& ts = tables[rec.Table];
        if (rec.BlockNumber >= ts.DiskBlocks + ts.AfterImages)
            badJournal(JournalName, "block " + std::to_string(rec.BlockNumber) + " lies past the end of " +
                                        r.Tables[rec.Table]);
    }
    // Every image the table could receive is checked before anything is written: all after
    // images, and the before images a rollback writes (not those of blocks the transaction
    // added, which are cut off instead).
    std::vector<uint8_t> image;
    auto load = [&](const TqbJournalRecord& rec) {
        image.resize(rec.BlockSize);
        readAt(rec.ImageOffset, image.data(), rec.BlockSize);
    };
    r.OldCounts.assign(tables.size(), -1);
    for (const TqbJournalRecord& rec : r.Records)
        if (rec.Before && rec.BlockNumber == 0) {
            load(rec);
            r.OldCounts[rec.Table] = BlockWord(image.data(), kHdrBlockCount);
        }
    for (size_t i = 0; i < tables.size(); ++i) {
        TableState& ts = tables[i];
        ts.Blocks[0] = ts.FileBlocks;
        ts.Blocks[1] =
            r.OldCounts[i] >= 0 ? std::min<uint64_t>(ts.FileBlocks, uint64_t(r.OldCounts[i])) : ts.FileBlocks;
    }
    auto written = [&](const TqbJournalRecord& rec) {
        return !(rec.Before && addedBlock(r.OldCounts[rec.Table], rec.BlockNumber));
    };
    // The file grows only by blocks that get an image: no block is left without one.
    std::vector<std::set<uint32_t>> past[2];
    past[0].resize(tables.size());
    past[1].resize(tables.size());
    for (const TqbJournalRecord& rec : r.Records)
        if (written(rec) && rec.BlockNumber >= tables[rec.Table].Blocks[rec.Before])
            past[rec.Before][rec.Table].insert(rec.BlockNumber);
    for (int before = 0; before < 2; ++before)
        for (size_t i = 0; i < tables.size(); ++i) {
            uint64_t& end = tables[i].Blocks[before];
            for (uint32_t b : past[before][i]) {
                if (b != end) {
                    std::string hole = "block " + std::to_string(end) + " of " + r.Tables[i] +
                                       " would be left without an image";
                    if (!before) badJournal(JournalName, hole);
                    if (r.RollbackProblem.empty()) r.RollbackProblem = hole;
                }
                end = uint64_t(b) + 1;
            }
        }
    for (const TqbJournalRecord& rec : r.Records) {
        if (!written(rec)) continue;
        load(rec);
        std::string problem =
            imageProblem(r.Tables[rec.Table], image.data(), rec.BlockNumber, tables[rec.Table], rec.Before);
        if (problem.empty()) continue;
        problem = std::string(rec.Before ? "before" : "after") + " image of block " +
                  std::to_string(rec.BlockNumber) + " of " + r.Tables[rec.Table] + ": " + problem;
        if (rec.Before) {
            if (r.RollbackProblem.empty()) r.RollbackProblem = problem;
            continue;
        }
        // A header that only lacks the file's length: the blocks it counts were never journaled,
        // and the file has lost them again. A rollback can still finish.
        TableState longer = tables[rec.Table];
        longer.Blocks[0] = kMaxBlockCount;
        if (rec.BlockNumber != 0 || r.OldCounts[rec.Table] < 0 ||
            !imageProblem(r.Tables[rec.Table], image.data(), 0, longer, false).empty())
            badJournal(JournalName, problem);
        if (r.CommitProblem.empty()) r.CommitProblem = problem;
    }
    if (!r.CommitProblem.empty() && !r.RollbackProblem.empty()) badJournal(JournalName, r.CommitProblem);
    return r;
}

// ---------------------------------------------------------------------------------------------
// Replaying

void TqbRecoveryEngine::Replay(const std::string& JournalName, const TqbJournalCheck& Journal, bool Commit) {
    const std::string& problem = Commit ? Journal.CommitProblem : Journal.RollbackProblem;
    if (!problem.empty()) badJournal(JournalName, problem);
    plat::File j;
    if (int err = j.open(JournalName, plat::kFileRead | plat::kFileNoFollow, plat::FileShare::None))
        RaiseServerError(1, {JournalName, err, plat::FileErrorText(err)});
    std::vector<std::unique_ptr<TbtdFileInfo>> files;
    const std::vector<int64_t>& oldCount = Journal.OldCounts;
    struct Closer {
        std::vector<std::unique_ptr<TbtdFileInfo>>& f;
        ~Closer() {
            for (auto& fi : f)
                if (IsFileOpen(*fi)) try {
                        CloseFile(*fi);
                    } catch (...) {
                    }
        }
    } closer{files};
    for (const std::string& t : Journal.Tables) {
        auto fi = std::make_unique<TbtdFileInfo>();
        fi->FileName = t;
        OpenFile(*fi, true, 0, false, false);
        uint8_t h[kHdrBlockShift + 4];
        ReadFileExactAt(*fi, 0, sizeof h, h);
        fi->BlockSize = BlockWord(h, kHdrBlockSize);
        fi->BlockShift = BlockSizeToShift(fi->BlockSize);
        fi->Encrypted = BlockWord(h, kHdrEncrypted) == 1;
        fi->KeySelect = TableKeySelect(PathExtractTableName(t));
        files.push_back(std::move(fi));
    }
    std::vector<uint8_t> image;
    auto readImage = [&](const TqbJournalRecord& r) {
        image.resize(r.BlockSize);
        if (int err = plat::FileReadExact(j.handle(), r.ImageOffset, image.data(), r.BlockSize))
            RaiseServerError(4, {JournalName, err, plat::FileErrorText(err)});
    };
    for (const TqbJournalRecord& r : Journal.Records) {
        if (r.Before == Commit) continue;
        // Blocks the transaction added do not come back: the table is cut to its old size below.
        if (!Commit && addedBlock(oldCount[r.Table], r.BlockNumber)) continue;
        readImage(r);
        TbtdFileInfo& f = *files[r.Table];
        WriteFileBlock(f, uint64_t(r.BlockNumber) << f.BlockShift, r.BlockSize, image.data());
    }
    for (size_t i = 0; i < files.size(); ++i) {
        TbtdFileInfo& f = *files[i];
        if (!Commit && oldCount[i] >= 0) {
            uint64_t end = uint64_t(oldCount[i]) << f.BlockShift;
            if (GetFileSize(f) > end) FileRoutines().SetEndOfFile(f, end);
        }
        FlushFile(f);
        CloseFile(f);
    }
}

// ---------------------------------------------------------------------------------------------
// The check

void CutToHeaderCounts(const TqbJournalCheck& Journal) {
    for (const std::string& t : Journal.Tables) {
        TbtdFileInfo f;
        f.FileName = t;
        OpenFile(f, true, 0, false, false);
        try {
            uint8_t h[kHeaderCheckedSize];
            ReadFileExactAt(f, 0, sizeof h, h);
            const uint64_t end = uint64_t(BlockWord(h, kHdrBlockCount)) * BlockWord(h, kHdrBlockSize);
            if (end >= kHeaderCheckedSize && GetFileSize(f) > end) {
                FileRoutines().SetEndOfFile(f, end);
                FlushFile(f);
            }
        } catch (...) {
            CloseFile(f);
            throw;
        }
        CloseFile(f);
    }
}

TqbRecoveryEngine::TqbRecoveryEngine(TqbJournalPrompt* Prompt, TqbBaseLog* Log)
    : TqbRecoveryEngine(Prompt, Log ? TqbRecoveryLog([Log](const std::string& l) { Log->WriteText(l); })
                                    : TqbRecoveryLog()) {}

TqbRecoveryEngine::TqbRecoveryEngine(TqbJournalPrompt* Prompt, TqbRecoveryLog Log)
    : prompt_(Prompt ? Prompt : &default_), log_(std::move(Log)) {}

void TqbRecoveryEngine::recoverOne(const std::string& alias, const std::string& folder,
                                   const std::string& journal, std::vector<Failure>& failures,
                                   std::set<std::string>* known) {
    const std::string file = lastComponent(journal);
    const std::string named = "Journal file " + file;
    auto found = [&](int kind, const std::string& error) {
        std::string line = named + " (" + (alias.empty() ? "" : "alias " + alias + ", ") + folder +
                           "): " + JournalTexts(kind).Completeness;
        log(error.empty() ? line : line + " " + error);
    };
    TqbJournalCheck check;
    bool isJournal = false;
    try {
        check = CheckJournal(journal, &isJournal, UndoneCopy);
    } catch (const EqbException& e) {
        found(jkSkipped, e.Message());
        prompt_->Ask(jkSkipped, alias, folder, file, e.Message());
        if (isJournal) {
            // Its tables may need it: nothing of the folder opens until it is settled.
            log(named + " kept; the folder stays closed.");
            failures.push_back({e.Message(), e.ErrorCode});
        } else {
            log(named + " kept; it is no journal.");
            if (known) known->insert(journal);
        }
        return;
    }
    for (const std::string& gone : check.Dropped)
        log(named + ": the records of " + gone +
            " are left out: a rebuild's copy taken away with its undone swap.");
    try {
        if (check.Complete) {
            found(jkComplete, "");
            int answer = prompt_->Ask(jkComplete, alias, folder, file, "");
            if (answer != kJournalCommit && answer != kJournalRollback) {
                log(named + " kept: no recovery was chosen.");
                failures.push_back({journal + ": recovery was not chosen", 183});
                return;
            }
            try {
                Replay(journal, check, answer == kJournalCommit);
            } catch (const EqbException& e) {
                log(named + ": the replay failed: " + e.Message() + " Kept.");
                prompt_->Ask(jkReplayFailed, alias, folder, file, e.Message());
                failures.push_back({journal + ": " + e.Message(), 183});
                return;
            }
            log(named + (answer == kJournalCommit ? " rolled forward." : " rolled back."));
        } else {
            found(jkIncomplete, "");
            prompt_->Ask(jkIncomplete, alias, folder, file, "");
            try {
                CutToHeaderCounts(check);
            } catch (const EqbException& e) {
                // Blocks past a header's count are never read: they only waste room.
                log(named + ": " + e.Message());
            }
            log(named + " deleted; nothing was replayed.");
        }
        DeleteFileChecked(journal);
        SyncFolder(folder);
    } catch (const EqbException& e) {
        log(named + " kept: " + e.Message());
        failures.push_back({journal + ": " + e.Message(), 183});
    }
}

void TqbRecoveryEngine::CheckFolder(const std::string& Alias, const std::string& Folder,
                                    std::set<std::string>* Known) {
    std::vector<std::string> journals;
    plat::FileFind find;
    if (find.first(PathMakeFull(Folder.empty() ? "." : Folder, std::string("*.") + kJournalExtension)) == 0)
        do {
            if (!find.entry().isDir && !(Known && Known->count(find.path()))) journals.push_back(find.path());
        } while (find.next());
    std::vector<Failure> failures;
    for (const std::string& j : journals)
        recoverOne(Alias, Folder, j, failures, Known);
    if (failures.empty()) return;
    std::string text = "Journal recovery failed in " + Folder + ":";
    for (const Failure& f : failures)
        text += " " + f.Text;
    throw EqbServerException(text, failures.front().Code);
}

void TqbRecoveryEngine::Check(TqbBaseServerEngine& Engine, uint32_t ClientID) {
    std::vector<TqbAliasRecord> aliases;
    if (TqbResultCode rc = Engine.RecoveryAliasList(aliases, ClientID))
        throw EqbException(CompatErrorStrings().GetText(rc), rc);
    std::string failed;
    int32_t code = 0;
    for (const TqbAliasRecord& a : aliases) {
        try {
            CheckAliasFolder(a.Alias.Str(), a.Path.Str());
        } catch (const EqbException& e) {
            failed += (failed.empty() ? "" : " ") + e.Message();
            if (!code) code = e.ErrorCode;
        }
    }
    if (!failed.empty()) throw EqbServerException(failed, code);
}
