// The in-process engine: construction, state hooks, garbage collection, properties, configuration
// load, logging and the frame's helpers.
#include "db/engine/qbsrengn.h"

#include "db/base/qblllog.h"
#include "db/engine/qbsrcfgs.h"
#include "db/engine/qbsrscr.h"
#include "db/storage/qbsrlock.h"
#include "platform/Files.h"

#include <algorithm>
#include <filesystem>

// ---------------------------------------------------------------------------------------------
// Cursor host

bool TqbEngineCursorHost::IsReadOnly() {
    return engine_.GetIsReadOnly();
}

bool TqbEngineCursorHost::UseEncrypt() {
    return engine_.Configuration().GeneralInfo().UseEncrypt;
}

bool TqbEngineCursorHost::FindKeyProc(const std::string& Key, TqbKeyProcEntry& Entry) {
    return engine_.Configuration().KeyProcList().Find(Key, Entry);
}

std::string TqbEngineCursorHost::ConfigFolder() {
    return engine_.ConfigDir();
}

void TqbEngineCursorHost::LogError(const std::string& Text) {
    engine_.seLogError("%s", {Text}, engine_.GetIsReadOnly());
}

// ---------------------------------------------------------------------------------------------
// Construction

TqbServerEngine::TqbServerEngine(cls::TComponent* AOwner)
    : TqbIntermediateServerEngine(AOwner), clock_(std::make_shared<TqbEngineClock>()),
      bm_(std::make_unique<TqbBufferManager>(std::string(), 20)),
      host_(std::make_unique<TqbEngineCursorHost>(*this, *bm_)) {
    journalPrompt_ = TqbJournalPromptHook([this](int Kind, const std::string& Alias, const std::string& Path,
                                                 const std::string& FileName, const std::string& ErrorText) {
        return OnJournalPrompt ? OnJournalPrompt(Kind, Alias, Path, FileName, ErrorText) : kJournalCommit;
    });
    bm_->SetMaxRAM(config_.GeneralInfo().MaxRAM);
    TqbFolderRecovery& r = folders_.Recovery();
    r.Prompt = &journalPrompt_;
    r.Log = [this](const std::string& Line) { LogString(Line); };
    r.AliasOf = [this](const std::string& Folder) {
        for (const TqbAliasRecord& a : config_.AliasRecords())
            if (CanonicalFolderPath(a.Path.Str()) == Folder) return a.Alias.Str();
        return std::string();
    };
}

TqbServerEngine::~TqbServerEngine() = default;

void TqbServerEngine::BeforeDestruction() {
    NotifyDependents(5);
    stopGarbageTimer();
    try {
        SetState(qbsInactive);
    } catch (...) {
    }
    freeAll();
    // The configuration tables' store uses the lists and the buffer manager.
    store_.reset();
    TqbIntermediateServerEngine::BeforeDestruction();
}

void TqbServerEngine::Notification(cls::TComponent* AComponent, cls::TOperation operation) {
    TqbIntermediateServerEngine::Notification(AComponent, operation);
    if (operation != cls::opRemove) return;
    if (AComponent == static_cast<cls::TComponent*>(EventLog())) recomputeLogging();
    TqbBaseSQLEngine* sql = sqlEngine_.load();
    if (sql && AComponent == static_cast<cls::TComponent*>(sql)) sqlEngine_.store(nullptr);
}

void TqbServerEngine::SetConfigStore(std::unique_ptr<TqbConfigStore> Store) {
    CheckInactive();
    store_ = std::move(Store);
}

void TqbServerEngine::SetClock(std::shared_ptr<TqbEngineClock> Clock) {
    // Other threads read the clock while the engine runs.
    CheckInactive();
    clock_ = std::move(Clock);
}

// ---------------------------------------------------------------------------------------------
// State hooks

void TqbServerEngine::EnterInitializing() {
    lockWaitStop_.Reset();
    LogString("QB Server initializing...");
    LogFormat("  Version: %5.4f %s", {double(kServerVersion) / 10000.0, std::string("Release")});
    // The configuration folder's journals wait for the check below, where their alias is known.
    folders_.SetDeferJournals(true);
    try {
        loadConfiguration();
    } catch (...) {
        folders_.SetDeferJournals(false);
        throw;
    }
    folders_.SetDeferJournals(false);
    LogString("Performing recovery check...");
    if (OnRecoveryCheck)
        OnRecoveryCheck(*this);
    else
        recoveryCheck();
    if (!GetIsReadOnly()) {
        folders_.RecoverDeferred();
        recoverFoldersByPath();
        // What replaces of the configuration folder's files left when they were killed.
        plat::RemoveReplaceLeftovers(ConfigDir());
    }
    LogString("Finished recovery check...");
    // What the load could not save while the configuration folder held a journal.
    if (!GetIsReadOnly() && store_) store_->SaveHeld(config_);
    if (CollectGarbage()) startGarbageTimer();
    lastDeepCollection_ = clock_->Tick();
}

namespace {
// Lists the aliases; each folder is settled by the engine's folder list under the folder's lock.
class TqbEngineRecovery : public TqbRecoveryEngine {
public:
    explicit TqbEngineRecovery(TqbSrFolderList& Folders) : folders_(Folders) {}

protected:
    void CheckAliasFolder(const std::string& Alias, const std::string& Folder) override {
        folders_.RecoverFolder(Alias, Folder);
    }

private:
    TqbSrFolderList& folders_;
};
} // namespace

void TqbServerEngine::recoveryCheck() {
    // A read-only engine writes nothing, journals included.
    if (GetIsReadOnly()) return;
    // The alias list is asked for by a client of the engine's own, known only to the check.
    auto client = std::make_shared<TqbSrClient>(nullptr, 0, "[recovery]");
    const TqbHandle id = registry_.Add(TqbHandleKind::Client, client);
    try {
        TqbEngineRecovery(folders_).Check(*this, id);
    } catch (...) {
        registry_.Remove(id, TqbHandleKind::Client);
        throw;
    }
    registry_.Remove(id, TqbHandleKind::Client);
}

void TqbServerEngine::recoverFoldersByPath() {
    for (const std::string& f : RecoveryFolders) {
        try {
            folders_.RecoverFolder({}, f);
        } catch (const EqbException& e) {
            LogString("Journals of " + f + " not recovered (error " +
                      std::to_string(ServerErrorToResult(e.ErrorCode)) + "): " + e.Message() +
                      " Its opening is refused until they are.");
        }
    }
}

void TqbServerEngine::EnterStarting() {
    LogString("QB Server started.");
    startTick_ = clock_->Tick();
    serverID_ = NewServerGUID();
}

void TqbServerEngine::EnterShuttingDown() {
    EndLockWaits();
    LogString("QB Server preparing for shutdown.");
    stopGarbageTimer();
    if (TqbBaseSQLEngine* sql = sqlEngine_.load()) sql->ShutdownEngine();
    if (clients_.Count() > 0) seCollectGarbage();
    NotifyDependents(4);
    std::shared_ptr<TqbEvent> lastClientGone;
    {
        // Made under the lock that ClientRemove signals under: a client leaving at any moment
        // either is seen here or signals the event.
        std::lock_guard lk(shutdownMutex_);
        if (clients_.Count() > 0) shutdownEvent_ = lastClientGone = std::make_shared<TqbEvent>();
    }
    if (lastClientGone) {
        clock_->WaitFor(*lastClientGone, kShutdownWaitMs);
        std::lock_guard lk(shutdownMutex_);
        shutdownEvent_.reset();
    }
    closeRemainingClients();
    // The jobs still running end here (their work undone), before the engine can go.
    RebuildStopAll();
}

void TqbServerEngine::EnterInactive() {
    // Also after a failed start that got as far as starting the timer.
    stopGarbageTimer();
    LogString("QB Server shutting down.");
}

void TqbServerEngine::makeDefaultStore() {
    auto store = std::make_unique<TqbTableConfigStore>(
        *host_, folders_, *bm_, ConfigDir(),
        [this](const std::string& Text) { seLogError("%s", {Text}, GetIsReadOnly()); });
    // After the tables: the alias file beside the program, then the script file.
    store->ApplySettings = [this](TqbServerConfiguration& Config) {
        TqbScriptHooks hooks;
        hooks.ReadOnlyChanged = [this] { recomputeLogging(); };
        TqbScriptApplier applier(Config, Name(), ScriptFile, hooks);
        const std::filesystem::path exe(PathExeName());
        applier.ProcessAliasFile((exe.parent_path() / kAliasFileName).string());
        applier.ProcessScriptFile();
    };
    store_ = std::move(store);
}

void TqbServerEngine::loadConfiguration() {
    if (configLoaded_.load()) return;
    const TqbThreadDeadline saved = GetThreadDeadline();
    try {
        if (!store_) makeDefaultStore();
        config_.Load(*store_);
        const TqbGeneralInfo info = config_.GeneralInfo();
        bm_->SetMaxRAM(info.MaxRAM);
        if (info.TempStoreSize != bm_->GetTempStoreSize()) bm_->SetTempStoreSize(info.TempStoreSize);
    } catch (...) {
        // Marked loaded only after a whole load: a failed one fails the start.
        config_.Reset();
        RestoreThreadDeadline(saved);
        throw;
    }
    RestoreThreadDeadline(saved);
    configLoaded_.store(true);
    recomputeLogging();
}

// ---------------------------------------------------------------------------------------------
// Garbage collection

int32_t TqbServerEngine::seCollectGarbage() {
    try {
        if (TqbBaseSQLEngine* sql = sqlEngine_.load()) sql->CollectGarbage();
        for (auto& o : clients_.Snapshot())
            if (auto* c = dynamic_cast<TqbSrClient*>(o.get()); c && c->ShouldClose()) closeClient(*c);
        TableList().RemoveUnused();
        folders_.RemoveUnused();
        const uint32_t now = clock_->Tick();
        if (now - lastDeepCollection_.load() >= kDeepCollectionMs) {
            LockContainerPool().Flush();
            bm_->Lock();
            try {
                bm_->ReleaseUnusedMemory();
            } catch (...) {
                bm_->Unlock();
                throw;
            }
            bm_->Unlock();
            lastDeepCollection_.store(now);
        }
    } catch (const std::exception& e) {
        seLogError("Error in garbage collection: %s", {std::string(e.what())}, GetIsReadOnly());
    } catch (...) {
        seLogError("Error in garbage collection: %s", {std::string("unknown error")}, GetIsReadOnly());
    }
    return 0;
}

void TqbServerEngine::startGarbageTimer() {
    std::lock_guard lk(gcTimerMutex_);
    if (gcTimer_) return;
    // The timer waits without limit on 0: so does a period below it.
    const uint32_t period = uint32_t(std::max<int32_t>(CollectFrequency(), 0));
    gcTimer_ =
        std::make_unique<TqbTimerThread>(period, false, nullptr, [this](void*) { seCollectGarbage(); });
}

void TqbServerEngine::stopGarbageTimer() {
    std::unique_ptr<TqbTimerThread> timer;
    {
        std::lock_guard lk(gcTimerMutex_);
        timer = std::move(gcTimer_);
    }
    if (timer) timer->Terminate(); // its destructor waits for a pass under way
}

bool TqbServerEngine::GarbageTimerRunning() {
    std::lock_guard lk(gcTimerMutex_);
    return gcTimer_ != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Properties

bool TqbServerEngine::CollectGarbage() {
    loadConfiguration();
    return config_.GeneralInfo().CollectEnabld;
}

void TqbServerEngine::SetCollectGarbage(bool Value) {
    loadConfiguration();
    config_.UpdateGeneralInfo([&](TqbGeneralInfo& i) { i.CollectEnabld = Value; });
    saveGeneralInfo();
    // A running engine follows at once.
    if (State() == qbsStarted) Value ? startGarbageTimer() : stopGarbageTimer();
}

int32_t TqbServerEngine::CollectFrequency() {
    loadConfiguration();
    return config_.GeneralInfo().CollectFreq;
}

void TqbServerEngine::SetCollectFrequency(int32_t Value) {
    loadConfiguration();
    // Kept as set: the range is the script key's; the timer bounds what it cannot use.
    config_.UpdateGeneralInfo([&](TqbGeneralInfo& i) { i.CollectFreq = Value; });
    saveGeneralInfo();
}

uint32_t TqbServerEngine::MaxRAM() {
    loadConfiguration();
    return config_.GeneralInfo().MaxRAM;
}

void TqbServerEngine::SetMaxRAM(uint32_t Value) {
    loadConfiguration();
    Value = std::clamp<uint32_t>(Value, 1, kMaxRAMLimit);
    config_.UpdateGeneralInfo([&](TqbGeneralInfo& i) { i.MaxRAM = Value; });
    bm_->SetMaxRAM(Value);
    saveGeneralInfo();
}

void TqbServerEngine::saveGeneralInfo() {
    if (GetIsReadOnly() || !configLoaded_.load()) return;
    store_->SaveInfo(config_);
}

void TqbServerEngine::saveAliases() {
    if (GetIsReadOnly()) return;
    store_->SaveAliases(config_);
}

std::string TqbServerEngine::ConfigDir() const {
    if (!configDir_.empty()) return configDir_;
    std::error_code ec;
    std::string dir = std::filesystem::current_path(ec).string();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

void TqbServerEngine::SetConfigDir(const std::string& Value) {
    configDir_ = Value;
}

bool TqbServerEngine::GetIsReadOnly() {
    return config_.IsReadOnly();
}

void TqbServerEngine::SetIsReadOnly(bool Value) {
    // Loaded first, so that the stored setting does not replace this one at the start; an engine
    // being made read-only loads without writing anything.
    if (Value && !configLoaded_.load()) config_.SetIsReadOnly(true);
    loadConfiguration();
    config_.SetIsReadOnly(Value);
    recomputeLogging();
}

bool TqbServerEngine::GetNoAutoSaveCfg() {
    return config_.NoAutoSaveCfg();
}

void TqbServerEngine::SetNoAutoSaveCfg(bool Value) {
    // As SetIsReadOnly: the load saves nothing when saving is being switched off.
    if (Value && !configLoaded_.load()) config_.SetNoAutoSaveCfg(true);
    loadConfiguration();
    config_.SetNoAutoSaveCfg(Value);
}

void TqbServerEngine::SetSQLEngine(TqbBaseSQLEngine* Engine) {
    sqlEngine_.store(Engine);
}

void TqbServerEngine::SetEventLog(TqbBaseLog* log) {
    TqbIntermediateServerEngine::SetEventLog(log);
    recomputeLogging();
}

void TqbServerEngine::SetEventLogEnabled(bool value) {
    TqbIntermediateServerEngine::SetEventLogEnabled(value);
    recomputeLogging();
}

void TqbServerEngine::recomputeLogging() {
    logging_.store(EventLog() != nullptr && GetEventLogEnabled() && !config_.IsReadOnly());
}

// ---------------------------------------------------------------------------------------------
// Logging

TqbResultCode TqbServerEngine::GetServerNames(cls::TStringList& List, uint32_t Timeout) {
    (void)Timeout;
    List.Clear();
    List.Add(kDirectServerName);
    return 0;
}

void TqbServerEngine::LogString(std::string_view S) {
    if (logging_.load()) LogText(S);
}

void TqbServerEngine::LogStrings(const std::vector<std::string>& Strings) {
    for (const std::string& s : Strings)
        LogString(s);
}

void TqbServerEngine::LogFormat(std::string_view Fmt, const QbFormatArgs& Args) {
    if (logging_.load()) LogTextFmt(Fmt, Args);
}

void TqbServerEngine::seLogError(std::string_view Fmt, const QbFormatArgs& Args, bool ReadOnly) {
    TqbBaseLog* log = EventLog();
    if (!log || ReadOnly) return;
    try {
        log->WriteTextFmt(Fmt, Args);
    } catch (...) {
    }
}

std::string TqbServerEngine::seGetServerName() {
    return config_.GetServerName();
}

// ---------------------------------------------------------------------------------------------
// Frame helpers

TqbServerEngine::TqbInFlight::TqbInFlight(TqbServerEngine& Engine) : engine_(Engine) {
    engine_.inFlight_.fetch_add(1);
}

TqbServerEngine::TqbInFlight::~TqbInFlight() {
    if (engine_.inFlight_.fetch_sub(1) != 1 || engine_.flightWaiters_.load() == 0) return;
    // Taken before the wake-up: a waiter that saw the old count is then already waiting.
    std::lock_guard lk(engine_.shutdownMutex_);
    engine_.shutdownCv_.notify_all();
}

TqbResultCode TqbServerEngine::ConvertException(const std::exception_ptr& E) {
    return ConvertServerException(E, EventLog(), GetIsReadOnly());
}

TqbResultCode TqbServerEngine::TwoCursorFrame(
    TqbHandle CursorA, TqbHandle CursorB,
    const std::function<TqbResultCode(TqbSrBaseCursor&, TqbSrBaseCursor&)>& Work) {
    if (State() != qbsStarted) return kResultNotStarted;
    TqbInFlight flight(*this);
    auto a = registry_.LeaseAs<TqbSrBaseCursor>(CursorA, TqbHandleKind::Cursor);
    auto b = registry_.LeaseAs<TqbSrBaseCursor>(CursorB, TqbHandleKind::Cursor);
    if (!a || !b) return UnknownHandleCode(TqbHandleKind::Cursor);
    // One global order of the two padlocks (the same one twice when both cursors are one client's).
    const bool aFirst =
        std::less<const void*>()(a->Padlock().get(), b->Padlock().get()) || a->Padlock() == b->Padlock();
    std::optional<TqbActivation> first, second;
    first.emplace(aFirst ? a : b, closedHook());
    if (!first->Active()) return UnknownHandleCode(TqbHandleKind::Cursor);
    second.emplace(aFirst ? b : a, closedHook());
    if (!second->Active()) return UnknownHandleCode(TqbHandleKind::Cursor);
    TqbLockWaitStopScope stopping(&lockWaitStop_);
    try {
        TqbDeadlineScope deadline(a->Timeout());
        return Work(*a, *b);
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::seCursorWrite(TqbSrBaseCursor& Cursor, bool LockCurrent, bool ReleaseFlag,
                                             bool MarkFailed, const std::function<TqbResultCode()>& Work) {
    TqbSrDatabase& db = Cursor.Database();
    TqbResultCode rc = Cursor.EnsureWritable(false, ReleaseFlag);
    if (rc != 0 && rc != 10257) return rc;
    // A write in a transaction of its own waits for the current record's lock first, holding
    // nothing: the lock's holder may be a write that needs the table's content lock to finish.
    uint64_t lockedAhead = 0;
    if (rc == 10257 && LockCurrent)
        if (const TqbResultCode ahead = Cursor.LockCurrentAhead(lockedAhead)) return ahead;
    bool started = false;
    if (rc == 10257 && (rc = db.BeginImplicit(started)) != 0) {
        Cursor.ReleaseLockAhead(lockedAhead);
        return rc;
    }
    auto rollBack = [&] {
        if (!started) return;
        try {
            db.EndImplicit(true, false);
            Cursor.ReleaseLockAhead(lockedAhead);
        } catch (...) {
        }
    };
    // Its own transaction takes the table's write content lock before anything else: a read's
    // share lock taken first and raised to exclusive for the write deadlocks with another write
    // that does the same.
    if (started) {
        try {
            Cursor.AcquireContentLock(2);
        } catch (...) {
            rollBack();
            throw;
        }
    }
    // The current record is read and locked inside the transaction, so that the lock is the
    // transaction's own (a lock the cursor took before passes to it). A refused read or lock
    // changed nothing, but it is the write's failure all the same: the client's own transaction
    // is marked failed by it as by any other (a delete without a current record too).
    auto refused = [&] {
        rollBack();
        if (!started && MarkFailed) db.TransactionFailed.store(true);
    };
    if (LockCurrent) {
        try {
            rc = Cursor.EnsureWritable(true, ReleaseFlag);
        } catch (...) {
            refused();
            throw;
        }
        if (rc != 0) {
            refused();
            return rc;
        }
    }
    try {
        rc = Work();
    } catch (...) {
        if (started)
            rollBack();
        else if (MarkFailed)
            db.TransactionFailed.store(true);
        throw;
    }
    if (!started) {
        if (rc != 0 && MarkFailed) db.TransactionFailed.store(true);
        return rc;
    }
    const TqbResultCode end = db.EndImplicit(true, rc == 0);
    if (rc != 0) Cursor.ReleaseLockAhead(lockedAhead);
    return rc != 0 ? rc : end;
}

TqbHandle TqbServerEngine::RegisterCursor(const std::shared_ptr<TqbSrBaseCursor>& Cursor) {
    const TqbHandle h = registry_.Add(TqbHandleKind::Cursor, Cursor);
    Cursor->SetHandle(h);
    CursorList().Add(Cursor);
    return h;
}

TqbServerCounts TqbServerEngine::Counts() {
    TqbServerCounts c;
    c.Clients = clients_.Count();
    c.Sessions = sessions_.Count();
    c.Databases = databases_.Count();
    c.Tables = TableList().Count();
    c.Cursors = CursorList().Count();
    return c;
}
