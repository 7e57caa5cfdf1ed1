// Stand-in for the engine's cursor class until the index cursor lands.
#include "db/engine/qbsrcur_cursor.h"

std::shared_ptr<TqbSrBaseCursor> TqbSrCursorHost::NewCursor(TqbSrDatabase&, uint32_t) {
    return nullptr;
}
