// Types that the engine interface exchanges: result codes and handles, open, share and lock-type
// values, and the fixed records that operations fill (as they are stored and sent).
#pragma once
#include "classlib/Classes.h"
#include "classlib/SysUtils.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TqbDataDictionary; // a table's data dictionary (field, index and file descriptors)

// 0 = success; otherwise a compatibility code of the result-code table.
using TqbResultCode = int32_t;

// Handles of clients, sessions, databases, cursors, SQL statements and rebuild jobs: 32-bit values
// from a handle registry. 0 names nothing.
using TqbHandle = uint32_t;
// A rebuild identifier before the job has one (-1 as a signed value).
inline constexpr TqbHandle kNoRebuildID = 0xFFFFFFFFu;

// Result codes the interface itself names.
inline constexpr TqbResultCode kResultServerNotStarted = 15459;
inline constexpr TqbResultCode kResultUnknownClient = 15504;
inline constexpr TqbResultCode kResultUnknownSession = 15505;
inline constexpr TqbResultCode kResultUnknownDatabase = 15508;
inline constexpr TqbResultCode kResultUnknownCursor = 15511;
inline constexpr TqbResultCode kResultInvalidHandle = 9990;

// Open mode byte.
enum TqbOpenMode : uint8_t { qbomReadOnly = 0, qbomReadWrite = 1 };
// Share mode byte.
enum TqbShareMode : uint8_t { qbsmExclusive = 0, qbsmShared = 1 };
// Lock type of reads, inserts and lock queries (client's byte): 2 locks a record exclusively; for
// table locks 1 maps to Intent Shared and 2 to Exclusive.
enum TqbLockType : uint8_t { qbltNone = 0, qbltRead = 1, qbltWrite = 2 };
// Key search action: 0 the key itself (a missing key is an error), 2 the first key after it, 3 the
// first key at or after it; other values are the cursor's.
using TqbSearchAction = uint8_t;

// ---------------------------------------------------------------------------------------------
// Fixed records. Short strings are a length byte and at most N characters; a length byte above N
// (from a file or a peer) is read as N.

template <size_t N> struct TqbShortStr {
    uint8_t Len = 0;
    char Chars[N] = {};

    std::string_view View() const { return std::string_view(Chars, std::min<size_t>(Len, N)); }
    std::string Str() const { return std::string(View()); }
    // Longer text is cut to N characters.
    void Set(std::string_view s) {
        size_t n = std::min(s.size(), N);
        std::memcpy(Chars, s.data(), n);
        std::memset(Chars + n, 0, N - n);
        Len = uint8_t(n);
    }
};

#pragma pack(push, 1)

// One alias: name and folder path.
struct TqbAliasRecord {
    TqbShortStr<31> Alias;
    TqbShortStr<219> Path;
};

// One table file of a database folder.
struct TqbTableListRecord {
    TqbShortStr<31> TableName; // without extension
    TqbShortStr<3> Extension;
    uint32_t SizeLow;
    uint32_t SizeHigh;
    uint32_t DateTime; // DOS date and time of the last write
};

// Progress of a rebuild job (reindex, pack, restructure, background record count).
struct TqbRebuildStatus {
    uint32_t StartTick;    // tick count when the job was registered
    uint32_t SnapshotTick; // tick count of the last update
    int32_t TotalRecords;
    int32_t RecordsRead;
    int32_t RecordsWritten; // for a record count: records that passed the filter
    int32_t PercentDone;
    int32_t ErrorCode; // 0 while running or after success
    uint8_t Finished;  // Boolean
};

struct TqbServerStatistics {
    TqbShortStr<31> ServerName;
    int32_t Version; // 21000
    TqbShortStr<255> StateText;
    int32_t ClientCount;
    int32_t SessionCount;
    int32_t DatabaseCount;
    int32_t TableCount; // open tables
    int32_t CursorCount;
    uint32_t RAMUsed;
    uint32_t MaxRAM;
    uint32_t UpTimeSeconds;
    int32_t CommandHandlerCount;
};

struct TqbTransportStatistics {
    TqbShortStr<31> Name;
    TqbShortStr<255> StateText;
    TqbShortStr<63> ServerName;
    int32_t ConnectionCount; // 0 without a protocol
    int32_t MsgCount;
    double MsgsPerSecond;
};

// UTC date and time as the platform reports it.
struct TqbSystemTime {
    uint16_t Year;
    uint16_t Month;
    uint16_t DayOfWeek;
    uint16_t Day;
    uint16_t Hour;
    uint16_t Minute;
    uint16_t Second;
    uint16_t Milliseconds;
};

struct TqbGUID {
    uint32_t D1;
    uint16_t D2;
    uint16_t D3;
    uint8_t D4[8];
};

#pragma pack(pop)

static_assert(sizeof(TqbAliasRecord) == 252);
static_assert(sizeof(TqbTableListRecord) == 48);
static_assert(sizeof(TqbRebuildStatus) == 29);
static_assert(sizeof(TqbServerStatistics) == 328);
static_assert(sizeof(TqbTransportStatistics) == 368);
static_assert(sizeof(TqbSystemTime) == 16);
static_assert(sizeof(TqbGUID) == 16);

// An index to add to a table: composite (key fields) or user-defined (KeyFieldCount -1, the key
// built by a key routine).
struct TqbIndexDescriptor {
    std::string Name;        // at most 31 characters
    std::string Description; // at most 63
    int32_t FileNumber = 0;
    int32_t KeyLength = 0;
    int32_t KeyFieldCount = 0;
    std::array<int32_t, 16> KeyFields{};
    std::array<std::string, 16> HelperNames; // at most 31 characters each
    bool AllowDups = false;
    bool IsAscending = true;
    bool IsCaseInsensitive = false;
};
