// Harness of the received-message queue's fuzz target, shared with the unit test that replays its
// corpus: arbitrary first and later parts, pops with container unpacking, purges and expiry.
#pragma once
#include "db/remote/qbmsgq.h"
#include "platform/Sync.h"

#include <algorithm>

#include <cstdlib>

namespace pwfuzz {

// Reads little-endian values off the input; past its end everything reads as 0.
struct FuzzInput {
    const uint8_t* p;
    size_t n;
    size_t at = 0;
    uint32_t u8() { return at < n ? p[at++] : 0; }
    uint32_t u16() { return u8() | u8() << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    // Up to want bytes of the input itself (fewer at its end).
    const uint8_t* bytes(uint32_t want, uint32_t& got) {
        got = uint32_t(std::min<size_t>(want, n - at));
        const uint8_t* r = p + at;
        at += got;
        return r;
    }
};

// Every record handed out must hold exactly its data length; a container is either unpacked into
// records whose lengths add up to it or refused whole.
inline void CheckRecord(const TqbMessageRecord& r) {
    if (r.DataLength < 0 || size_t(r.DataLength) != r.Data.size()) std::abort();
}

inline void RunRemoteMsgq(const uint8_t* data, size_t size) {
    // The whole input as one container first.
    TqbMessageRecord container;
    container.MsgID = qbmPacked;
    container.Data.assign(data, data + size);
    container.DataLength = int32_t(size);
    std::vector<TqbMessagePtr> out;
    if (UnpackMessages(container, out)) {
        size_t sum = 0;
        for (auto& r : out) {
            CheckRecord(*r);
            sum += qbPackedHeadSize + r->Data.size();
        }
        if (sum != size) std::abort();
    } else if (!out.empty()) {
        std::abort();
    }

    TqbDataMessageQueue q(1 << 16, 8);
    FuzzInput in{data, size};
    uint64_t now = plat::GetTickCount64();
    for (int ops = 0; in.at < in.n && ops < 2000; ++ops) {
        const uint32_t op = in.u8();
        const uint32_t msg = in.u8() % 4 == 0 ? qbmPacked : in.u8() % 5;
        const uint32_t client = in.u8() % 3, request = in.u8() % 3;
        QueueWriteGuard g(q);
        try {
            switch (op % 6) {
            case 0:
            case 1: {
                const uint32_t total = op & 0x80 ? in.u32() : in.u16();
                uint32_t got = 0;
                const uint8_t* part = in.bytes(in.u16() % 600, got);
                if (TqbMessageRecord* r = q.AddMessage(msg, client, total, got, part, 0, 100, request))
                    CheckRecord(*r);
                break;
            }
            case 2: {
                uint32_t got = 0;
                const uint8_t* part = in.bytes(in.u16() % 600, got);
                if (TqbMessageRecord* r = q.AppendPart(msg, client, got, part, request)) CheckRecord(*r);
                break;
            }
            case 3:
                if (TqbMessagePtr r = q.Pop()) {
                    CheckRecord(*r);
                    if (r->MsgID == qbmPacked) std::abort(); // containers never leave the queue
                }
                break;
            case 4:
                q.PurgeClient(client);
                q.DropHead();
                break;
            default:
                now += in.u16() * 16;
                q.Expire(now, 1000);
            }
        } catch (const EqbCommsException&) {
            // refused input: the caller hangs the sender up
        }
        if (q.PartialCount() > 8 || q.Count() < 0) std::abort();
    }
    QueueWriteGuard g(q);
    while (TqbMessagePtr r = q.Pop())
        CheckRecord(*r);
}

} // namespace pwfuzz
