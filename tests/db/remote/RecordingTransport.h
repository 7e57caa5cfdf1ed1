// A transport for remote-engine tests: it records every request (message ID, bytes, time-out) and
// answers with what its responder gives, by default the replies a well-behaved server would send.
#pragma once
#include "db/remote/qbclops.h"
#include "db/remote/qbtransport.h"
#include "db/storage/qbtbbase.h"
#include "platform/ByteCodec.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pwremote {

struct RecordedCall {
    uint32_t ClientID = 0;
    uint32_t MsgID = 0;
    uint32_t Timeout = 0;
    std::vector<uint8_t> Data;
};

struct CannedReply {
    TqbResultCode Code = 0;
    std::vector<uint8_t> Data;
    int64_t MsgID = -1;         // -1: the request's own
    bool None = false;          // no reply: Request returns Return
    TqbResultCode Return = 288; // with None
};

// The dictionary the fake server describes its tables with: two fields, a primary key on the
// first (4-byte key) and a second index on the text.
inline TqbDataDictionary ServerDictionary(uint32_t BlockSize = 4096) {
    TqbDataDictionary d(BlockSize);
    d.AddField("ID", "", qbtInt32, 0, 0, true);
    d.AddField("NAME", "", qbtShortString, 20, 0, false);
    const int32_t id = 0, name = 1;
    d.AddIndex("BYID", "", 0, 1, &id, nullptr, false, true, false);
    d.AddIndex("BYNAME", "", 0, 1, &name, nullptr, true, true, true);
    return d;
}

inline std::vector<uint8_t> DictionaryBytes(const TqbDataDictionary& d) {
    std::string s;
    d.WriteToStream(s);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Server identifiers the fake hands out, one range per kind.
inline constexpr uint32_t kServerSession = 0x5000, kServerDatabase = 0x6000, kServerCursor = 0x7000,
                          kServerStmt = 0x8000;

// Answers every request as a correct server would, with data the tests can recognise.
class FakeServer {
public:
    CannedReply operator()(const RecordedCall& c) {
        using qbops::TqbOp;
        using qbops::TqbReplyKind;
        CannedReply r;
        const qbops::TqbOpDesc* d = qbops::FindByMessage(c.MsgID);
        if (!d) {
            r.Code = 153;
            return r;
        }
        const auto u32At = [&](size_t field) {
            const qbops::TqbField& f = d->Fields[field];
            return c.Data.size() >= size_t(f.Offset) + 4 ? plat::LoadLE32(c.Data.data() + f.Offset) : 0u;
        };
        switch (d->ReplyKind) {
        case TqbReplyKind::None:
            break;
        case TqbReplyKind::Fixed:
            r.Data.assign(d->ReplySize, 0);
            if (d->ReplySize == 1) r.Data[0] = 1;
            if (d->ReplySize == 4) plat::StoreLE32(r.Data.data(), idFor(d->Op));
            if (d->Op == TqbOp::AliasGetPath) r.Data = qbops::EncodePathReply("/srv/data");
            if (d->Op == TqbOp::RebuildGetStatus) {
                TqbRebuildStatus s{};
                s.PercentDone = 40;
                r.Data = qbops::EncodeRebuildStatusReply(s, true);
            }
            if (d->ReplySize == 8) plat::StoreLE64(r.Data.data(), 0x1122334455667788ull);
            break;
        case TqbReplyKind::Sized: {
            const size_t field = d->Op == TqbOp::RecordGetForKey ? 4 : 1;
            r.Data.assign(u32At(field), 0x5A);
            break;
        }
        case TqbReplyKind::Stream:
            if (d->Op == TqbOp::TableOpen || d->Op == TqbOp::SQLExec || d->Op == TqbOp::SQLExecDirect) {
                r.Data.resize(4);
                plat::StoreLE32(r.Data.data(), kServerCursor + ++cursors_);
                auto dict = DictionaryBytes(ServerDictionary(d->Op == TqbOp::TableOpen ? 4096 : 65536));
                r.Data.insert(r.Data.end(), dict.begin(), dict.end());
                if (d->Op == TqbOp::TableOpen) {
                    const int32_t index = int32_t(u32At(3)) == 2 ? 2 : 1;
                    r.Data.resize(r.Data.size() + 4);
                    plat::StoreLE32(r.Data.data() + r.Data.size() - 4, uint32_t(index));
                }
            } else {
                r.Data = {'s', 't', 'r', 'e', 'a', 'm'};
            }
            break;
        case TqbReplyKind::Codes:
            r.Data.assign(size_t(u32At(d->Op == TqbOp::RecordDeleteBatch ? 1 : 2)) * 4, 0);
            break;
        case TqbReplyKind::Records:
            r.Data.assign(d->ReplySize * 2, 0);
            break;
        case TqbReplyKind::Batch: {
            const uint32_t n = u32At(1), len = u32At(2);
            r.Data = qbops::EncodeBatchReply(int32_t(n), 0, std::vector<uint8_t>(size_t(n) * len, 0x42));
            break;
        }
        case TqbReplyKind::Counted:
            r.Data = qbops::EncodeCountedReply(std::vector<uint8_t>(std::min<uint32_t>(u32At(3), 3), 0x33));
            break;
        }
        return r;
    }

private:
    uint32_t idFor(qbops::TqbOp Op) {
        using qbops::TqbOp;
        switch (Op) {
        case TqbOp::SessionAdd:
            return kServerSession + ++sessions_;
        case TqbOp::DatabaseOpen:
        case TqbOp::DatabaseOpenPath:
            return kServerDatabase + ++databases_;
        case TqbOp::CursorClone:
            return kServerCursor + ++cursors_;
        case TqbOp::SQLAlloc:
            return kServerStmt + ++stmts_;
        default:
            return 7;
        }
    }
    uint32_t sessions_ = 0, databases_ = 0, cursors_ = 0, stmts_ = 0;
};

class RecordingTransport : public TqbBaseTransport {
public:
    RecordingTransport() { Responder = FakeServer(); }

    std::function<CannedReply(const RecordedCall&)> Responder;
    // Runs inside Request after the call was recorded (before the reply), for tests that act there.
    std::function<void(const RecordedCall&)> DuringRequest;
    TqbResultCode ConnectResult = 0;
    uint32_t NextClientID = 0x100;

    TqbResultCode Request(uint32_t TransportID, uint32_t ClientID, uint32_t MsgID, uint32_t Timeout,
                          const uint8_t* Data, uint32_t DataLength,
                          const TqbReplyCallback& Callback) override {
        RecordedCall c{ClientID, MsgID, Timeout, std::vector<uint8_t>(Data, Data + DataLength)};
        {
            std::lock_guard lk(mu_);
            calls_.push_back(c);
        }
        if (DuringRequest) DuringRequest(c);
        CannedReply r = Responder(c);
        if (r.None) return r.Return;
        Callback(r.MsgID < 0 ? MsgID : uint32_t(r.MsgID), r.Code, r.Data.data(), uint32_t(r.Data.size()));
        return r.Code;
    }
    TqbResultCode Post(uint32_t TransportID, uint32_t ClientID, uint32_t MsgID, const uint8_t* Data,
                       uint32_t DataLength, uint32_t Timeout, uint8_t ReplyMode) override {
        std::lock_guard lk(mu_);
        posts_.push_back({ClientID, MsgID, Timeout, std::vector<uint8_t>(Data, Data + DataLength)});
        return 0;
    }
    TqbResultCode EstablishConnection(const std::string& UserName, uint32_t PasswordHash, uint32_t Timeout,
                                      uint32_t& ClientID) override {
        std::lock_guard lk(mu_);
        logins_.push_back(UserName);
        if (ConnectResult) return ConnectResult;
        ClientID = NextClientID++;
        return 0;
    }
    void TerminateConnection(uint32_t ClientID, uint32_t Timeout) override {
        std::lock_guard lk(mu_);
        terminated_.push_back(ClientID);
    }
    void GetServerNames(cls::TStringList& List, uint32_t Timeout) override {
        List.Clear();
        List.Add("srv@127.0.0.1");
    }

    std::vector<RecordedCall> Calls() {
        std::lock_guard lk(mu_);
        return calls_;
    }
    std::vector<RecordedCall> Posts() {
        std::lock_guard lk(mu_);
        return posts_;
    }
    std::vector<uint32_t> Terminated() {
        std::lock_guard lk(mu_);
        return terminated_;
    }
    std::vector<std::string> Logins() {
        std::lock_guard lk(mu_);
        return logins_;
    }
    void ClearCalls() {
        std::lock_guard lk(mu_);
        calls_.clear();
    }
    // Tells the dependents, as the real transport does, that the connection of a client went.
    void LoseConnection(uint32_t ClientID) { NotifyDependentsEx(10, intptr_t(ClientID)); }

protected:
    void EnterInitializing() override {}
    void EnterShuttingDown() override {}
    void EnterInactive() override {}
    void EnterStarting() override {}

private:
    std::mutex mu_;
    std::vector<RecordedCall> calls_, posts_;
    std::vector<uint32_t> terminated_;
    std::vector<std::string> logins_;
};

} // namespace pwremote
