// Where the build put the database server program the remote dataset tests start.
#include "tests/db/client/ClientTestSupport.h"

namespace clienttest {

const char* dbServerProgram() {
    return PW_DBSERVER;
}

} // namespace clienttest
