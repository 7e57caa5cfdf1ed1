// Harnesses of the remote-protocol fuzz targets, shared with the unit test that replays them in CI:
// the stream part reader and message assembler over arbitrary chunks, and the record parsers.
#pragma once
#include "db/remote/qbllcomm.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace pwfuzz {

// The items a reader takes from the stream fed in pieces whose sizes come from seed; parts go on
// to an assembler. Checks every invariant a peer could break.
inline std::vector<std::string> ReadRemoteStream(const uint8_t* data, size_t size, uint32_t max,
                                                 uint32_t seed) {
    std::vector<std::string> items;
    TqbPartReader reader(max);
    TqbMessageAssembler assembler(200000, 4, 300000, 1000);
    uint64_t now = 0;
    for (size_t at = 0; at < size;) {
        seed = seed * 1103515245u + 12345u;
        size_t n = seed == 0 ? size - at : 1 + (seed >> 16) % 9000;
        if (n > size - at) n = size - at;
        const size_t took = reader.Append(data + at, n);
        at += took;
        for (int guard = 0;; ++guard) {
            if (guard > 100000) std::abort(); // a stream that never drains
            uint8_t* part = nullptr;
            uint32_t len = 0;
            auto item = reader.Next(&part, &len);
            if (item == TqbPartReader::Item::None) break;
            if (item == TqbPartReader::Item::Bad) {
                items.push_back("bad");
                return items;
            }
            if (item == TqbPartReader::Item::KeepAlive) {
                items.push_back("ka");
                continue;
            }
            if (len < qbMsgHeaderSize || len > max || GetU32(part + 4) != len) std::abort();
            TqbMessage m;
            auto r = assembler.AddPart(part, len, ++now, m);
            if (r == TqbMessageAssembler::Result::Complete &&
                (m.Data.size() != m.Header.TotalLength || m.Data.size() > 200000))
                std::abort();
            if (assembler.PendingBytes() > 300000 || assembler.Pending() > 4) std::abort();
            items.push_back("part " + std::to_string(len) + " " + std::to_string(int(r)));
            reader.Consume();
            assembler.Expire(now);
        }
        if (took == 0 && reader.FreeSize() == 0) std::abort(); // full without a whole part: impossible
    }
    return items;
}

// Input: max selector, chunk seed, then the stream. The items must not depend on the chunking.
inline void RunRemoteStream(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const uint32_t max = data[0] & 1 ? qbMaxMsgSizeSingleUser : qbMaxMsgSizeSockets;
    auto chunked = ReadRemoteStream(data + 2, size - 2, max, data[1] + 1u);
    auto whole = ReadRemoteStream(data + 2, size - 2, max, 0);
    if (chunked != whole) std::abort();
}

// Every parser of outside records on the same bytes; what one accepts must encode back to it.
inline void RunRemoteRecords(const uint8_t* data, size_t size) {
    TqbLoginReply reply;
    if (DecodeLoginReply(data, size, reply)) {
        std::vector<uint8_t> again = EncodeLoginReply(reply);
        if (size != qbLoginReplySize ||
            std::vector<uint8_t>(data, data + 24) != std::vector<uint8_t>(again.begin(), again.begin() + 24))
            std::abort();
    }
    std::string name, local;
    if (DecodeDiscoveryAnswer(data, size, name, local)) {
        if (size != qbDiscoveryAnswerSize || name.size() > 31 || local.size() > 31) std::abort();
        if (EncodeDiscoveryAnswer(name, local)[4] != data[4]) std::abort();
    }
    TqbLoginRequest request;
    if (DecodeLoginRequest(data, size, request) &&
        (size != qbLoginRequestSize || request.UserName.size() > 31))
        std::abort();
    TqbMsgHeader h;
    if (DecodeHeader(data, size, h)) {
        uint8_t out[qbMsgHeaderSize];
        EncodeHeader(h, out);
        if (std::vector<uint8_t>(out, out + 32) != std::vector<uint8_t>(data, data + 32)) std::abort();
    }
    IsKeepAlive(data, size);
    IsDiscoveryQuery(data, size);
}

} // namespace pwfuzz
