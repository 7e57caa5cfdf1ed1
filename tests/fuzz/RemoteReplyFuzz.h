// Harness of the remote engine's reply fuzz target, shared with the unit test that replays it: a
// reply of arbitrary bytes answers one operation, whose output buffers are watched for writes past
// their end.
#pragma once
#include "db/remote/qbclreng.h"
#include "tests/db/remote/RecordingTransport.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace pwfuzz {

// Operations whose replies carry data, in the order of the input's first byte.
inline constexpr qbops::TqbOp kReplyOps[] = {
    qbops::TqbOp::TableOpen,         qbops::TqbOp::SQLExec,
    qbops::TqbOp::SQLExecDirect,     qbops::TqbOp::RecordGetBatch,
    qbops::TqbOp::BLOBRead,          qbops::TqbOp::RecordGet,
    qbops::TqbOp::CursorGetBookmark, qbops::TqbOp::RecordExtractKey,
    qbops::TqbOp::RecordDeleteBatch, qbops::TqbOp::AliasList,
    qbops::TqbOp::TableList,         qbops::TqbOp::AliasGetPath,
    qbops::TqbOp::RebuildGetStatus,  qbops::TqbOp::GetServerStatistics,
    qbops::TqbOp::CursorClone,
};

// A buffer with a guard zone that must never change.
class Guarded {
public:
    explicit Guarded(size_t n) : n_(n), b_(n + 64, 0xCD) {}
    std::span<uint8_t> Span() { return std::span<uint8_t>(b_.data(), n_); }
    void Check() const {
        for (size_t i = n_; i < b_.size(); ++i)
            if (b_[i] != 0xCD) std::abort();
    }

private:
    size_t n_;
    std::vector<uint8_t> b_;
};

// Input: operation selector, reply error selector, then the reply's bytes. With Capture, the
// server's own reply answers instead and is kept there (for the seeds).
inline void RunRemoteReply(const uint8_t* data, size_t size, std::vector<uint8_t>* Capture = nullptr) {
    using pwremote::CannedReply;
    using pwremote::RecordedCall;
    using qbops::TqbOp;
    if (size < 2) return;
    const TqbOp op = kReplyOps[data[0] % std::size(kReplyOps)];
    const TqbResultCode code = data[1] & 1 ? 0 : TqbResultCode(data[1]);
    const std::vector<uint8_t> reply(data + 2, data + size);

    TqbOwned<pwremote::RecordingTransport> t(new pwremote::RecordingTransport);
    TqbOwned<TQBRemoteServerEngine> e(new TQBRemoteServerEngine);
    e->SetTransport(t.get());
    TqbHandle client = 0, db = 0, cursor = 0, stmt = 0;
    uint32_t hash = 0;
    if (e->ClientAdd(client, "f", "f", 10, hash) ||
        e->DatabaseOpen(client, "d", qbomReadWrite, qbsmShared, 10, db) ||
        e->TableOpen(db, "t", false, "", 1, qbomReadWrite, qbsmShared, 10, cursor, nullptr) ||
        e->SQLAlloc(db, 10, stmt))
        std::abort();
    const uint32_t msg = qbops::Describe(op).MsgID;
    const auto server = t->Responder;
    // The engine goes first: its clients log off through the responder, which uses the locals above.
    struct EngineFirst {
        TqbOwned<TQBRemoteServerEngine>& e;
        ~EngineFirst() { e.reset(); }
    } engineFirst{e};
    t->Responder = [&](const RecordedCall& c) {
        if (c.MsgID != msg) return server(c);
        if (!Capture) return CannedReply{code, reply};
        CannedReply r = server(c);
        *Capture = r.Data;
        return r;
    };

    auto rc = [&](TqbResultCode r) {
        // A refused reply is reported as such, never as success.
        if (code != 0 && r == 0) std::abort();
    };
    const auto opened = e->Registry().Lease<TQBProxyCursor>(cursor, TqbHandleKind::Cursor);
    if (!opened) std::abort();
    const int32_t rl = opened->RecordLength();
    cls::TMemoryStream s;
    TqbHandle h = 0;
    switch (op) {
    case TqbOp::TableOpen: {
        rc(e->TableOpen(db, "t", false, "", 0, qbomReadOnly, qbsmShared, 10, h, &s));
        if (h) {
            auto c = e->Registry().Lease<TQBProxyCursor>(h, TqbHandleKind::Cursor);
            if (!c || c->RecordLength() != c->Dictionary.RecordLength() || c->IndexID() < 0 ||
                c->IndexID() >= c->Dictionary.IndexCount())
                std::abort();
        }
        break;
    }
    case TqbOp::SQLExec:
        rc(e->SQLExec(stmt, qbomReadOnly, h, s));
        break;
    case TqbOp::SQLExecDirect:
        rc(e->SQLExecDirect(db, "q", 10, qbomReadOnly, h, s));
        break;
    case TqbOp::RecordGetBatch: {
        Guarded g(size_t(rl) * 3);
        int32_t n = 0, err = 0;
        rc(e->RecordGetBatch(cursor, 3, rl, g.Span(), n, err));
        if (n < 0 || n > 3) std::abort();
        g.Check();
        break;
    }
    case TqbOp::BLOBRead: {
        Guarded g(16);
        uint32_t n = 0;
        rc(e->BLOBRead(cursor, 1, 0, g.Span(), n));
        if (n > 16) std::abort();
        g.Check();
        break;
    }
    case TqbOp::RecordGet: {
        Guarded g{size_t(rl)};
        rc(e->RecordGet(cursor, qbltNone, g.Span()));
        g.Check();
        break;
    }
    case TqbOp::CursorGetBookmark: {
        Guarded g(30);
        rc(e->CursorGetBookmark(cursor, g.Span()));
        g.Check();
        break;
    }
    case TqbOp::RecordExtractKey: {
        Guarded g(4);
        rc(e->RecordExtractKey(cursor, {}, g.Span()));
        g.Check();
        break;
    }
    case TqbOp::RecordDeleteBatch: {
        std::vector<uint8_t> bm(60);
        std::vector<int32_t> errors;
        rc(e->RecordDeleteBatch(cursor, 2, 30, bm, errors));
        if (!errors.empty() && errors.size() != 2) std::abort();
        break;
    }
    case TqbOp::AliasList: {
        std::vector<TqbAliasRecord> list;
        rc(e->AliasList(list, client));
        for (const auto& a : list)
            if (a.Alias.View().size() > 31 || a.Path.View().size() > 219) std::abort();
        break;
    }
    case TqbOp::TableList: {
        std::vector<TqbTableListRecord> list;
        rc(e->TableList(db, "*", list));
        break;
    }
    case TqbOp::AliasGetPath: {
        std::string path;
        rc(e->AliasGetPath("a", client, path));
        if (path.size() > 219) std::abort();
        break;
    }
    case TqbOp::RebuildGetStatus: {
        bool present = false;
        TqbRebuildStatus st{};
        rc(e->RebuildGetStatus(1, client, present, st));
        break;
    }
    case TqbOp::GetServerStatistics: {
        TqbServerStatistics st{};
        rc(e->GetServerStatistics(st));
        break;
    }
    default:
        rc(e->CursorClone(cursor, qbomReadOnly, h));
        break;
    }
}

// Seeds: each operation answered as a correct server would.
inline std::vector<std::string> RemoteReplySeeds() {
    std::vector<std::string> seeds;
    for (size_t i = 0; i < std::size(kReplyOps); ++i) {
        const uint8_t head[2] = {uint8_t(i), 1};
        std::vector<uint8_t> reply;
        RunRemoteReply(head, 2, &reply);
        std::string seed(reinterpret_cast<const char*>(head), 2);
        seed.append(reply.begin(), reply.end());
        seeds.push_back(seed);
    }
    return seeds;
}

} // namespace pwfuzz
