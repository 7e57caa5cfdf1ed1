// The abstract SQL engine that an in-process engine hands its SQL operations to, and the look-up
// of it that those operations make (server error 191 when the engine has none).
#pragma once
#include "db/base/qbllcomp.h"
#include "db/storage/qblleng_types.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Nine operations in a fixed order; the engine calls the first, third, fourth, sixth, seventh and
// ninth. Each answers a result code as the engine's operation of the same name does.
class TqbBaseSQLEngine : public TqbLoggableComponent {
public:
    explicit TqbBaseSQLEngine(cls::TComponent* AOwner = nullptr) : TqbLoggableComponent(AOwner) {}

    virtual TqbResultCode SQLAlloc(TqbHandle DatabaseID, uint32_t Timeout, TqbHandle& StmtID) = 0;
    virtual TqbResultCode SQLReserved2() = 0;
    virtual TqbResultCode SQLExec(TqbHandle StmtID, TqbOpenMode OpenMode, TqbHandle& CursorID,
                                  cls::TStream& Stream) = 0;
    virtual TqbResultCode SQLExecDirect(TqbHandle DatabaseID, const std::string& Query, uint32_t Timeout,
                                        TqbOpenMode OpenMode, TqbHandle& CursorID, cls::TStream& Stream) = 0;
    virtual TqbResultCode SQLReserved5() = 0;
    virtual TqbResultCode SQLFree(TqbHandle StmtID) = 0;
    virtual TqbResultCode SQLPrepare(TqbHandle StmtID, const std::string& Query, cls::TStream& Stream) = 0;
    virtual TqbResultCode SQLReserved8() = 0;
    virtual TqbResultCode SQLSetParams(TqbHandle StmtID, uint16_t ParamCount,
                                       std::span<const uint8_t> ParamDescs,
                                       std::span<const uint8_t> ParamData, cls::TStream& Stream) = 0;

    // Asked by the engine when it shuts down and in each garbage collection.
    virtual void ShutdownEngine() {}
    virtual void CollectGarbage() {}
};

// The fixed deadline of the SQL operations that set one (all but execute).
inline constexpr uint32_t kSQLDeadlineMs = 5000;

// SQLEngine, or server error 191 "Server engine [<ServerName>] is not attached to a SQL engine."
// when there is none.
TqbBaseSQLEngine& RequireSQLEngine(TqbBaseSQLEngine* SQLEngine, std::string_view ServerName);
