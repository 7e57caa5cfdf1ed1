// Harness of the server request decoder's fuzz target: each input is a sequence of requests as a
// remote peer sends them (operation row, handle choice, length, bytes), decoded and run against
// one in-process engine over a temporary folder. Each input runs with a client of its own, logged
// in and given a session, the folder and a contacts cursor through the decoder itself.
#pragma once
#include "db/remote/qbsrdisp.h"
#include "tests/fuzz/EngineApiFuzz.h"

#include <algorithm>
#include <string_view>

namespace pwfuzz {

inline void RunRemoteRequests(const uint8_t* Data, size_t Size) {
    EngineWorld& w = World();
    TqbServerDispatcher disp(*w.engine);
    uint32_t hash = 0;
    TqbHandle client = 0;
    if (disp.AddClient("fuzz", "", 200, hash, client) != 0) return;
    auto send = [&](qbops::TqbOp op, const std::vector<uint8_t>& req) {
        return disp.Dispatch(client, qbops::Describe(op).MsgID, req);
    };
    auto u32 = [](const TqbDispatchResult& r) {
        return r.ErrorCode == 0 && r.Reply.size() >= 4 ? plat::LoadLE32(r.Reply.data()) : 0u;
    };
    std::vector<uint8_t> req;
    qbops::TqbRequestWriter(qbops::TqbOp::SessionAdd).U32(200).Finish(req);
    const TqbHandle session = u32(send(qbops::TqbOp::SessionAdd, req));
    qbops::TqbRequestWriter(qbops::TqbOp::DatabaseOpenPath).Str(w.dir).U8(1).U8(1).U32(200).Finish(req);
    const TqbHandle db = u32(send(qbops::TqbOp::DatabaseOpenPath, req));
    qbops::TqbRequestWriter(qbops::TqbOp::TableOpen)
        .U32(db)
        .Str("contacts")
        .Str("nameIndex")
        .I32(0)
        .U8(1)
        .U8(1)
        .U32(200)
        .Finish(req);
    TqbHandle cursor = u32(send(qbops::TqbOp::TableOpen, req));
    if (!cursor) {
        // An earlier input deleted or renamed the table.
        std::vector<uint8_t> build;
        qbops::EncodeTableBuild(db, true, "contacts", w.dict, build);
        send(qbops::TqbOp::TableBuild, build);
        cursor = u32(send(qbops::TqbOp::TableOpen, req));
    }
    const TqbHandle handles[] = {cursor, db, session, client};
    const auto table = qbops::OperationTable();
    InputReader in(Data, Size);
    while (!in.AtEnd()) {
        const qbops::TqbOpDesc& d = table[in.Byte() % table.size()];
        const uint8_t choice = in.Byte();
        size_t length = in.Byte();
        length |= size_t(in.Byte()) << 8;
        std::vector<uint8_t> bytes = in.Bytes(length);
        // Half the requests name the run's own handles, so they get past the ownership check.
        if (choice & 1 && bytes.size() >= 4) plat::StoreLE32(bytes.data(), handles[(choice >> 1) % 4]);
        // Time-outs stay short, so that a lock wait the input sets up ends soon.
        for (const qbops::TqbField& f : d.Fields)
            if (std::string_view(f.Name) == "timeout" && bytes.size() >= size_t(f.Offset) + 4)
                plat::StoreLE32(bytes.data() + f.Offset,
                                std::min<uint32_t>(plat::LoadLE32(bytes.data() + f.Offset), 200));
        disp.Dispatch(client, d.MsgID, bytes);
    }
    disp.RemoveClient(client);
}

} // namespace pwfuzz
