// The configuration kept in system tables of the configuration folder: QBSINFO, QBSALIAS and QBSUSER
// written through a save a crash cannot tear, QBSINDEX read for the key procedures.
#pragma once
#include "db/base/qbllexcp.h"
#include "db/engine/qbsrcfg.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TqbSrCursorHost;
class TqbSrFolderList;
class TqbBufferManager;

// The account made when no user is stored.
std::string DefaultAdministratorID();
inline constexpr char kDefaultAdministratorLastName[] = "Administrator";
uint32_t DefaultAdministratorHash();

// A save stopped on purpose after one of its steps, as a crash there would leave it.
class EqbSaveStopped : public EqbException {
public:
    explicit EqbSaveStopped(int Step);
    int Step;
};

// Each table is written as a new table "XXS<name>" that, once committed, is marked complete (a file
// "XXS<name>.DONE") and takes the place of "QBS<name>", whose old files wait as "SAV<name>" until the
// new ones are checked. Reading takes the first of QBS<name>, SAV<name> and a complete XXS<name>
// that can be read; a save first puts that one back under QBS<name> and only then removes the rest.
class TqbTableConfigStore : public TqbConfigStore {
public:
    using LogSink = std::function<void(const std::string&)>;
    // ConfigDir: the folder of the tables. Log hears every recovery, refusal and default account.
    TqbTableConfigStore(TqbSrCursorHost& Host, TqbSrFolderList& Folders, TqbBufferManager& BufferManager,
                        std::string ConfigDir, LogSink Log = {});
    ~TqbTableConfigStore() override;

    // Reads the tables into Config (a missing table keeps what Config holds), makes the default
    // administrator when no user is stored, runs ApplySettings, then saves the general info and the
    // aliases. A table that cannot be read raises; one with other fields gives defaults, except
    // QBSUSER of a secure configuration, which raises rather than make the default account. A
    // failed save at the end is logged: what the tables held stays.
    void Load(TqbServerConfiguration& Config) override;
    // Nothing is written when the configuration is read-only or does not save itself; Force saves
    // the general info all the same.
    void SaveInfo(const TqbServerConfiguration& Config) override { SaveInfo(Config, false); }
    void SaveInfo(const TqbServerConfiguration& Config, bool Force);
    void SaveAliases(const TqbServerConfiguration& Config) override;
    void SaveUsers(const TqbServerConfiguration& Config) override;
    // The saves that ended a load while the folder held a journal, once it is recovered.
    void SaveHeld(const TqbServerConfiguration& Config) override;

    // Between reading the tables and the saves that end a load: the alias file and the script.
    std::function<void(TqbServerConfiguration&)> ApplySettings;

    // For tests: every save raises EqbSaveStopped after step Step (1 leftovers settled, 2 new table
    // built, 3 records committed, 4 marked complete, 5 old table set aside, 6 new table in place,
    // 7 new table checked), cleaning nothing up. 0: never.
    void StopSaveAfterStep(int Step) { stopAfter_ = Step; }

private:
    struct Session;
    struct Kind;
    struct ReadResult;
    ReadResult read(Session& s, const Kind& k);
    void save(const TqbServerConfiguration& Config, const Kind& k, bool Force);
    void settle(Session& s, const Kind& k);
    void saveAtLoadEnd(const TqbServerConfiguration& Config, const Kind& k);
    void log(const std::string& Text) const;

    TqbSrCursorHost& host_;
    TqbSrFolderList& folders_;
    TqbBufferManager& bm_;
    std::string dir_;
    LogSink log_;
    int stopAfter_ = 0;
    std::vector<std::string> held_; // suffixes of the tables whose save waits for the journals
    std::recursive_mutex m_;        // one load or save at a time: they share the tables' names
};
