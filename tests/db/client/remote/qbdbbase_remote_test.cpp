// The table dataset's tests, run unchanged against the database server program through a client
// that has no engine of its own.
#include "tests/db/client/qbdbbase_test.cpp"
