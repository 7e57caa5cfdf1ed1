// The remote engine protocol's bytes: message header, part splitting, keep-alive, discovery
// datagrams, login records, the per-connection scrambling key, and the readers that take parts out
// of a byte stream and join parts into messages. Every reader checks each length before use.
#pragma once
#include "db/base/qbllexcp.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

constexpr uint32_t qbMsgHeaderSize = 32;
constexpr uint32_t qbMaxMsgSizeSockets = 24576;    // TCP/IP and IPX/SPX
constexpr uint32_t qbMaxMsgSizeSingleUser = 65536; // single user
// No message of the protocol carries more data than this; a larger total ends the connection.
constexpr uint32_t qbMaxMsgTotalLength = 16u << 20;

// Transport-layer message IDs.
constexpr uint32_t qbmClientRemove = 2, qbmDiscoveryQuery = 6, qbmDiscoveryAnswer = 7, qbmKeyCheck = 9,
                   qbmKeepAlive = 10, qbmConnect = 13, qbmLogin = 15;
constexpr uint8_t qbmtRequest = 1, qbmtReply = 2;
constexpr uint32_t qbClientVersion = 21000;

constexpr uint32_t qbLoginRequestSize = 72, qbLoginReplySize = 25, qbDiscoveryAnswerSize = 68;
constexpr uint32_t qbShortStringField = 32; // length byte + up to 31 characters

struct TqbMsgHeader {
    uint32_t MsgID = 0;
    uint32_t PartLength = 0; // header included
    uint32_t TotalLength = 0;
    uint32_t ClientID = 0;
    uint32_t RequestID = 0;
    int32_t ErrorCode = 0;
    uint32_t TimeOut = 0;
    uint8_t FirstPart = 0;
    uint8_t LastPart = 0;
    uint8_t Reserved = 0;
    uint8_t MsgType = 0;
};

// Little-endian helpers over buffers the caller has checked.
inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void EncodeHeader(const TqbMsgHeader& h, uint8_t out[qbMsgHeaderSize]);
// False when fewer than 32 bytes are given.
bool DecodeHeader(const uint8_t* data, size_t length, TqbMsgHeader& h);

// Cuts data into parts of at most maxMsgSize bytes (header included), each with the header's IDs,
// error, time-out and type, the total length and the part flags. No data: one 32-byte part.
std::vector<std::vector<uint8_t>> SplitMessage(const TqbMsgHeader& h, const uint8_t* data, uint32_t length,
                                               uint32_t maxMsgSize);

// Short string field: length byte and up to 31 characters, zero-filled.
void PutShortString(uint8_t field[qbShortStringField], std::string_view s);
// False when the length byte is above 31.
bool GetShortString(const uint8_t field[qbShortStringField], std::string& s);

// The bare keep-alive: the 32-bit value 10, no header, never scrambled.
std::vector<uint8_t> KeepAliveBytes();
bool IsKeepAlive(const uint8_t* data, size_t length);

// Discovery datagrams.
std::vector<uint8_t> DiscoveryQuery();
bool IsDiscoveryQuery(const uint8_t* data, size_t length);
std::vector<uint8_t> EncodeDiscoveryAnswer(std::string_view serverName, std::string_view localName);
// Exactly 68 bytes, ID 7 and two valid short strings; anything else is refused.
bool DecodeDiscoveryAnswer(const uint8_t* data, size_t length, std::string& serverName,
                           std::string& localName);

struct TqbLoginRequest {
    std::string UserName;
    uint32_t TimeOut = 0;
    uint32_t ClientVersion = qbClientVersion;
};
std::vector<uint8_t> EncodeLoginRequest(const TqbLoginRequest& r);
// Exactly 72 bytes; the user name comes from the second copy.
bool DecodeLoginRequest(const uint8_t* data, size_t length, TqbLoginRequest& r);

struct TqbLoginReply {
    uint32_t ClientID = 0;
    uint32_t ServerVersion = 0;
    uint32_t LoginCode = 0;
    uint32_t LastMsgInterval = 0;
    uint32_t KeepAliveInterval = 0;
    uint32_t KeepAliveRetries = 0;
    bool Secure = false;
};
std::vector<uint8_t> EncodeLoginReply(const TqbLoginReply& r);
// Exactly 25 bytes, else refused.
bool DecodeLoginReply(const uint8_t* data, size_t length, TqbLoginReply& r);

// The key seed both sides take at login: the server sends its connection's seed as the login code,
// combined with the user's password hash when the secure flag is set; the client undoes that with the
// hash it has. A wrong hash gives a different key, so the server cannot read the client.
inline uint32_t LoginKeySeed(uint32_t codeOrSeed, uint32_t passwordHash, bool secure) {
    return secure ? codeOrSeed ^ passwordHash : codeOrSeed;
}

// A password is a short string: only its first 31 characters make the hash both sides combine with
// the login code, so a longer one typed or stored gives the same key on either side.
constexpr size_t qbMaxPasswordLength = 31;
uint32_t PasswordHash(std::string_view password);

// The per-connection key: a 256-byte table from a 32-bit seed by a fixed linear congruential
// generator. This is obfuscation of the traffic, not encryption.
class TqbScrambleKey {
public:
    static constexpr uint64_t kMultiplier = 1103515245, kIncrement = 12345, kModulus = 1ull << 31;
    static constexpr uint32_t kFallbackSeed = 0x2F6B1D35;

    TqbScrambleKey() { SetKey(kFallbackSeed); }
    // Seed 0 asks for a fresh one (the tick count, or the fallback when that is 0).
    void SetKey(uint32_t seed);
    uint32_t Seed() const { return seed_; }
    const uint8_t* Table() const { return table_; }

private:
    uint32_t seed_ = 0;
    uint8_t table_[256];
};

// Exclusive-or of bytes 8.. of a part with the table (byte 8 with table byte 0, wrapping after 255);
// message 15 and parts of 8 bytes or fewer stay as they are. Applying it twice gives the part back.
void ScrambleMsg(uint8_t* part, size_t length, const TqbScrambleKey& key);

// Takes parts and keep-alives out of one connection's byte stream. The buffer holds at most one
// part (the protocol's maximum); a part length below 32 or above the maximum makes the stream bad
// for good, and the connection must be hung up.
class TqbPartReader {
public:
    enum class Item { None, KeepAlive, Part, Bad };

    explicit TqbPartReader(uint32_t maxMsgSize);
    // Free room at the end of the buffer, for a receive straight into it.
    uint8_t* FreeSpace() { return buf_.data() + fill_; }
    size_t FreeSize() const { return buf_.size() - fill_; }
    void Commit(size_t n) { fill_ += n <= FreeSize() ? n : FreeSize(); }
    // Copies as much as fits; returns the bytes taken.
    size_t Append(const uint8_t* data, size_t length);
    // The next item. A part stays at the front of the buffer (at *part, *length bytes, writable)
    // until Consume.
    Item Next(uint8_t** part, uint32_t* length);
    void Consume();
    size_t Buffered() const { return fill_; }
    uint32_t BadLength() const { return badLength_; }

private:
    std::vector<uint8_t> buf_;
    size_t fill_ = 0;
    uint32_t front_ = 0; // length of the part handed out by Next
    bool bad_ = false;
    uint32_t badLength_ = 0;
};

struct TqbMessage {
    TqbMsgHeader Header; // of the first part, PartLength of the last
    std::vector<uint8_t> Data;
};

class TqbBaseLog;

// What messages waiting for their parts may hold across all connections of a protocol, so that
// many connections together cannot take more memory than one server should give them.
class TqbReassemblyBudget {
public:
    explicit TqbReassemblyBudget(size_t maxMessages = 1024, size_t maxBytes = size_t(256) << 20)
        : maxMessages_(maxMessages), maxBytes_(maxBytes) {}
    TqbReassemblyBudget(const TqbReassemblyBudget&) = delete;
    TqbReassemblyBudget& operator=(const TqbReassemblyBudget&) = delete;

    // False (and nothing taken) when the messages or bytes would pass the bound.
    bool Take(size_t messages, size_t bytes);
    void Give(size_t messages, size_t bytes);
    size_t Messages();
    size_t Bytes();
    size_t MaxMessages();
    size_t MaxBytes();
    // New bounds; what is held already stays until it is given back.
    void SetLimits(size_t maxMessages, size_t maxBytes);

private:
    std::mutex mu_;
    size_t maxMessages_, maxBytes_;
    size_t messages_ = 0, bytes_ = 0;
};

// Joins the parts of messages (already unscrambled) by client, request, message ID and type.
// Checks: part length as given, total within the cap, parts in order (first flag starts, last flag
// ends exactly at the total), no part beyond the missing bytes. A type other than request or reply
// is logged and taken as a request. Pending messages and their bytes are bounded for this
// connection and, through a shared budget, for all connections; a message whose next part does not
// come within the expiry is dropped.
class TqbMessageAssembler {
public:
    // Ignored: the part is dropped and the connection goes on (a later part of a message that is
    // not pending, or a message the shared budget has no room for). Bad: the peer broke the
    // framing or its own limits; the connection must be hung up.
    enum class Result { Incomplete, Complete, Ignored, Bad };

    static constexpr size_t kMaxPending = 64, kMaxPendingBytes = size_t(32) << 20;
    static constexpr uint64_t kExpiryMs = 30000;

    TqbMessageAssembler(uint32_t maxTotal = qbMaxMsgTotalLength, size_t maxPending = kMaxPending,
                        size_t maxPendingBytes = kMaxPendingBytes, uint64_t expiryMs = kExpiryMs,
                        TqbReassemblyBudget* shared = nullptr);
    ~TqbMessageAssembler();
    TqbMessageAssembler(const TqbMessageAssembler&) = delete;
    TqbMessageAssembler& operator=(const TqbMessageAssembler&) = delete;

    Result AddPart(const uint8_t* part, uint32_t length, uint64_t nowMs, TqbMessage& done);
    // Drops messages that waited longer than the expiry; returns how many.
    size_t Expire(uint64_t nowMs);
    size_t Pending() const { return pending_.size(); }
    size_t PendingBytes() const { return pendingBytes_; }

    TqbBaseLog* EventLog = nullptr;
    bool EventLogEnabled = false;

private:
    using Key = std::tuple<uint32_t, uint32_t, uint32_t, uint8_t>;
    struct Entry {
        TqbMessage Msg;
        uint64_t LastMs;
    };
    void log(std::string_view fmt, const QbFormatArgs& args);
    void drop(std::map<Key, Entry>::iterator it);
    bool takeShared(const TqbMsgHeader& h, size_t messages, size_t bytes);

    uint32_t maxTotal_;
    size_t maxPending_, maxPendingBytes_;
    uint64_t expiryMs_;
    TqbReassemblyBudget* shared_;
    std::map<Key, Entry> pending_;
    size_t pendingBytes_ = 0;
};
