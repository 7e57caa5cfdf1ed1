// The SQL engine look-up of the in-process engine's SQL operations.
#include "db/engine/qbsqlbas.h"

#include "db/storage/qbfile.h"

TqbBaseSQLEngine& RequireSQLEngine(TqbBaseSQLEngine* SQLEngine, std::string_view ServerName) {
    if (!SQLEngine) RaiseServerError(191, {ServerName});
    return *SQLEngine;
}
