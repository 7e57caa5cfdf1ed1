// The in-process engine: construction, state hooks, garbage collection, properties, configuration
// load, logging and the frame's helpers.
#include "db/engine/qbsrengn.h"

#include "db/base/qblllog.h"

#include <filesystem>

// ---------------------------------------------------------------------------------------------
// Cursor host

bool TqbEngineCursorHost::IsReadOnly() {
    return engine_.GetIsReadOnly();
}

bool TqbEngineCursorHost::UseEncrypt() {
    return false;
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
    : TqbIntermediateServerEngine(AOwner), store_(std::make_unique<TqbMemoryConfigStore>()),
      clock_(std::make_shared<TqbEngineClock>()), bm_(std::make_unique<TqbBufferManager>(std::string(), 20)),
      host_(std::make_unique<TqbEngineCursorHost>(*this, *bm_)) {
    bm_->SetMaxRAM(config_.GeneralInfo().MaxRAM);
}

TqbServerEngine::~TqbServerEngine() = default;

void TqbServerEngine::BeforeDestruction() {
    NotifyDependents(5);
    if (gcTimer_) {
        gcTimer_->Terminate();
        gcTimer_.reset();
    }
    try {
        SetState(qbsInactive);
    } catch (...) {
    }
    freeAll();
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
    clock_ = std::move(Clock);
}

// ---------------------------------------------------------------------------------------------
// State hooks

void TqbServerEngine::EnterInitializing() {
    LogString("QB Server initializing...");
    LogFormat("  Version: %5.4f %s", {double(kServerVersion) / 10000.0, std::string("Release")});
    loadConfiguration();
    LogString("Performing recovery check...");
    if (OnRecoveryCheck) OnRecoveryCheck(*this);
    LogString("Finished recovery check...");
    lastDeepCollection_ = clock_->Tick();
}

void TqbServerEngine::EnterStarting() {
    LogString("QB Server started.");
    startTick_ = clock_->Tick();
    serverID_ = NewServerGUID();
}

void TqbServerEngine::EnterShuttingDown() {
    LogString("QB Server preparing for shutdown.");
    if (gcTimer_) {
        gcTimer_->Terminate();
        gcTimer_.reset();
    }
    if (TqbBaseSQLEngine* sql = sqlEngine_.load()) sql->ShutdownEngine();
    NotifyDependents(4);
}

void TqbServerEngine::EnterInactive() {
    LogString("QB Server shutting down.");
}

void TqbServerEngine::loadConfiguration() {
    if (configLoaded_.load()) return;
    const TqbThreadDeadline saved = GetThreadDeadline();
    try {
        config_.Load(*store_);
    } catch (...) {
        RestoreThreadDeadline(saved);
        throw;
    }
    bm_->SetMaxRAM(config_.GeneralInfo().MaxRAM);
    RestoreThreadDeadline(saved);
    configLoaded_.store(true);
    recomputeLogging();
}

// ---------------------------------------------------------------------------------------------
// Garbage collection

int32_t TqbServerEngine::seCollectGarbage() {
    try {
        if (TqbBaseSQLEngine* sql = sqlEngine_.load()) sql->CollectGarbage();
        TableList().RemoveUnused();
        folders_.RemoveUnused();
    } catch (const std::exception& e) {
        seLogError("Error in garbage collection: %s", {std::string(e.what())}, GetIsReadOnly());
    } catch (...) {
        seLogError("Error in garbage collection: %s", {std::string("unknown error")}, GetIsReadOnly());
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Properties

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
    config_.SetIsReadOnly(Value);
    recomputeLogging();
}

bool TqbServerEngine::GetNoAutoSaveCfg() {
    return config_.NoAutoSaveCfg();
}

void TqbServerEngine::SetNoAutoSaveCfg(bool Value) {
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
    std::lock_guard lk(engine_.shutdownMutex_);
    ++engine_.inFlight_;
}

TqbServerEngine::TqbInFlight::~TqbInFlight() {
    std::lock_guard lk(engine_.shutdownMutex_);
    if (--engine_.inFlight_ == 0) engine_.shutdownCv_.notify_all();
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
    TqbResultCode rc = Cursor.EnsureWritable(LockCurrent, ReleaseFlag);
    if (rc != 0 && rc != 10257) return rc;
    bool started = false;
    if (rc == 10257 && (rc = db.BeginImplicit(started)) != 0) return rc;
    try {
        rc = Work();
    } catch (...) {
        if (started) {
            try {
                db.EndImplicit(true, false);
            } catch (...) {
            }
        } else if (MarkFailed) {
            db.TransactionFailed.store(true);
        }
        throw;
    }
    if (!started) {
        if (rc != 0 && MarkFailed) db.TransactionFailed.store(true);
        return rc;
    }
    const TqbResultCode end = db.EndImplicit(true, rc == 0);
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
