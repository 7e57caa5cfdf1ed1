// Wire messages: header codec, part splitting, keep-alive and discovery datagrams, login records,
// the scrambling key and scrambler, the stream part reader and the message assembler.
#include "db/remote/qbllcomm.h"

#include "db/base/qbhash.h"
#include "db/base/qbllbase.h"
#include "db/base/qblllog.h"

#include <algorithm>
#include <cstring>

void EncodeHeader(const TqbMsgHeader& h, uint8_t out[qbMsgHeaderSize]) {
    PutU32(out + 0, h.MsgID);
    PutU32(out + 4, h.PartLength);
    PutU32(out + 8, h.TotalLength);
    PutU32(out + 12, h.ClientID);
    PutU32(out + 16, h.RequestID);
    PutU32(out + 20, uint32_t(h.ErrorCode));
    PutU32(out + 24, h.TimeOut);
    out[28] = h.FirstPart;
    out[29] = h.LastPart;
    out[30] = h.Reserved;
    out[31] = h.MsgType;
}

bool DecodeHeader(const uint8_t* data, size_t length, TqbMsgHeader& h) {
    if (!data || length < qbMsgHeaderSize) return false;
    h.MsgID = GetU32(data + 0);
    h.PartLength = GetU32(data + 4);
    h.TotalLength = GetU32(data + 8);
    h.ClientID = GetU32(data + 12);
    h.RequestID = GetU32(data + 16);
    h.ErrorCode = int32_t(GetU32(data + 20));
    h.TimeOut = GetU32(data + 24);
    h.FirstPart = data[28];
    h.LastPart = data[29];
    h.Reserved = data[30];
    h.MsgType = data[31];
    return true;
}

std::vector<std::vector<uint8_t>> SplitMessage(const TqbMsgHeader& h, const uint8_t* data, uint32_t length,
                                               uint32_t maxMsgSize) {
    const uint32_t perPart = maxMsgSize - qbMsgHeaderSize;
    std::vector<std::vector<uint8_t>> parts;
    uint32_t at = 0;
    do {
        uint32_t n = std::min(perPart, length - at);
        TqbMsgHeader p = h;
        p.PartLength = qbMsgHeaderSize + n;
        p.TotalLength = length;
        p.FirstPart = at == 0 ? 1 : 0;
        p.LastPart = at + n == length ? 1 : 0;
        p.Reserved = 0;
        std::vector<uint8_t> part(p.PartLength);
        EncodeHeader(p, part.data());
        if (n) std::memcpy(part.data() + qbMsgHeaderSize, data + at, n);
        parts.push_back(std::move(part));
        at += n;
    } while (at < length);
    return parts;
}

void PutShortString(uint8_t field[qbShortStringField], std::string_view s) {
    std::memset(field, 0, qbShortStringField);
    size_t n = std::min<size_t>(s.size(), qbShortStringField - 1);
    field[0] = uint8_t(n);
    std::memcpy(field + 1, s.data(), n);
}

bool GetShortString(const uint8_t field[qbShortStringField], std::string& s) {
    if (field[0] > qbShortStringField - 1) return false;
    s.assign(reinterpret_cast<const char*>(field + 1), field[0]);
    return true;
}

namespace {

std::vector<uint8_t> u32Bytes(uint32_t v) {
    std::vector<uint8_t> b(4);
    PutU32(b.data(), v);
    return b;
}

bool isU32(const uint8_t* data, size_t length, uint32_t v) {
    return data && length == 4 && GetU32(data) == v;
}

} // namespace

std::vector<uint8_t> KeepAliveBytes() {
    return u32Bytes(qbmKeepAlive);
}

bool IsKeepAlive(const uint8_t* data, size_t length) {
    return isU32(data, length, qbmKeepAlive);
}

std::vector<uint8_t> DiscoveryQuery() {
    return u32Bytes(qbmDiscoveryQuery);
}

bool IsDiscoveryQuery(const uint8_t* data, size_t length) {
    return isU32(data, length, qbmDiscoveryQuery);
}

std::vector<uint8_t> EncodeDiscoveryAnswer(std::string_view serverName, std::string_view localName) {
    std::vector<uint8_t> b(qbDiscoveryAnswerSize);
    PutU32(b.data(), qbmDiscoveryAnswer);
    PutShortString(b.data() + 4, serverName);
    PutShortString(b.data() + 36, localName);
    return b;
}

bool DecodeDiscoveryAnswer(const uint8_t* data, size_t length, std::string& serverName,
                           std::string& localName) {
    if (!data || length != qbDiscoveryAnswerSize || GetU32(data) != qbmDiscoveryAnswer) return false;
    std::string a, b;
    if (!GetShortString(data + 4, a) || !GetShortString(data + 36, b)) return false;
    serverName = std::move(a);
    localName = std::move(b);
    return true;
}

std::vector<uint8_t> EncodeLoginRequest(const TqbLoginRequest& r) {
    std::vector<uint8_t> b(qbLoginRequestSize);
    PutShortString(b.data(), r.UserName);
    PutShortString(b.data() + 32, r.UserName);
    PutU32(b.data() + 64, r.TimeOut);
    PutU32(b.data() + 68, r.ClientVersion);
    return b;
}

bool DecodeLoginRequest(const uint8_t* data, size_t length, TqbLoginRequest& r) {
    if (!data || length != qbLoginRequestSize) return false;
    std::string name;
    if (!GetShortString(data + 32, name)) return false;
    r.UserName = std::move(name);
    r.TimeOut = GetU32(data + 64);
    r.ClientVersion = GetU32(data + 68);
    return true;
}

std::vector<uint8_t> EncodeLoginReply(const TqbLoginReply& r) {
    std::vector<uint8_t> b(qbLoginReplySize);
    PutU32(b.data() + 0, r.ClientID);
    PutU32(b.data() + 4, r.ServerVersion);
    PutU32(b.data() + 8, r.LoginCode);
    PutU32(b.data() + 12, r.LastMsgInterval);
    PutU32(b.data() + 16, r.KeepAliveInterval);
    PutU32(b.data() + 20, r.KeepAliveRetries);
    b[24] = r.Secure ? 1 : 0;
    return b;
}

bool DecodeLoginReply(const uint8_t* data, size_t length, TqbLoginReply& r) {
    if (!data || length != qbLoginReplySize) return false;
    r.ClientID = GetU32(data + 0);
    r.ServerVersion = GetU32(data + 4);
    r.LoginCode = GetU32(data + 8);
    r.LastMsgInterval = GetU32(data + 12);
    r.KeepAliveInterval = GetU32(data + 16);
    r.KeepAliveRetries = GetU32(data + 20);
    r.Secure = data[24] != 0;
    return true;
}

uint32_t PasswordHash(std::string_view password) {
    return HashShStr(password.substr(0, qbMaxPasswordLength));
}

void TqbScrambleKey::SetKey(uint32_t seed) {
    if (seed == 0) {
        seed = TickCount();
        if (seed == 0) seed = kFallbackSeed;
    }
    seed_ = seed;
    // The increment is not 0, so no seed gives a table of zeros.
    uint64_t state = seed % kModulus;
    for (uint8_t& b : table_) {
        state = (state * kMultiplier + kIncrement) % kModulus;
        b = uint8_t(state * 256 / kModulus);
    }
}

void ScrambleMsg(uint8_t* part, size_t length, const TqbScrambleKey& key) {
    if (!part || length <= 8 || GetU32(part) == qbmLogin) return;
    const uint8_t* t = key.Table();
    // Whole rounds of the table first: plain loops the compiler turns into wide operations.
    uint8_t* p = part + 8;
    size_t n = length - 8;
    for (; n >= 256; p += 256, n -= 256)
        for (size_t j = 0; j < 256; ++j)
            p[j] ^= t[j];
    for (size_t j = 0; j < n; ++j)
        p[j] ^= t[j];
}

TqbPartReader::TqbPartReader(uint32_t maxMsgSize) : buf_(maxMsgSize) {}

size_t TqbPartReader::Append(const uint8_t* data, size_t length) {
    size_t n = std::min(length, FreeSize());
    if (n) std::memcpy(FreeSpace(), data, n);
    fill_ += n;
    return n;
}

TqbPartReader::Item TqbPartReader::Next(uint8_t** part, uint32_t* length) {
    if (bad_) return Item::Bad;
    if (front_) { // not consumed: the same part again
        *part = buf_.data();
        *length = front_;
        return Item::Part;
    }
    if (fill_ >= 4 && GetU32(buf_.data()) == qbmKeepAlive) {
        std::memmove(buf_.data(), buf_.data() + 4, fill_ - 4);
        fill_ -= 4;
        return Item::KeepAlive;
    }
    if (fill_ < 8) return Item::None;
    uint32_t len = GetU32(buf_.data() + 4);
    if (len < qbMsgHeaderSize || len > buf_.size()) {
        bad_ = true;
        badLength_ = len;
        return Item::Bad;
    }
    if (fill_ < len) return Item::None;
    front_ = len;
    *part = buf_.data();
    *length = len;
    return Item::Part;
}

void TqbPartReader::Consume() {
    if (!front_) return;
    std::memmove(buf_.data(), buf_.data() + front_, fill_ - front_);
    fill_ -= front_;
    front_ = 0;
}

bool TqbReassemblyBudget::Take(size_t messages, size_t bytes) {
    std::lock_guard lk(mu_);
    if (messages_ > maxMessages_ || bytes_ > maxBytes_ || messages > maxMessages_ - messages_ ||
        bytes > maxBytes_ - bytes_)
        return false;
    messages_ += messages;
    bytes_ += bytes;
    return true;
}

void TqbReassemblyBudget::Give(size_t messages, size_t bytes) {
    std::lock_guard lk(mu_);
    messages_ -= std::min(messages, messages_);
    bytes_ -= std::min(bytes, bytes_);
}

size_t TqbReassemblyBudget::Messages() {
    std::lock_guard lk(mu_);
    return messages_;
}

size_t TqbReassemblyBudget::Bytes() {
    std::lock_guard lk(mu_);
    return bytes_;
}

size_t TqbReassemblyBudget::MaxMessages() {
    std::lock_guard lk(mu_);
    return maxMessages_;
}

size_t TqbReassemblyBudget::MaxBytes() {
    std::lock_guard lk(mu_);
    return maxBytes_;
}

void TqbReassemblyBudget::SetLimits(size_t maxMessages, size_t maxBytes) {
    std::lock_guard lk(mu_);
    maxMessages_ = maxMessages;
    maxBytes_ = maxBytes;
}

TqbMessageAssembler::TqbMessageAssembler(uint32_t maxTotal, size_t maxPending, size_t maxPendingBytes,
                                         uint64_t expiryMs, TqbReassemblyBudget* shared)
    : maxTotal_(maxTotal), maxPending_(maxPending), maxPendingBytes_(maxPendingBytes), expiryMs_(expiryMs),
      shared_(shared) {}

TqbMessageAssembler::~TqbMessageAssembler() {
    if (shared_) shared_->Give(pending_.size(), pendingBytes_);
}

void TqbMessageAssembler::log(std::string_view fmt, const QbFormatArgs& args) {
    if (EventLog && EventLogEnabled) EventLog->WriteTextFmt(fmt, args);
}

void TqbMessageAssembler::drop(std::map<Key, Entry>::iterator it) {
    const size_t n = it->second.Msg.Data.size();
    pendingBytes_ -= n;
    if (shared_) shared_->Give(1, n);
    pending_.erase(it);
}

bool TqbMessageAssembler::takeShared(const TqbMsgHeader& h, size_t messages, size_t bytes) {
    if (!shared_ || shared_->Take(messages, bytes)) return true;
    log("Reassembly limit of all connections reached (%d messages, %d bytes): message dropped, Clnt %d, "
        "Msg %d, Req %d",
        {uint64_t(shared_->MaxMessages()), uint64_t(shared_->MaxBytes()), h.ClientID, h.MsgID, h.RequestID});
    return false;
}

TqbMessageAssembler::Result TqbMessageAssembler::AddPart(const uint8_t* part, uint32_t length, uint64_t nowMs,
                                                         TqbMessage& done) {
    TqbMsgHeader h;
    if (!DecodeHeader(part, length, h) || h.PartLength != length) return Result::Bad;
    if (h.MsgType != qbmtRequest && h.MsgType != qbmtReply) {
        // Peers may send other values: they have always been taken as requests.
        log("Bad msg type %d, Clnt %d, Msg %d", {h.MsgType, h.ClientID, h.MsgID});
        h.MsgType = qbmtRequest;
    }
    if (h.TotalLength > maxTotal_) return Result::Bad;
    const uint32_t n = length - qbMsgHeaderSize;
    const Key key{h.ClientID, h.RequestID, h.MsgID, h.MsgType};
    auto it = pending_.find(key);
    if (h.FirstPart) {
        if (it != pending_.end()) return Result::Bad; // a message started twice
        if (n > h.TotalLength) return Result::Bad;
        if (h.LastPart) {
            if (n != h.TotalLength) return Result::Bad;
            done.Header = h;
            done.Data.assign(part + qbMsgHeaderSize, part + length);
            return Result::Complete;
        }
        if (n == h.TotalLength) return Result::Bad; // all data but no last flag
        if (pending_.size() >= maxPending_ || pendingBytes_ + n > maxPendingBytes_) return Result::Bad;
        // Its later parts find nothing pending and are ignored.
        if (!takeShared(h, 1, n)) return Result::Ignored;
        Entry e{{h, {}}, nowMs};
        e.Msg.Data.assign(part + qbMsgHeaderSize, part + length);
        pendingBytes_ += n;
        pending_.emplace(key, std::move(e));
        return Result::Incomplete;
    }
    // A part of a message that never started here, was dropped or has expired.
    if (it == pending_.end()) return Result::Ignored;
    Entry& e = it->second;
    const size_t have = e.Msg.Data.size();
    const uint32_t total = e.Msg.Header.TotalLength;
    if (h.TotalLength != total || n > total - have || pendingBytes_ + n > maxPendingBytes_)
        return Result::Bad;
    const bool complete = have + n == total;
    if (complete != (h.LastPart != 0)) return Result::Bad;
    if (!takeShared(h, 0, n)) {
        drop(it);
        return Result::Ignored;
    }
    e.Msg.Data.insert(e.Msg.Data.end(), part + qbMsgHeaderSize, part + length);
    pendingBytes_ += n;
    e.LastMs = nowMs;
    if (!complete) return Result::Incomplete;
    done = std::move(e.Msg);
    done.Header.PartLength = h.PartLength;
    pendingBytes_ -= done.Data.size();
    if (shared_) shared_->Give(1, done.Data.size());
    pending_.erase(it);
    return Result::Complete;
}

size_t TqbMessageAssembler::Expire(uint64_t nowMs) {
    size_t dropped = 0;
    for (auto it = pending_.begin(); it != pending_.end();) {
        auto next = std::next(it);
        if (nowMs - it->second.LastMs >= expiryMs_) {
            drop(it);
            ++dropped;
        }
        it = next;
    }
    return dropped;
}
