// Tests of the string tables: every given text by its number, gaps, the buffer form, and tables
// that are missing or malformed.
#include "db/base/qbllcomp.h"
#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"
#include "platform/Resources.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Golden {
    int32_t id;
    const char* text;
};

const Golden kSrMgr[] = {
    {1, "String not found: %d"},          {2, "Cannot lock resource"},
    {3, "String resource not found: %s"}, {4, "Unable to open string resource: %s"},
    {5, "Invalid HGString resource"},     {6, "Invalid string index: %d"},
};
const Golden kServerCmp[] = {
    {1280, "Quillbase: %s [no error code]"},
    {1281, "Quillbase: %s [$%x/%d]"},
    {1282, "<nil pointer>"},
    {1283, "<unnamed %s instance>"},
    {1284, "Quillbase: %s: %s [no error code]"},
    {1285, "This object must be inactive before performing this operation."},
    {1286, "This object must be started before performing this operation."},
    {1287, "The transport must be in listening mode before performing this operation."},
    {1288, "The transport must be in sending mode before performing this operation."},
    {1289, "A server name must be specified for the transport."},
    {1290, "Parameter %s must be specified for %s."},
};
const Golden kGeneral[] = {
    {114, "The cursor dictionaries are incompatible. Verify the correct field types, lengths, units, and "
          "decimal places have been specified."},
    {256, "Could not create temporary storage, size %d. Error %d/$%x [%s]"},
    {257, "Temporary storage is full, reaching %d MB in size. More space may need to be allocated."},
    {258, "Could not create map file %s, size %d, error %d/%x [%s]"},
    {259, "Could not open map file %s, size %d, error %d/%x [%s]"},
    {260, "%s: Could not create view for block %d of map file %s, error %d/%x [%s]"},
    {272, "Operating system error when copying a file [%d, %s]"},
    {273, "Operating system error when deleting a file [%d, %s]"},
    {274, "Operating system error when renaming a file [%d, %s]"},
    {288, "Timed out waiting for reply"},
    {289, "Failure occurred while calling WaitForSingleObject: %s [%d]"},
    {290, "Protocol %s may not be specified for transport."},
    {291, "Could not start %s protocol."},
    {292, "Connection to server is no longer valid."},
    {293, "Transport error occurred.  See transport log for details."},
    {294, "Timeout occurred in TqbReadWritePortal.%s"},
    {320, "Field, index or file number does not exist in the dictionary [%s, item %d]"},
    {321, "Once a dictionary has been defined for a file, another cannot be defined [%s]"},
    {322, "Attempted to assign an object that wasn't a dictionary to a dictionary object [%s]"},
    {323, "Dictionary has no field definitions, it cannot be used until at least one is defined [%s]"},
    {324, "Composite index refers to field number that does not exist [%s, field %d]"},
    {325, "Unknown field type encountered in a case statement [%d]"},
    {326, "The sum of the field lengths in the dictionary is greater than the maximum record length [%s]"},
    {327, "Attempted to write dictionary to a file with different block size [%s, old size %d, new %d]"},
    {328, "Once a table has been built, cannot modify its dictionary [%s]"},
    {329, "The data dictionary is not present in the file [%s]"},
    {330, "A BLOB file has already been defined for this dictionary [%s]"},
    {331, "Cannot remove the base file descriptor [%s, file 0]"},
    {332, "File number does not exist in dictionary [%s, file %d]"},
    {333, "Table name is invalid: can only have a-z, A-Z, 0-9, or _ characters [passed: %s]"},
    {334, "Extension is invalid: can only have a-z, A-Z, 0-9, or _ characters, must have 1, 2 or 3 chars "
          "[%s, ext %s]"},
    {335, "Extension is already present in the data dictionary [%s, ext %s]"},
    {336,
     "There can only be one data file per table, and it has already been defined for this dictionary [%s]"},
    {337, "There must be at least one field in a composite index [%s]"},
    {338, "Invalid parameter passed to routine [%s, parameter %d]"},
    {339, "The block size must be 4KB, 8KB, 16KB or 32KB only [size used: %d]"},
    {340, "The key length for an index should be between 0 and 1024 bytes [passed %d]"},
    {341, "There is a duplicate field name in the dictionary [%s, field %s]"},
    {342, "There is a duplicate index name in the dictionary [%s, index %s]"},
    {343, "Index helper [%s] is already registered."},
    {344, "Index helper [%s] is not registered."},
    {345, "Index helper [%s] does not support field type [%s]."},
    {368, "No window resources left: Communications notify window creation failed"},
    {369, "Servers cannot issue call requests, they only listen"},
    {370, "Clients cannot issue listen requests, they only call"},
    {384, "Winsock communications: Unexpected Winsock error %d/$%x [%s]"},
    {385, "Winsock communications: Winsock not found, or DLL is invalid"},
    {386, "Winsock communications: Cannot create a new socket"},
    {387, "Winsock communications: Cannot retrieve local address information"},
    {416, "Invalid server name"},
    {417, "Invalid name or path"},
    {418, "Duplicate alias name not allowed"},
    {419, "One or more values not defined"},
    {432, "Sequential Access Index"},
    {433, "Data/DataDict File"},
    {434, "\\Software\\Harrowgate\\Quillbase\\"},
};
const Golden kServer[] = {
    {0, "INTERNAL: TbtdFileInfo record contains invalid data"},
    {1, "INTERNAL: File could not be opened [%s, error %d, %s]"},
    {2, "INTERNAL: Out of memory when opening a file"},
    {3, "INTERNAL: File could not be closed [%s, error %d, %s]"},
    {4, "INTERNAL: Error when reading from file [%s, error %d, %s]"},
    {5, "INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]"},
    {6, "INTERNAL: Error when writing to file [%s, error %d, %s]"},
    {7, "INTERNAL: Could not write exact number of bytes to file [%s, %d bytes]"},
    {8, "INTERNAL: Error when seeking to position in file [%s, offset %d:%d, error %d, %s]"},
    {9, "INTERNAL: Error when flushing file [%s, error %d, %s]"},
    {10, "INTERNAL: Error when setting end-of-file [%s, error %d, %s]"},
    {32, "[%s] is not a Quillbase formatted file, or its file header is corrupt"},
    {33, "Block number is either < 0, or >= number of blocks in file [%s, block %d]"},
    {34, "[%s] is an encrypted Quillbase file and the Server cannot read it (it is not secure)"},
    {35, "Record has been deleted, cannot read/delete/update it [%s, ref %d]"},
    {36, "Number is not a valid Quillbase record reference number [%s, ref %d]"},
    {37, "Block just read from file is not a valid data block [%s, block %d]"},
    {48, "BLOB has been deleted, cannot read/delete it [%s, (%d, %d)]"},
    {49, "Number is not a valid Quillbase BLOB number [%s, (%d, %d)]"},
    {50, "Block just read from file is not a valid BLOB data block [%s, %d]"},
    {51, "Internal link to BLOB segment has been corrupted [%s, (%d, %d)]%s"},
    {52, "Truncate length is greater than length of BLOB [%s, (%d, %d), offset %d, length %d]"},
    {53, "Offset value is greater than the length of the BLOB [%s, (%d, %d), offset %d, length %d]"},
    {54, "Cannot write to a file BLOB [%s, (%d, %d)]"},
    {64, "Block just read from file is not a valid stream block [%s, block %d]"},
    {65, "An invalid stream origin has been specified"},
    {66, "Stream could not seek requested position"},
    {80, "Block just read from file is not a valid index block [%s, block %d]"},
    {81, "Index number passed to routine is out of range [%d]"},
    {82, "The maximum number of indexes have already been added [%s]"},
    {83,
     "INTERNAL: MergeChildren called with pages not half-filled, suspect corruption [%s, left %d, right %d]"},
    {84, "Key was not found in index when attempting to delete it"},
    {85, "Key was found in index when attempting to add it"},
    {86, "There are no keys in the index, cannot calculate an approximate position/key"},
    {87, "Cannot create sequential cursor (index 0) as the group has no sequential access path"},
    {88, "The approximate position must be between 0 and 100 [%s, index %d, pos %d]"},
    {112, "The server name is invalid: can only have a-z, A-Z, 0-9 characters"},
    {113, "File %s (signature %d) could not be opened because it is a Quillbase 1.0 file."},
    {115, "BLOB size exceeds maximum size. [size: %d]"},
    {144, "The client ID passed to the server is unknown"},
    {145, "Either the client ID is unknown or the session does not exist for the given client"},
    {146, "The Alias name has not been defined: it cannot be found"},
    {147, "Path [%s] does not exist"},
    {148, "The database ID does not exist"},
    {149, "Table %s does not exist within database %s"},
    {150, "The index for table %s could not be identified from the given index name (%s) or index number %d"},
    {151, "The passed cursor ID does not exist"},
    {152, "Transaction ID %d is unknown"},
    {160,
     "The database is already open: either already in exclusive mode or it is now opened in exclusive mode"},
    {161,
     "The table cannot be opened in read/write mode because the database has been opened in readonly mode"},
    {162,
     "The table is already open in a non-shared (exclusive) mode, it cannot be opened by any other session"},
    {163, "Cannot delete or modify current record or insert new record because the cursor (table %s) was "
          "opened in read-only mode"},
    {164,
     "The table has been write-locked by another workstation, no other read-locks or write-locks allowed"},
    {165, "The table has been read-locked by another workstation, no write-lock allowed"},
    {166, "The lock could not be removed: it does not exist"},
    {167, "The table is locked preventing the update operation"},
    {168, "Record is locked by another user"},
    {169, "The cursor has no current record (either it's positioned on BOF, EOF or on a crack)"},
    {170,
     "The server could not find a DLL, or a routine within a DLL [Index(%s/%s:%d) DLL(%s) Routines(%s, %s)]"},
    {171, "A table needed some user defined routines but they were not found in the server configuration"},
    {172, "SetToCursor failed because the given cursor was not for the same table"},
    {173, "There is no next record in this index; the cursor is positioned at EOF"},
    {174, "There is no prior record in this index; the cursor is positioned at BOF"},
    {175, "Table %s already exists"},
    {176, "Database [%s] is already in a transaction"},
    {177, "Alias [%s] already exists"},
    {178, "Cannot compare BLOB fields in a table"},
    {179, "Cannot copy field [%s to %s], incompatible field types"},
    {180, "No transaction has been started for the database, hence no updates can take place"},
    {182, "The bookmark is corrupt or was not created for the current index"},
    {183,
     "A transaction failed during commit, probably due to running out of disk space, or other disk problem"},
    {184, "This table has grown to its maximum size: pack the table or remove unneeded data"},
    {185, "Invalid statement handle"},
    {186, "A lock request (type %s, %s) resulted in a deadlock.  Transaction %d was chosen as the victim."},
    {187, "A lock request (type %s, %s, file %s) timed out."},
    {188, "A lock request (type %s, %s, file %s) was rejected."},
    {189, "A lock request (type %s, %s) timed out."},
    {190, "The operation could not be completed within the allotted time."},
    {191, "Server engine [%s] is not attached to a SQL engine."},
    {192, "Indexes are not supported by this table [table %s, class %s]."},
    {193, "'%s' is not a valid table name, most likely because it contains a file extension. Be sure to omit "
          "the file extension."},
    {194, "Ranges are not supported by this table [table %s, class %s]."},
    {195, "Table %s is already open."},
    {196, "The cursors may not reference the same table for this operation."},
    {197, "Sort failure in method %s"},
    {198, "BLOB or ByteArray fields not allowed with DISTINCT key word: %s."},
};
const Golden kCompat[] = {
    {8449, "Cannot open a system file."},
    {8705, "At beginning of table."},
    {8706, "At end of table."},
    {8708, "Record/Key deleted."},
    {8709, "No current record."},
    {8710, "Could not find record."},
    {9487, "Too many indexes on table."},
    {9500, "Row fetch limit exceeded."},
    {9729, "Key violation."},
    {9732, "Field value required."},
    {9985, "Number is out of range."},
    {9990, "Invalid handle to the function."},
    {9997, "Index does not exist."},
    {10000, "Invalid field type."},
    {10002, "Invalid field transformation."},
    {10009, "Name not unique in this context."},
    {10014, "Unknown database."},
    {10018, "The alias references a directory that does not exist."},
    {10019, "Translate Error. Value out of bounds."},
    {10020, "Cannot set cursor of one table to another."},
    {10021, "Bookmarks do not match table."},
    {10023, "Invalid index descriptor."},
    {10024, "Table does not exist."},
    {10027, "Index already exists."},
    {10035, "Index is being used to order table."},
    {10036, "Unknown user name or password."},
    {10039, "Invalid table name."},
    {10048, "Invalid index type"},
    {10050, "Filter handle is invalid"},
    {10054, "Invalid index create request"},
    {10241, "Record locked by another user."},
    {10243, "Table is busy."},
    {10245, "File is locked."},
    {10253, "Table cannot be opened for exclusive use."},
    {10257, "No user transaction is currently in progress."},
    {10756, "Operation not applicable."},
    {10760, "Message ID of reply does not match expected message ID."},
    {10763, "Table is read only."},
    {10764, "No associated index."},
    {11278, "Cannot locate or connect to network server."},
    {12289, "Capability not supported."},
    {13058, "BLOB has been modified."},
    {13059, "General SQL error."},
    {15360, "QB SERVER ERROR: TqbFileInfo record contains invalid data"},
    {15444, "QB SERVER ERROR: The server-side filter timed out."},
    {15445, "Timed out waiting for reply."},
    {15448, "QB SERVER ERROR: No AddClient handler specified for the remote transport."},
    {15456, "A deadlock was detected.  This transaction was chosen as the victim."},
    {15457, "The server operation timed out.  This typically occurs if a lock could not be obtained on a "
            "table or file block."},
    {15458, "A lock request was rejected by the database's lock manager."},
    {15459, "The server is not started and cannot process requests."},
    {15504, "Unknown client or client may be in process of being removed."},
    {15505, "Unknown session or session may be in process of closing."},
    {15508, "Unknown database or database may be in process of closing."},
    {15511, "Unknown cursor or cursor may be in process of closing."},
    {15520, "QB SERVER ERROR: Unknown (server exception object has unknown error code)"},
    {15521, "QB SERVER ERROR: Unknown (unexpected exception object raised)"},
    {15522, "QB SERVER ERROR: Message is unrecognized."},
    {15570, "Ranges not supported by this cursor class."},
};

template <size_t N> void expectTable(TqbStringResource& r, const Golden (&g)[N], bool complete) {
    for (const Golden& e : g)
        EXPECT_EQ(r.GetText(e.id), e.text) << r.ResourceName() << " " << e.id;
    auto res = plat::FindResource(r.ResourceName());
    ASSERT_TRUE(res);
    plat::StringTable t(res->data, res->size);
    if (complete)
        EXPECT_EQ(t.Count(), N) << r.ResourceName();
    else
        EXPECT_GE(t.Count(), N) << r.ResourceName();
}

std::string readerError(const std::function<void()>& f) {
    return dbtest::raised<EqbStringResourceError>(f).message;
}

// Registers a hand-made table under a name (the bytes must outlive the test).
void registerBytes(const char* name, const std::vector<unsigned char>& bytes) {
    static std::vector<std::vector<unsigned char>> keep;
    keep.push_back(bytes);
    plat::RegisterResource(name, keep.back().data(), keep.back().size());
}

void put32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = static_cast<unsigned char>(v >> (8 * i));
}

} // namespace

TEST(StringTables, EveryGivenTextByItsNumber) {
    expectTable(SrMgrStrings(), kSrMgr, true);
    expectTable(ServerCmpStrings(), kServerCmp, true);
    expectTable(GeneralStrings(), kGeneral, true);
    TqbStringResource server("QB_SERVER_STRINGS");
    expectTable(server, kServer, true);
    expectTable(CompatErrorStrings(), kCompat, false);
}

TEST(StringTables, GapsAndRaiseIfMissing) {
    TqbStringResource server("QB_SERVER_STRINGS");
    EXPECT_EQ(server.GetText(11), ""); // between 10 and 32
    EXPECT_EQ(server.GetText(-1), "");
    EXPECT_EQ(CompatErrorStrings().GetText(8450), "");
    server.SetRaiseIfMissing(true);
    EXPECT_EQ(readerError([&] { server.GetText(11); }), "String not found: 11");
    EXPECT_EQ(server.GetText(10), "INTERNAL: Error when setting end-of-file [%s, error %d, %s]");
    char buf[8] = "xxxxxxx";
    EXPECT_STREQ(server.GetTextBuf(11, buf, sizeof buf), ""); // the buffer form never raises
}

TEST(StringTables, BufferFormCutsBetweenCharacters) {
    TqbStringResource& r = SrMgrStrings();
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(r.GetTextBuf(2, buf, 0), buf);
    EXPECT_EQ(buf[0], 'x'); // size 0: nothing written
    EXPECT_STREQ(r.GetTextBuf(2, buf, 1), "");
    EXPECT_STREQ(r.GetTextBuf(2, buf, 10), "Cannot lo");
    EXPECT_EQ(buf[10], 'x');
    EXPECT_STREQ(r.GetTextBuf(2, buf, 32), "Cannot lock resource");
    EXPECT_STREQ(r.GetTextBuf(99, buf, 32), "");

    // A character outside the basic plane is never cut in half.
    registerBytes("PW_TEST_WIDE", plat::BuildStringTable({{1, u"ab\U0001F600c"}, {2, u"\u00E9t\u00E9"}}));
    TqbStringResource wide("PW_TEST_WIDE");
    EXPECT_STREQ(wide.GetTextBuf(1, buf, 3), "ab");
    EXPECT_STREQ(wide.GetTextBuf(1, buf, 4), "ab?"); // the pair is one character
    EXPECT_STREQ(wide.GetTextBuf(1, buf, 5), "ab?c");
    EXPECT_EQ(wide.GetText(2), "\xE9t\xE9"); // Windows-1252
}

TEST(StringTables, MissingAndMalformedTablesAreRefused) {
    EXPECT_EQ(readerError([] { TqbStringResource r("PW_NO_SUCH_TABLE"); }),
              "String resource not found: PW_NO_SUCH_TABLE");

    auto good = plat::BuildStringTable({{1, u"one"}, {5, u"five"}, {9, u"nine"}});
    auto badSig = good;
    badSig[3] = '1';
    auto badCount = good;
    put32(badCount, 4, 0x10000000);
    auto badOffset = good;
    put32(badOffset, 8 + 12 + 4, uint32_t(good.size() - 2)); // second text runs off the end
    auto badLength = good;
    put32(badLength, 8 + 8, 0xFFFFFFFF);
    auto unsorted = good;
    put32(unsorted, 8 + 12, 0); // ids 1, 0, 9
    const std::pair<const char*, std::vector<unsigned char>> bad[] = {
        {"PW_BAD_SIG", badSig},       {"PW_BAD_COUNT", badCount}, {"PW_BAD_OFFSET", badOffset},
        {"PW_BAD_LENGTH", badLength}, {"PW_UNSORTED", unsorted},  {"PW_TINY", {'S', 'T', 'R'}}};
    for (const auto& [n, bytes] : bad) {
        registerBytes(n, bytes);
        EXPECT_EQ(readerError([name = n] { TqbStringResource r(name); }), "Invalid HGString resource") << n;
    }

    registerBytes("PW_GOOD", good);
    TqbStringResource r("pw_good"); // names match without regard to case
    EXPECT_EQ(r.GetText(5), "five");
    EXPECT_EQ(r.GetText(4), "");
    r.ChangeResource("");
    EXPECT_FALSE(r.IsOpen());
    EXPECT_EQ(r.GetText(5), "");
    r.ChangeResource("QBSRMGR_STRINGS");
    EXPECT_EQ(r.GetText(5), "Invalid HGString resource");

    registerBytes("PW_SINGLE", plat::BuildStringTable({{7, u"only"}}));
    TqbStringResource single("PW_SINGLE");
    EXPECT_EQ(single.GetText(7), "only");
    for (int32_t id : {0, 6, 8, 1000})
        EXPECT_EQ(single.GetText(id), "");
    registerBytes("PW_EMPTY", plat::BuildStringTable({}));
    TqbStringResource empty("PW_EMPTY");
    EXPECT_EQ(empty.GetText(0), "");
}

TEST(StringTables, SharedReaderServesManyThreads) {
    std::vector<std::thread> ts;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                const Golden& g = kGeneral[size_t(i) % (sizeof kGeneral / sizeof kGeneral[0])];
                if (GeneralStrings().GetText(g.id) != g.text) ++wrong;
            }
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
