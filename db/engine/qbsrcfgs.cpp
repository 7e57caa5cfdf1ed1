// The configuration in system tables: their layouts, reading with recovery of an interrupted save,
// the default administrator, and the save in steps that always leaves one whole table behind.
#include "db/engine/qbsrcfgs.h"

#include "db/base/qbhash.h"
#include "db/base/qbllexcp.h"
#include "db/engine/qbsrcur_cursor.h"
#include "db/engine/qbsrswap.h"
#include "db/storage/qbfile.h"
#include "db/storage/qbsrbase.h"
#include "db/storage/qbsrjour.h"
#include "platform/ByteCodec.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <type_traits>
#include <vector>

namespace {

// Lock waits of one table's read or save, as for an internal client.
constexpr uint32_t kLockWaitMs = 5000;
// Marks an XXS table whose records were committed.
constexpr char kCompleteExt[] = "DONE";

struct Column {
    const char* Name;
    int32_t Type;
    int32_t Units;
};

// General-info fields by column, read and written as numbers (ServerName, column 0, apart).
struct InfoColumn {
    Column Col;
    int64_t (*Get)(const TqbGeneralInfo&);
    void (*Set)(TqbGeneralInfo&, int64_t);
};

template <auto M> int64_t getInfo(const TqbGeneralInfo& g) {
    return int64_t(g.*M);
}
template <auto M> void setInfo(TqbGeneralInfo& g, int64_t v) {
    using T = std::remove_reference_t<decltype(g.*M)>;
    if constexpr (std::is_same_v<T, bool>)
        g.*M = v != 0;
    else if constexpr (std::is_unsigned_v<T>)
        g.*M = v < 0 ? T(0) : T(v); // 0 is out of every unsigned setting's range: the default comes back
    else
        g.*M = T(v);
}
template <auto M> constexpr InfoColumn info(const char* name, int32_t type) {
    return {{name, type, type == qbtInt16 ? 5 : (type == qbtBoolean ? 0 : 10)}, &getInfo<M>, &setInfo<M>};
}

using G = TqbGeneralInfo;
const InfoColumn kInfoColumns[] = {
    {{"ServerName", qbtShortString, 31}, nullptr, nullptr},
    info<&G::MaxRAM>("MaxRAM", qbtWord32),
    info<&G::IsSecure>("IsSecure", qbtBoolean),
    info<&G::AutoUp>("AutoUp", qbtBoolean),
    info<&G::AutoMini>("AutoMini", qbtBoolean),
    info<&G::DebugLog>("DebugLog", qbtBoolean),
    info<&G::UseSingleUser>("UseSingleUser", qbtBoolean),
    info<&G::UseIPXSPX>("UseIPXSPX", qbtBoolean),
    info<&G::IPXSPXLFB>("IPXSPXLFB", qbtBoolean),
    info<&G::UseTCPIP>("UseTCPIP", qbtBoolean),
    info<&G::TCPIPLFB>("TCPIPLFB", qbtBoolean),
    info<&G::TCPPort>("TCPPort", qbtInt32),
    info<&G::UDPPortSr>("UDPPortSr", qbtInt32),
    info<&G::UDPPortCl>("UDPPortCl", qbtInt32),
    info<&G::IPXSocketSr>("IPXSocketSr", qbtInt32),
    info<&G::IPXSocketCl>("IPXSocketCl", qbtInt32),
    info<&G::SPXSocket>("SPXSocket", qbtInt32),
    info<&G::UseEncrypt>("UseEncrypt", qbtBoolean),
    info<&G::ReadOnly>("ReadOnly", qbtBoolean),
    info<&G::LstMsgIntvl>("LstMsgIntvl", qbtInt32),
    info<&G::KAInterval>("KAInterval", qbtInt32),
    info<&G::KARetries>("KARetries", qbtInt32),
    info<&G::Priority>("Priority", qbtInt32),
    info<&G::TCPInterface>("TCPInterface", qbtInt32),
    info<&G::NoAutoSaveCfg>("NoAutoSaveCfg", qbtBoolean),
    info<&G::TempStoreSize>("TempStoreSize", qbtInt16),
    info<&G::CollectEnabld>("CollectEnabld", qbtBoolean),
    info<&G::CollectFreq>("CollectFreq", qbtInt32),
};

std::vector<Column> infoColumns() {
    std::vector<Column> out;
    for (const InfoColumn& c : kInfoColumns)
        out.push_back(c.Col);
    return out;
}

// Field values of one record image.
class Row {
public:
    Row(const TqbDataDictionary& d, std::vector<uint8_t> image) : d_(d), r_(std::move(image)) {}
    explicit Row(const TqbDataDictionary& d) : d_(d), r_(size_t(d.RecordLength())) {
        d.InitRecord(r_.data());
    }
    const std::vector<uint8_t>& Image() const { return r_; }

    // A short string cut to its field's units; a null field reads as empty.
    std::string Text(int32_t f) const {
        std::vector<uint8_t> v = value(f);
        if (v.empty()) return {};
        const size_t n = std::min<size_t>({v[0], v.size() - 1, size_t(std::max(d_.FieldUnits(f), 0))});
        return std::string(reinterpret_cast<const char*>(v.data() + 1), n);
    }
    int64_t Number(int32_t f) const {
        std::vector<uint8_t> v = value(f);
        if (v.empty()) return 0;
        switch (d_.FieldType(f)) {
        case qbtInt16:
            return int16_t(plat::LoadLE16(v.data()));
        case qbtInt32:
            return int32_t(plat::LoadLE32(v.data()));
        case qbtWord32:
            return plat::LoadLE32(v.data());
        default:
            return v[0];
        }
    }
    void SetText(int32_t f, std::string_view s) {
        std::vector<uint8_t> v(size_t(d_.FieldLength(f)), 0);
        const size_t n = std::min(s.size(), v.size() - 1);
        v[0] = uint8_t(n);
        std::memcpy(v.data() + 1, s.data(), n);
        d_.SetRecordField(f, r_.data(), v.data());
    }
    void SetNumber(int32_t f, int64_t x) {
        std::vector<uint8_t> v(size_t(d_.FieldLength(f)), 0);
        switch (d_.FieldType(f)) {
        case qbtInt16:
            plat::StoreLE16(v.data(), uint16_t(int16_t(std::clamp<int64_t>(x, INT16_MIN, INT16_MAX))));
            break;
        case qbtInt32:
        case qbtWord32:
            plat::StoreLE32(v.data(), uint32_t(x));
            break;
        default:
            v[0] = uint8_t(x);
        }
        d_.SetRecordField(f, r_.data(), v.data());
    }

private:
    std::vector<uint8_t> value(int32_t f) const {
        std::vector<uint8_t> v(size_t(d_.FieldLength(f)), 0);
        bool isNull = false;
        d_.GetRecordField(f, r_.data(), v.data(), isNull);
        if (isNull) v.clear();
        return v;
    }
    const TqbDataDictionary& d_;
    std::vector<uint8_t> r_;
};

// Block size 4096, every field required, scrambled when the configuration allows encryption.
TqbServerDataDict dictionaryOf(const std::string& name, const std::vector<Column>& cols, bool encrypted) {
    TqbServerDataDict d(4096);
    d.SetTableName(name);
    for (const Column& c : cols)
        d.AddField(c.Name, "", c.Type, c.Units, 0, true);
    d.SetIsEncrypted(encrypted);
    return d;
}

bool sameField(const TqbDataDictionary& d, int32_t f, const TqbDataDictionary& want, int32_t w) {
    return TextCompareNoCase(d.FieldName(f), want.FieldName(w)) == 0 && d.FieldType(f) == want.FieldType(w) &&
           d.FieldUnits(f) == want.FieldUnits(w);
}

// Key procedures are read by position: folder, table, index number, library, build and compare routine.
bool keyProcFields(const TqbDataDictionary& d) {
    if (d.FieldCount() < 6) return false;
    for (int32_t f = 0; f < 6; ++f)
        if (d.FieldType(f) != (f == 2 ? qbtInt32 : qbtShortString)) return false;
    return true;
}

std::string tableFile(const std::string& folder, const std::string& table) {
    return plat::ResolveCaseInsensitive(folder, table + ".QB2");
}
bool tableExists(const std::string& folder, const std::string& table) {
    return plat::FileExists(tableFile(folder, table));
}
std::string completeMark(const std::string& folder, const std::string& xxs) {
    return plat::ResolveCaseInsensitive(folder, xxs + "." + kCompleteExt);
}

// The extensions of a table's files besides its data file, as the folder holds them.
std::vector<std::string> otherFiles(const std::string& folder, const std::string& table) {
    std::vector<plat::DirEntry> entries;
    plat::DirList(folder, entries);
    std::vector<std::string> exts;
    for (const plat::DirEntry& e : entries) {
        const size_t dot = e.name.rfind('.');
        if (dot == std::string::npos || TextCompareNoCase(e.name.substr(0, dot), table) != 0) continue;
        const std::string ext = e.name.substr(dot + 1);
        if (TextCompareNoCase(ext, "QB2") != 0 && TextCompareNoCase(ext, kCompleteExt) != 0 &&
            TextCompareNoCase(ext, kSwapMarkerExt) != 0)
            exts.push_back(ext);
    }
    return exts;
}

// A journal left by a commit that failed names the table it wrote: that table stays until the
// folder's next opening replays it.
bool journalLeft(const std::string& folder) {
    std::vector<plat::DirEntry> entries;
    plat::DirList(folder, entries);
    return std::any_of(entries.begin(), entries.end(), [&](const plat::DirEntry& e) {
        const size_t dot = e.name.rfind('.');
        return dot != std::string::npos &&
               TextCompareNoCase(e.name.substr(dot + 1), kJournalExtension) == 0 &&
               IsJournalFile(plat::JoinPath(folder, e.name));
    });
}

// A table built for the engine itself: scrambled with the key its name selects, as it is opened.
class SystemTable : public TqbSrTable {
public:
    using TqbSrTable::TqbSrTable;
    void Build(const TqbDataDictionary& d) {
        keySelection_ = true;
        BuildFiles(d, 0);
    }
};

// A cursor closed when the holder goes, its table's files with it unless another cursor uses them:
// the table must not stay open under a name a save renames.
struct CursorHold {
    TqbSrTableList* list = nullptr;
    std::shared_ptr<TqbSrCursor> c;
    CursorHold() = default;
    CursorHold(const CursorHold&) = delete;
    CursorHold& operator=(const CursorHold&) = delete;
    ~CursorHold() { close(); }
    void close() {
        if (!c) return;
        TqbSrTablePtr t = c->TablePtr();
        try {
            c->Close();
        } catch (...) {
        }
        c.reset();
        if (t && list) try {
                list->RemoveTable(t.get());
            } catch (...) {
            }
    }
};

[[noreturn]] void fail(const std::string& text, int32_t code) {
    throw EqbException(text, code);
}

// A save refused while the folder holds a journal: it waits for the recovery.
struct EqbJournalLeft : EqbException {
    EqbJournalLeft()
        : EqbException("The configuration folder holds the journal of a failed commit: saved again once it "
                       "is recovered",
                       183) {}
};

} // namespace

// ---------------------------------------------------------------------------------------------
// The default administrator

std::string DefaultAdministratorID() {
    // Kept reversed and masked so that the text appears nowhere in the program.
    static const uint8_t kMasked[5] = {0x12, 0x2a, 0x27, 0x35, 0x39};
    std::string id(5, '\0');
    for (size_t i = 0; i < 5; ++i)
        id[4 - i] = char(kMasked[i] ^ uint8_t(0x5C + 7 * i));
    return id;
}

uint32_t DefaultAdministratorHash() {
    return HashShStr("quenbordix");
}

EqbSaveStopped::EqbSaveStopped(int StepNumber)
    : EqbException("Configuration save stopped after step " + std::to_string(StepNumber), 15520),
      Step(StepNumber) {}

// ---------------------------------------------------------------------------------------------
// Tables, sessions and reading

struct TqbTableConfigStore::Kind {
    std::string Suffix;
    std::vector<Column> Columns;
    bool Written = true; // false: read as found, by position (QBSINDEX)
    std::string Name(const char* prefix) const { return prefix + Suffix; }
};

namespace {
const std::vector<Column> kAliasColumns{{"Alias", qbtShortString, 31}, {"Path", qbtShortString, 219}};
const std::vector<Column> kUserColumns{{"User", qbtShortString, 31},
                                       {"LastName", qbtShortString, 31},
                                       {"FirstName", qbtShortString, 31},
                                       {"PwdHash", qbtWord32, 10},
                                       {"Rights", qbtByteArray, 1}};
} // namespace

// One folder opening and database for one table's read or save; the thread's lock deadline is set
// for it and put back afterwards.
struct TqbTableConfigStore::Session {
    TqbTableConfigStore& store;
    TqbThreadDeadline saved;
    TqbSrFolderPtr folder;
    std::shared_ptr<TqbSrDatabase> db;

    Session(TqbTableConfigStore& s, bool readOnly) : store(s), saved(GetThreadDeadline()) {
        SetThreadDeadline(kLockWaitMs);
        try {
            folder = s.folders_.AddFolder(s.dir_, readOnly, &s.bm_);
            db = std::make_shared<TqbSrDatabase>(s.host_, folder, kLockWaitMs);
        } catch (...) {
            end();
            throw;
        }
    }
    ~Session() { end(); }
    void rollback() {
        if (db && db->InTransaction()) try {
                db->Rollback();
            } catch (...) {
            }
    }
    void end() {
        rollback();
        db.reset();
        if (folder) store.folders_.ReleaseFolder(folder);
        RestoreThreadDeadline(saved);
    }
    const std::string& path() const { return folder->GetPath(); }

    void open(CursorHold& h, const std::string& table, bool readWrite) {
        h.list = &store.host_.Tables();
        h.c = std::make_shared<TqbSrCursor>(store.host_, kLockWaitMs, *db);
        h.c->Open(table, "", 0, readWrite, readWrite ? qbsmExclusive : qbsmShared, true, false, false);
    }
    // Runs Change on the table's files while no cursor can open it; a table open elsewhere is
    // never renamed or deleted under its users.
    template <class F> void withClosedTable(const std::string& table, F&& Change) {
        TqbSrTableList& list = store.host_.Tables();
        list.BeginWrite();
        try {
            if (list.FindByFolderAndName(*folder, table)) fail("Table " + table + " is in use", 10031);
            Change(otherFiles(path(), table));
        } catch (...) {
            list.EndWrite();
            throw;
        }
        list.EndWrite();
    }
    // Never replaces a table of the new name.
    void rename(const std::string& from, const std::string& to) {
        if (tableExists(path(), to)) fail("Table " + to + " exists already", 13060);
        withClosedTable(
            from, [&](const std::vector<std::string>& exts) { RenameTableFiles(path(), from, to, exts); });
    }
    void remove(const std::string& table) {
        if (!tableExists(path(), table)) return;
        withClosedTable(table,
                        [&](const std::vector<std::string>& exts) { DeleteTableFiles(path(), table, exts); });
    }
    void removeMark(const std::string& xxs) {
        const std::string mark = completeMark(path(), xxs);
        if (plat::FileExists(mark)) DeleteFileChecked(mark);
    }
};

struct TqbTableConfigStore::ReadResult {
    enum Outcome { Missing, Read, WrongFields } What = Missing;
    std::string From; // the table read
    TqbServerDataDict Dict;
    std::vector<std::vector<uint8_t>> Rows;
};

TqbTableConfigStore::TqbTableConfigStore(TqbSrCursorHost& Host, TqbSrFolderList& Folders,
                                         TqbBufferManager& BufferManager, std::string ConfigDir, LogSink Log)
    : host_(Host), folders_(Folders), bm_(BufferManager), dir_(std::move(ConfigDir)), log_(std::move(Log)) {}

TqbTableConfigStore::~TqbTableConfigStore() = default;

void TqbTableConfigStore::log(const std::string& Text) const {
    if (log_) log_(Text);
}

// The first of QBS, SAV and a complete XXS that exists and reads: the later ones are what an
// interrupted save leaves of the same contents. Nothing is renamed here, so a read-only
// configuration reads the same as a writer would settle it.
TqbTableConfigStore::ReadResult TqbTableConfigStore::read(Session& s, const Kind& k) {
    std::vector<std::string> candidates{k.Name("QBS")};
    if (k.Written) {
        candidates.push_back(k.Name("SAV"));
        if (plat::FileExists(completeMark(s.path(), k.Name("XXS")))) candidates.push_back(k.Name("XXS"));
    }
    const TqbServerDataDict want = dictionaryOf(k.Name("QBS"), k.Columns, false);
    ReadResult r;
    std::exception_ptr failure;
    for (const std::string& name : candidates) {
        if (!tableExists(s.path(), name)) continue;
        try {
            CursorHold h;
            s.open(h, name, false);
            const TqbServerDataDict& d = h.c->Table()->GetDictionary();
            bool fits = k.Written ? d.FieldCount() == want.FieldCount() : keyProcFields(d);
            for (int32_t f = 0; fits && k.Written && f < d.FieldCount(); ++f)
                fits = sameField(d, f, want, f);
            if (!fits) {
                log("Configuration table " + name + " has fields other than expected");
                r.What = ReadResult::WrongFields;
                continue;
            }
            r.Dict = d;
            r.Rows.clear();
            std::vector<uint8_t> buf(size_t(d.RecordLength()));
            if (int32_t rc = h.c->SetToBegin()) fail("Configuration table " + name + " cannot be read", rc);
            for (;;) {
                const int32_t rc = h.c->RecordGetNext(buf.data(), lmNone);
                if (rc == 8706) break;
                if (rc != 0) fail("Configuration table " + name + " cannot be read", rc);
                r.Rows.push_back(buf);
            }
            r.What = ReadResult::Read;
            r.From = name;
            if (name != candidates.front())
                log("Configuration table " + k.Name("QBS") + " recovered from " + name);
            return r;
        } catch (const std::exception& e) {
            log("Configuration table " + name + " cannot be read: " + e.what());
            if (!failure) failure = std::current_exception();
        }
    }
    // A table that exists but cannot be read is not taken for a missing one: the engine would
    // then run on defaults and its next save would replace what the table still holds.
    if (failure) std::rethrow_exception(failure);
    return r;
}

void TqbTableConfigStore::Load(TqbServerConfiguration& Config) {
    std::lock_guard lk(m_);
    const Kind infoKind{"INFO", infoColumns()};
    const Kind aliasKind{"ALIAS", kAliasColumns};
    const Kind userKind{"USER", kUserColumns};
    const Kind indexKind{"INDEX", {}, false};
    const bool readOnly = Config.IsReadOnly();
    bool usersLeftOver = false, storedUsers = false;

    {
        Session s(*this, readOnly);
        ReadResult r = read(s, infoKind);
        if (r.What == ReadResult::Read && !r.Rows.empty()) {
            const Row row(r.Dict, r.Rows.front());
            TqbGeneralInfo g = Config.GeneralInfo();
            g.ServerName.Set(row.Text(0));
            for (int32_t f = 1; f < int32_t(std::size(kInfoColumns)); ++f)
                kInfoColumns[f].Set(g, row.Number(f));
            Config.SetStoredGeneralInfo(g);
        } else if (r.What == ReadResult::WrongFields) {
            log("Default settings used");
        }
        bm_.SetMaxRAM(Config.GeneralInfo().MaxRAM);

        r = read(s, aliasKind);
        if (r.What == ReadResult::Read) {
            {
                PortalWriteGuard g(Config.AliasList());
                Config.AliasList().Empty();
            }
            for (const auto& image : r.Rows) {
                const Row row(r.Dict, image);
                if (TqbResultCode rc = Config.AddAlias(row.Text(0), row.Text(1)))
                    log("Alias \"" + row.Text(0) + "\" of " + r.From + " refused (" + std::to_string(rc) +
                        ")");
            }
        } else if (r.What == ReadResult::WrongFields) {
            log("No aliases used");
        }

        r = read(s, userKind);
        // What an interrupted save of the users left is settled like the other two tables' at the end.
        usersLeftOver = (r.What == ReadResult::Read && r.From != userKind.Name("QBS")) ||
                        tableExists(s.path(), userKind.Name("SAV")) ||
                        tableExists(s.path(), userKind.Name("XXS")) ||
                        plat::FileExists(completeMark(s.path(), userKind.Name("XXS")));
        if (r.What == ReadResult::WrongFields && Config.GeneralInfo().IsSecure)
            fail("Configuration table QBSUSER has fields other than expected: a server requiring logins does "
                 "not start without its users",
                 32);
        if (r.What == ReadResult::Read) {
            Config.UserList().Empty();
            for (const auto& image : r.Rows) {
                const Row row(r.Dict, image);
                if (TqbResultCode rc = Config.AddUser(row.Text(0), row.Text(1), row.Text(2),
                                                      uint32_t(row.Number(3)), uint8_t(row.Number(4))))
                    log("User \"" + row.Text(0) + "\" of " + r.From + " refused (" + std::to_string(rc) +
                        ")");
            }
            // Stored users none of which could be taken are no reason to open the default account:
            // without a user nobody logs in, and the table stays as it is.
            if (!r.Rows.empty() && Config.UserList().Count() == 0) {
                if (Config.GeneralInfo().IsSecure)
                    fail("Configuration table " + r.From + " holds no usable user", 32);
                log("Configuration table " + r.From + " holds no usable user: no default account made");
                storedUsers = true;
            }
        }

        r = read(s, indexKind);
        if (r.What == ReadResult::Read) {
            Config.KeyProcList().Empty();
            for (const auto& image : r.Rows) {
                const Row row(r.Dict, image);
                if (TqbResultCode rc = Config.AddKeyProc(row.Text(0), row.Text(1), int32_t(row.Number(2)),
                                                         row.Text(3), row.Text(4), row.Text(5)))
                    log("Key procedure of table \"" + row.Text(1) + "\" refused (" + std::to_string(rc) +
                        ")");
            }
        }
    }

    bool saveUsers = usersLeftOver && !storedUsers;
    if (Config.UserList().Count() == 0 && !storedUsers) {
        Config.AddUser(DefaultAdministratorID(), kDefaultAdministratorLastName, "",
                       DefaultAdministratorHash(), kAllUserRights);
        log("Default administrator account created");
        saveUsers = true;
    }
    // The users are saved once the settings apply, so that the script's ALLOWENCRYPT, READONLY and
    // NOAUTOSAVECFG rule their table as they rule the other two.
    if (ApplySettings) ApplySettings(Config);
    if (saveUsers) saveAtLoadEnd(Config, userKind);
    saveAtLoadEnd(Config, infoKind);
    saveAtLoadEnd(Config, aliasKind);
}

void TqbTableConfigStore::saveAtLoadEnd(const TqbServerConfiguration& Config, const Kind& k) {
    try {
        save(Config, k, false);
    } catch (const EqbSaveStopped&) {
        throw;
    } catch (const EqbJournalLeft& e) {
        log("Configuration table QBS" + k.Suffix + " not saved: " + e.what());
        std::lock_guard lk(m_);
        if (std::find(held_.begin(), held_.end(), k.Suffix) == held_.end()) held_.push_back(k.Suffix);
    } catch (const std::exception& e) {
        log("Configuration table QBS" + k.Suffix + " not saved: " + e.what());
    }
}

void TqbTableConfigStore::SaveHeld(const TqbServerConfiguration& Config) {
    std::vector<std::string> held;
    {
        std::lock_guard lk(m_);
        held.swap(held_);
    }
    for (const std::string& suffix : held)
        saveAtLoadEnd(Config, Kind{suffix, suffix == "INFO"    ? infoColumns()
                                           : suffix == "ALIAS" ? kAliasColumns
                                                               : kUserColumns});
}

// ---------------------------------------------------------------------------------------------
// Saving

void TqbTableConfigStore::SaveInfo(const TqbServerConfiguration& Config, bool Force) {
    save(Config, Kind{"INFO", infoColumns()}, Force);
}

void TqbTableConfigStore::SaveAliases(const TqbServerConfiguration& Config) {
    save(Config, Kind{"ALIAS", kAliasColumns}, false);
}

void TqbTableConfigStore::SaveUsers(const TqbServerConfiguration& Config) {
    save(Config, Kind{"USER", kUserColumns}, false);
}

// Puts what an interrupted save left back under QBS<name> and removes the rest, SAV<name> only
// once QBS<name> reads with the right fields.
void TqbTableConfigStore::settle(Session& s, const Kind& k) {
    const std::string qbs = k.Name("QBS"), sav = k.Name("SAV"), xxs = k.Name("XXS");
    if (journalLeft(s.path())) throw EqbJournalLeft();
    if (!tableExists(s.path(), qbs)) {
        const bool complete = plat::FileExists(completeMark(s.path(), xxs));
        if (tableExists(s.path(), sav))
            s.rename(sav, qbs);
        else if (complete && tableExists(s.path(), xxs))
            s.rename(xxs, qbs);
        SyncFolder(s.path());
    }
    if (tableExists(s.path(), qbs)) {
        const TqbServerDataDict want = dictionaryOf(qbs, k.Columns, false);
        CursorHold h;
        s.open(h, qbs, false);
        const TqbServerDataDict& d = h.c->Table()->GetDictionary();
        bool good = d.FieldCount() == want.FieldCount();
        for (int32_t f = 0; good && f < d.FieldCount(); ++f)
            good = sameField(d, f, want, f);
        h.close();
        // A table with other fields is what the save replaces; the loads read SAV<name> instead
        // of it, so that one takes its place.
        if (good) {
            s.remove(sav);
        } else if (tableExists(s.path(), sav)) {
            s.remove(qbs);
            s.rename(sav, qbs);
            log("Configuration table " + qbs + " with other fields replaced by " + sav);
        }
    }
    s.remove(xxs);
    s.removeMark(xxs);
    SyncFolder(s.path());
}

void TqbTableConfigStore::save(const TqbServerConfiguration& Config, const Kind& k, bool Force) {
    std::lock_guard lk(m_);
    const TqbGeneralInfo g = Config.GeneralInfo();
    if ((g.ReadOnly || g.NoAutoSaveCfg) && !Force) return;
    const std::string qbs = k.Name("QBS"), sav = k.Name("SAV"), xxs = k.Name("XXS");
    const TqbServerDataDict dict = dictionaryOf(xxs, k.Columns, g.UseEncrypt);

    // The records first, so that nothing is touched when they cannot be made.
    std::vector<Row> rows;
    if (k.Suffix == "INFO") {
        Row& row = rows.emplace_back(dict);
        row.SetText(0, g.ServerName.View());
        for (int32_t f = 1; f < int32_t(std::size(kInfoColumns)); ++f)
            row.SetNumber(f, kInfoColumns[f].Get(g));
    } else if (k.Suffix == "ALIAS") {
        for (const TqbAliasRecord& a : Config.AliasRecords()) {
            Row& row = rows.emplace_back(dict);
            row.SetText(0, a.Alias.View());
            row.SetText(1, a.Path.View());
        }
    } else {
        for (const TqbLoginUser& u : Config.UserList().Users()) {
            Row& row = rows.emplace_back(dict);
            row.SetText(0, u.UserID);
            row.SetText(1, u.LastName);
            row.SetText(2, u.FirstName);
            row.SetNumber(3, Config.UserList().PwdHash(u.UserID));
            row.SetNumber(4, u.Rights);
        }
    }

    Session s(*this, false);
    bool built = false, setAside = false, placed = false;
    auto reached = [&](int step) {
        if (stopAfter_ == step) throw EqbSaveStopped(step);
    };
    try {
        settle(s, k);
        reached(1);
        {
            TqbSrTableList& list = host_.Tables();
            list.BeginWrite();
            try {
                SystemTable t(host_, bm_, s.folder, xxs);
                built = true;
                t.Build(dict);
                t.CloseFiles(false, nullptr);
            } catch (...) {
                list.EndWrite();
                throw;
            }
            list.EndWrite();
        }
        reached(2);
        {
            CursorHold h;
            s.open(h, xxs, true);
            try {
                if (int32_t rc = s.db->StartTransaction()) fail("No transaction for " + xxs, rc);
                for (const Row& row : rows)
                    if (int32_t rc = h.c->RecordInsert(row.Image().data(), lmNone))
                        fail("Record of " + xxs + " not written", rc);
                if (int32_t rc = s.db->Commit()) fail("Records of " + xxs + " not committed", rc);
            } catch (...) {
                // Before the cursor goes: the transaction's locks live in its table.
                s.rollback();
                throw;
            }
        }
        reached(3);
        // From here the new table is whole: a crash may leave it in place of the old one.
        if (int err =
                plat::FileReplaceAtomic(plat::JoinPath(s.path(), xxs + "." + kCompleteExt), "complete\n"))
            fail("Mark of " + xxs + " not written: " + plat::FileErrorText(err), 1);
        reached(4);
        if (tableExists(s.path(), qbs)) {
            s.rename(qbs, sav);
            setAside = true;
            SyncFolder(s.path());
        }
        reached(5);
        s.rename(xxs, qbs);
        placed = true;
        SyncFolder(s.path());
        reached(6);
        {
            CursorHold h;
            s.open(h, qbs, false);
        }
        s.removeMark(xxs);
        reached(7);
    } catch (const EqbSaveStopped&) {
        throw;
    } catch (...) {
        // Until the new table is in place the old one goes back under its name; a table a journal
        // still names waits for the folder's recovery.
        if (!placed) {
            if (setAside && !tableExists(s.path(), qbs)) try {
                    s.rename(sav, qbs);
                    SyncFolder(s.path());
                } catch (...) {
                }
            if (built && !journalLeft(s.path())) try {
                    s.remove(xxs);
                    s.removeMark(xxs);
                } catch (...) {
                }
        }
        throw;
    }
    // The new table is in place and reads: the old one may go. Left behind, the next save
    // removes it.
    try {
        s.remove(sav);
        SyncFolder(s.path());
    } catch (const std::exception& e) {
        log("Configuration table " + sav + " not removed: " + e.what());
    }
}
