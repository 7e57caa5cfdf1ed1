// The recoverable file swap: its marker file, the steps that finish or undo it, and recovery.
#include "db/engine/qbsrswap.h"

#include "db/base/qbllbase.h"
#include "db/storage/qbfile.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>

namespace {

constexpr char kMagic[] = "PWSWAP 1";
constexpr std::string_view kCopyPrefixes[] = {kEmptyCopyPrefix, kReindexCopyPrefix, kPackCopyPrefix,
                                              kRestructureCopyPrefix, kMakeCopyPrefix};
constexpr size_t kMaxMarkerSize = 4096;

std::string fileOf(const std::string& folder, const std::string& name, const std::string& ext) {
    return plat::JoinPath(folder, name + "." + ext);
}

std::string markerOf(const std::string& folder, const std::string& table) {
    return fileOf(folder, table, kSwapMarkerExt);
}

// A file that cannot be looked at is not taken for a missing one: each step depends on the answer.
bool exists(const std::string& path) {
    plat::FileStat st;
    int err = plat::FileStatPath(path, st);
    if (err == ENOENT || err == ENOTDIR) return false;
    if (err) RaiseServerError(1, {path, err, plat::FileErrorText(err)});
    return true;
}

bool has(const std::vector<std::string>& exts, const std::string& ext) {
    return std::any_of(exts.begin(), exts.end(), [&](auto& e) { return TextCompareNoCase(e, ext) == 0; });
}

// Every extension of the old and the new files, each once.
std::vector<std::string> allExts(const TqbFileSwap& s) {
    std::vector<std::string> out = s.OldExts;
    for (auto& e : s.NewExts)
        if (!has(out, e)) out.push_back(e);
    return out;
}

std::string join(const std::vector<std::string>& exts) {
    std::string out;
    for (auto& e : exts)
        out += (out.empty() ? "" : ",") + e;
    return out;
}

void deleteIfThere(const std::string& path) {
    if (exists(path)) DeleteFileChecked(path);
}

bool validExt(std::string_view e) {
    return !e.empty() && e.size() <= 3 && std::all_of(e.begin(), e.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '$';
    });
}

bool validName(std::string_view n) {
    return IsValidTableName(n) && n != "." && n != ".." &&
           n.find_first_of("/\\\r\n") == std::string_view::npos;
}

// The marker as written by writeMarker; false when it is not one.
bool parseMarker(const std::string& text, TqbFileSwap& s, char& phase) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) return false; // cut short
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    if (lines.size() != 7 || lines[0] != kMagic || lines[1].size() != 1) return false;
    phase = lines[1][0];
    if (phase != 'P' && phase != 'C') return false;
    s.Table = lines[2];
    s.New = lines[3];
    s.Saved = lines[4];
    if (!validName(s.Table) || !validName(s.New) || !validName(s.Saved)) return false;
    auto exts = [](const std::string& l, std::vector<std::string>& out) {
        out.clear();
        size_t from = 0;
        for (;;) {
            size_t comma = l.find(',', from);
            out.push_back(l.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
            if (!validExt(out.back()) || out.size() > 64) return false;
            if (comma == std::string::npos) return has(out, "QB2");
            from = comma + 1;
        }
    };
    return exts(lines[5], s.OldExts) && exts(lines[6], s.NewExts);
}

} // namespace

// The temporary names held by the swaps of this process, per folder: a name is chosen and held in
// one step, so two jobs never take the same one before either has made its files.
struct TqbFileSwap::Hold {
    std::vector<std::string> Keys;
    ~Hold();
};

namespace {

std::mutex g_heldMutex;
std::set<std::string> g_held;

std::string heldKey(const std::string& folder, std::string_view name) {
    return folder + '\n' + plat::AsciiUpper(name);
}

// The names that the swaps left in the folder (a crash, a failed step) still use: their files may
// come and go when the swaps are settled.
std::set<std::string> namesOfMarkers(const std::string& folder) {
    std::set<std::string> out;
    std::vector<plat::DirEntry> entries;
    if (plat::DirList(folder, entries)) return out;
    const std::string suffix = std::string(".") + kSwapMarkerExt;
    for (auto& d : entries) {
        if (d.isDir || d.name.size() <= suffix.size() ||
            TextCompareNoCase(d.name.substr(d.name.size() - suffix.size()), suffix) != 0)
            continue;
        std::string text;
        TqbFileSwap s;
        char phase = 0;
        // A damaged marker keeps its own table closed; it names nothing here.
        if (plat::FileReadAll(plat::JoinPath(folder, d.name), text) || text.size() > kMaxMarkerSize ||
            !parseMarker(text, s, phase))
            continue;
        out.insert(plat::AsciiUpper(s.New));
        out.insert(plat::AsciiUpper(s.Saved));
    }
    return out;
}

} // namespace

TqbFileSwap::Hold::~Hold() {
    std::lock_guard lk(g_heldMutex);
    for (auto& k : Keys)
        g_held.erase(k);
}

void TqbFileSwap::ReserveNames(const std::string& Folder, std::string_view NewPrefix,
                               std::string_view SavedPrefix) {
    auto hold = std::make_shared<Hold>();
    std::lock_guard lk(g_heldMutex);
    const std::set<std::string> inMarkers = namesOfMarkers(Folder);
    auto choose = [&](std::string_view prefix, const std::vector<std::string>& exts) {
        for (int n = 1;; ++n) {
            std::string name = std::string(prefix) + std::to_string(n);
            const std::string key = heldKey(Folder, name);
            if (g_held.count(key) || inMarkers.count(plat::AsciiUpper(name)) ||
                exists(markerOf(Folder, name)) || exists(fileOf(Folder, name, "QB2")) ||
                std::any_of(exts.begin(), exts.end(),
                            [&](auto& e) { return exists(fileOf(Folder, name, e)); }))
                continue;
            g_held.insert(key);
            hold->Keys.push_back(key);
            return name;
        }
    };
    New = choose(NewPrefix, NewExts);
    Saved = choose(SavedPrefix, OldExts);
    hold_ = std::move(hold);
}

void TqbFileSwap::writeMarker(const std::string& Folder, char Phase) const {
    const std::string text = std::string(kMagic) + "\n" + Phase + "\n" + Table + "\n" + New + "\n" + Saved +
                             "\n" + join(OldExts) + "\n" + join(NewExts) + "\n";
    const std::string path = markerOf(Folder, Table);
    // Written beside, synced and renamed in, with the folder synced: the marker is whole or absent.
    if (int err = plat::FileReplaceAtomic(path, text))
        RaiseServerError(6, {path, err, plat::FileErrorText(err)});
}

void TqbFileSwap::Prepare(const std::string& Folder) {
    writeMarker(Folder, 'P');
}

void TqbFileSwap::Commit(const std::string& Folder) {
    // The new files' names must be durable before the marker says they are there.
    SyncFolder(Folder);
    writeMarker(Folder, 'C');
}

void TqbFileSwap::Complete(const std::string& Folder) const {
    MoveIn(Folder);
    CleanUp(Folder);
}

void TqbFileSwap::MoveIn(const std::string& Folder) const {
    // The data file last: a table whose data file is there has every other file of its own.
    std::vector<std::string> exts;
    for (auto& e : allExts(*this))
        if (TextCompareNoCase(e, "QB2") != 0) exts.push_back(e);
    exts.push_back("QB2");
    // While New.<ext> exists, Table.<ext> is an old file (or a stray one): it goes aside first.
    for (auto& e : exts) {
        const std::string name = fileOf(Folder, Table, e), fresh = fileOf(Folder, New, e),
                          saved = fileOf(Folder, Saved, e);
        if (has(NewExts, e)) {
            if (!exists(fresh)) continue; // moved in already
            if (exists(name)) RenameFileChecked(name, saved);
            RenameFileChecked(fresh, name);
        } else if (exists(name)) {
            RenameFileChecked(name, saved);
        }
    }
    SyncFolder(Folder);
}

bool TqbFileSwap::CleanUp(const std::string& Folder) const {
    try {
        for (auto& e : allExts(*this))
            deleteIfThere(fileOf(Folder, Saved, e));
        SyncFolder(Folder);
        deleteIfThere(markerOf(Folder, Table));
        SyncFolder(Folder);
    } catch (const EqbException&) {
        return false;
    }
    return true;
}

bool TqbFileSwap::Undo(const std::string& Folder) const {
    try {
        // Possible while every old file is in place or parked, and every new one is still there.
        for (auto& e : OldExts) {
            const bool movedIn = has(NewExts, e) && !exists(fileOf(Folder, New, e));
            if (!exists(fileOf(Folder, Saved, e)) && (movedIn || !exists(fileOf(Folder, Table, e))))
                return false;
        }
        for (auto& e : NewExts)
            if (!exists(fileOf(Folder, New, e)) && !exists(fileOf(Folder, Table, e))) return false;
        for (auto& e : allExts(*this)) {
            const std::string name = fileOf(Folder, Table, e), fresh = fileOf(Folder, New, e),
                              saved = fileOf(Folder, Saved, e);
            // A new file moved in goes back out; then the parked one comes back.
            if (has(NewExts, e) && !exists(fresh) && exists(name)) RenameFileChecked(name, fresh);
            if (exists(saved) && !exists(name)) RenameFileChecked(saved, name);
        }
        SyncFolder(Folder);
        Discard(Folder);
    } catch (const EqbException&) {
        return false;
    }
    return true;
}

void TqbFileSwap::Discard(const std::string& Folder) const {
    // First the marker says so: were it still to say committed, a crash amid the deletions would
    // have recovery move the remaining new files in beside old ones.
    writeMarker(Folder, 'P');
    for (auto& e : NewExts)
        deleteIfThere(fileOf(Folder, New, e));
    SyncFolder(Folder);
    deleteIfThere(markerOf(Folder, Table));
    SyncFolder(Folder);
}

char TqbFileSwap::Pending(const std::string& Folder, const std::string& Table, TqbFileSwap* Swap) {
    const std::string path = plat::ResolveCaseInsensitive(markerOf(Folder, Table));
    if (!exists(path)) return 0;
    std::string text;
    if (int err = plat::FileReadAll(path, text)) RaiseServerError(4, {path, err, plat::FileErrorText(err)});
    TqbFileSwap s;
    char phase = 0;
    if (text.size() > kMaxMarkerSize || !parseMarker(text, s, phase) ||
        TextCompareNoCase(s.Table, Table) != 0)
        RaiseServerError(32, {path});
    if (Swap) *Swap = std::move(s);
    return phase;
}

bool TqbFileSwap::Recover(const std::string& Folder, const std::string& Table) {
    TqbFileSwap s;
    const char phase = Pending(Folder, Table, &s);
    if (!phase) return false;
    // Parked old files that cannot be deleted now do no harm: the marker stays for a later try.
    if (phase == 'C') {
        s.MoveIn(Folder);
        s.CleanUp(Folder);
    } else
        s.Discard(Folder);
    return true;
}

bool TqbFileSwap::IsCopyName(std::string_view Table) {
    return std::any_of(std::begin(kCopyPrefixes), std::end(kCopyPrefixes), [&](std::string_view prefix) {
        return Table.size() > prefix.size() &&
               TextCompareNoCase(Table.substr(0, prefix.size()), prefix) == 0 &&
               std::all_of(Table.begin() + ptrdiff_t(prefix.size()), Table.end(),
                           [](char c) { return c >= '0' && c <= '9'; });
    });
}

bool TqbFileSwap::IsUndoneCopy(const std::string& Folder, const std::string& Table) {
    if (!IsCopyName(Table)) return false;
    std::lock_guard lk(g_heldMutex);
    return !namesOfMarkers(Folder).count(plat::AsciiUpper(Table)) && !g_held.count(heldKey(Folder, Table));
}

void TqbFileSwap::RecoverFolder(const std::string& Folder, std::vector<std::string>& Failed) {
    std::vector<plat::DirEntry> entries;
    if (plat::DirList(Folder, entries)) return;
    const std::string suffix = std::string(".") + kSwapMarkerExt;
    for (auto& d : entries) {
        // A marker whose atomic write a crash cut short never took effect.
        if (!d.isDir && d.name.size() > 1 && d.name[0] == '.' &&
            d.name.find(suffix + ".tmp") != std::string::npos) {
            plat::FileDelete(plat::JoinPath(Folder, d.name));
            continue;
        }
        if (d.isDir || d.name.size() <= suffix.size() ||
            TextCompareNoCase(d.name.substr(d.name.size() - suffix.size()), suffix) != 0)
            continue;
        const std::string table = d.name.substr(0, d.name.size() - suffix.size());
        try {
            Recover(Folder, table);
        } catch (const EqbException& e) {
            Failed.push_back(table + ": " + e.what());
        }
    }
}
