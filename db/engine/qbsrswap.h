// Recoverable replacement of a table's files by files built under another name (emptying, pack and
// restructure): a marker file beside the table says how far the swap got, so that a failure or a
// crash leaves the old table or the new one, never a mix, once the swap is finished or undone.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The marker of the table Name in Folder: "<Name>.SWAP" (an extension no table file can have).
inline constexpr char kSwapMarkerExt[] = "SWAP";

// The prefixes of the new files' names that the jobs choose (emptying, reindex, pack, restructure).
inline constexpr char kEmptyCopyPrefix[] = "_EMPT";
inline constexpr char kReindexCopyPrefix[] = "_RIDX";
inline constexpr char kPackCopyPrefix[] = "_PACK";
inline constexpr char kRestructureCopyPrefix[] = "_REST";
// A new table is made under a name of this prefix and moved in once whole.
inline constexpr char kMakeCopyPrefix[] = "_MAKE";

// One swap: the files Table.<OldExts> give way to New.<NewExts>, the old ones parked under Saved
// until the new ones are in place. Extension "QB2" is the data file. Names are plain table names
// (no folder), at most 31 characters.
struct TqbFileSwap {
    std::string Table;
    std::string New;
    std::string Saved;
    std::vector<std::string> OldExts;
    std::vector<std::string> NewExts;

    // Chooses New ("<NewPrefix><n>") and Saved ("<SavedPrefix><n>"), each with the smallest n from 1
    // for which Folder holds no file of that name with one of the extensions it is for, nor a marker
    // of that name, no swap left in Folder names it, and no other swap of this process holds it
    // across the folder. Set Table and the extensions first. The names stay held until this swap
    // (and every copy of it) goes, so that jobs of other tables of the folder never share them.
    void ReserveNames(const std::string& Folder, std::string_view NewPrefix, std::string_view SavedPrefix);

    // Before the new files are made: the marker in its first phase (a crash before Commit takes
    // the new files away again).
    void Prepare(const std::string& Folder);
    // The new files are complete and durable: from here on the swap is finished, not undone.
    void Commit(const std::string& Folder);
    // MoveIn, then CleanUp. Every step may be repeated after a failure or a crash.
    void Complete(const std::string& Folder) const;
    // Moves the old files aside and the new ones in, the data file last: from its end the table is
    // the new one.
    void MoveIn(const std::string& Folder) const;
    // Deletes the parked old files and the marker; false when one could not go (the marker then
    // stays, and the next recovery tries again).
    bool CleanUp(const std::string& Folder) const;
    // Takes back a committed swap whose old files are all still there (after a failed MoveIn);
    // false when it could not (the swap then stays for recovery to complete).
    bool Undo(const std::string& Folder) const;
    // Deletes the new files and the marker, the marker first set back to its first phase (the
    // swap never reached Commit, or Undo brought every old file back).
    void Discard(const std::string& Folder) const;

    // The phase of a swap left in Folder for Table: 0 none, 'P' before its commit (the table's
    // own files are whole), 'C' committed (they may be old and new ones mixed until recovery).
    // A damaged marker raises server error 32.
    static char Pending(const std::string& Folder, const std::string& Table, TqbFileSwap* Swap = nullptr);
    // A swap left in Folder for Table: completed when committed, else discarded. False when there
    // was none. A damaged marker raises server error 32 and nothing is touched.
    static bool Recover(const std::string& Folder, const std::string& Table);
    // Every swap left in Folder (at start-up); the tables whose swap failed are given in Failed
    // with the error's text.
    static void RecoverFolder(const std::string& Folder, std::vector<std::string>& Failed);
    // True when Table is named as a job names its new files and no swap left in Folder names it:
    // a copy whose swap was undone, none of the table's own data.
    static bool IsUndoneCopy(const std::string& Folder, const std::string& Table);
    // True when Table is named as a job names its new files (a prefix above and a number).
    static bool IsCopyName(std::string_view Table);

private:
    struct Hold;
    void writeMarker(const std::string& Folder, char Phase) const;
    std::shared_ptr<Hold> hold_;
};
