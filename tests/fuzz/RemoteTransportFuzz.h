// Harness of the transport receive fuzz target, shared with the unit test that replays its corpus:
// arbitrary parts into a server transport's receive path and a client transport's reply assembly.
#pragma once
#include "db/remote/qblegacy.h"

#include <cstdlib>

namespace pwfuzz {

// Checks every message the server transport hands on.
class CheckingHandler : public TqbBaseCommandHandler {
public:
    void Process(TqbMessagePtr msg) override {
        if (msg->DataLength < 0 || size_t(msg->DataLength) != msg->Data.size() ||
            msg->Data.size() > MaxLength)
            std::abort();
        ++Messages;
        TqbBaseCommandHandler::Process(std::move(msg));
    }
    uint32_t MaxLength = 0;
    int Messages = 0;
};

// Input: records of a flags byte, a 16-bit length and that many bytes (cut at the end of the
// input). Flags: bit 0 the connection (1 or 2), bit 1 writes the connection's client ID into the
// header, bit 2 writes the part's own length into it, bit 3 sends it to the client transport, bit 4
// writes the ID of waiting request (bits 5-6) into it.
struct TransportFuzzOutcome {
    int Requests = 0; // handed to the server's command handler
    int Replies = 0;  // completed waiting requests of the client
};

inline TransportFuzzOutcome RunRemoteTransport(const uint8_t* data, size_t size) {
    static constexpr uint32_t kMax = 70000;
    CheckingHandler handler;
    handler.MaxLength = kMax;
    TqbOwned<TqbLegacyTransport> server(new TqbLegacyTransport), client(new TqbLegacyTransport);
    server->SetProtocol(ptTCPIP);
    server->SetMode(qbtmListen);
    server->SetCommandHandler(&handler);
    server->MaxMessageLength = kMax;
    server->OnAddClient = [](TqbBaseTransport*, const std::string&, uint32_t, uint32_t, uint32_t&, uint32_t&,
                             TqbResultCode&, bool&, uint32_t&) {};
    client->SetProtocol(ptTCPIP);
    client->SetServerName("fuzz");
    client->MaxMessageLength = kMax;
    server->SetState(qbsInitializing); // the protocol is made; no thread, no sockets
    client->SetState(qbsInitializing);
    TqbBaseCommsProtocol* sp = server->CommsProtocol();
    TqbBaseCommsProtocol* cp = client->CommsProtocol();
    sp->OnAddClient(sp, 1);
    sp->OnAddClient(sp, 2);
    // Requests of both connections waiting for their replies.
    std::vector<TqbRequestPtr> waiting;
    for (uint32_t i = 0; i < 4; ++i) {
        waiting.push_back(client->NewRequest(1 + (i & 1), qbrmReq, 1000, nullptr, 0, 1280 + i));
        client->BeginSend(waiting.back());
    }
    std::vector<uint8_t> part;
    for (size_t at = 0; at + 3 <= size;) {
        const uint8_t flags = data[at];
        size_t n = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
        at += 3;
        n = std::min(n, size - at);
        part.assign(data + at, data + at + n);
        at += n;
        const uint32_t conn = 1 + (flags & 1);
        if (flags & 2 && n >= 16) PutU32(part.data() + 12, conn);
        if (flags & 4 && n >= 8) PutU32(part.data() + 4, uint32_t(n));
        if (flags & 16 && n >= 20) PutU32(part.data() + 16, waiting[(flags >> 5) & 3]->ID());
        TqbBaseCommsProtocol* p = flags & 8 ? cp : sp;
        p->OnReceiveMsg(p, conn, uint32_t(n), part.data());
        if (server->PartialMessageCount() > 2 * TqbMessageAssembler::kMaxPending) std::abort();
        if (client->PartialMessageCount() > 2 * TqbMessageAssembler::kMaxPending) std::abort();
    }
    TransportFuzzOutcome out;
    out.Requests = handler.Messages;
    for (auto& r : waiting) { // a finished request has its whole reply, and no more
        if (!r->ReplyComplete()) continue;
        if (r->ReplyData().size() != size_t(r->ReplyLength())) std::abort();
        ++out.Replies;
    }
    return out;
}

} // namespace pwfuzz
