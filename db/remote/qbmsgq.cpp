// The owned collection pair, message packing, and the received-message queue.
#include "db/remote/qbmsgq.h"

#include "db/base/qbsrmgr.h"
#include "db/remote/qbllwsck.h"
#include "platform/Sync.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int32_t kDuplicateItem = 1010;
constexpr int32_t kTransportError = 293;

[[noreturn]] void refuse() {
    RaiseResourceError<EqbCommsException>(GeneralStrings(), kTransportError);
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Collection

TqbCollection::~TqbCollection() {
    destroying_ = true;
    while (!items_.empty()) {
        TqbCollectionItem* item = items_.back();
        items_.pop_back();
        item->collection_ = nullptr;
        delete item;
    }
}

int TqbCollection::IndexOf(const TqbCollectionItem* Item) const {
    auto it = std::find(items_.begin(), items_.end(), Item);
    return it == items_.end() ? -1 : int(it - items_.begin());
}

bool TqbCollection::Insert(TqbCollectionItem* Item) {
    if (!Item || IndexOf(Item) >= 0) return false;
    items_.push_back(Item);
    return true;
}

TqbCollectionItem* TqbCollection::Items(int Index) const {
    return Index >= 0 && Index < Count() ? items_[size_t(Index)] : nullptr;
}

void TqbCollection::remove(TqbCollectionItem* Item) {
    if (destroying_) return;
    auto it = std::find(items_.begin(), items_.end(), Item);
    if (it != items_.end()) items_.erase(it);
}

TqbCollectionItem::TqbCollectionItem(TqbCollection* Collection, uint32_t Value)
    : collection_(Collection), value_(Value) {
    if (collection_ && !collection_->Insert(this))
        RaiseResourceError<EqbClientException>(ClientStrings(), kDuplicateItem);
}

TqbCollectionItem::~TqbCollectionItem() {
    if (collection_) collection_->remove(this);
}

// ---------------------------------------------------------------------------------------------
// Packed messages

void AppendPackedMessage(std::vector<uint8_t>& Container, uint32_t MsgID, uint16_t ErrorCode, bool IsStream,
                         const uint8_t* Data, uint32_t Length) {
    size_t at = Container.size();
    Container.resize(at + qbPackedHeadSize + Length);
    uint8_t* p = Container.data() + at;
    PutU32(p, MsgID);
    PutU32(p + 4, qbPackedHeadSize + Length);
    p[8] = uint8_t(ErrorCode);
    p[9] = uint8_t(ErrorCode >> 8);
    p[10] = IsStream ? 1 : 0;
    p[11] = 0;
    if (Length) std::memcpy(p + qbPackedHeadSize, Data, Length);
}

bool UnpackMessages(const TqbMessageRecord& Container, std::vector<TqbMessagePtr>& Out) {
    Out.clear();
    const uint8_t* data = Container.Data.data();
    // The data length field and the buffer must agree; trust the smaller.
    size_t size = std::min(Container.Data.size(), size_t(std::max(Container.DataLength, 0)));
    size_t at = 0;
    std::vector<TqbMessagePtr> found;
    while (at < size) {
        if (size - at < qbPackedHeadSize) return false;
        const uint8_t* p = data + at;
        uint32_t len = GetU32(p + 4);
        if (len < qbPackedHeadSize || len > size - at) return false;
        auto rec = std::make_unique<TqbMessageRecord>();
        rec->MsgID = GetU32(p);
        rec->ClientID = Container.ClientID;
        rec->RequestID = Container.RequestID;
        rec->ArrivalTick = Container.ArrivalTick;
        rec->ExpiryTick = Container.ExpiryTick;
        rec->ErrorCode = TqbResultCode(uint16_t(p[8] | p[9] << 8));
        rec->IsStream = p[10] != 0;
        rec->DataLength = int32_t(len - qbPackedHeadSize);
        rec->Data.assign(p + qbPackedHeadSize, p + len);
        found.push_back(std::move(rec));
        at += len;
    }
    Out = std::move(found);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Queue

TqbDataMessageQueue::TqbDataMessageQueue(uint32_t MaxTotalLength, size_t MaxPartial)
    : maxTotal_(MaxTotalLength), maxPartial_(MaxPartial) {}

TqbDataMessageQueue::~TqbDataMessageQueue() = default;

TqbMessageRecord* TqbDataMessageQueue::AddMessage(uint32_t MsgID, uint32_t ClientID, uint32_t TotalLength,
                                                  uint32_t PartLength, const uint8_t* Data,
                                                  TqbResultCode ErrorCode, uint32_t Timeout,
                                                  uint32_t RequestID) {
    // A part longer than the message it claims to start would be written past the buffer.
    if (PartLength > TotalLength || TotalLength > maxTotal_ || (PartLength && !Data)) refuse();
    auto rec = std::make_unique<TqbMessageRecord>();
    rec->MsgID = MsgID;
    rec->ClientID = ClientID;
    rec->RequestID = RequestID;
    rec->ArrivalTick = plat::GetTickCount();
    rec->ExpiryTick = rec->ArrivalTick + Timeout;
    rec->ErrorCode = ErrorCode;
    rec->DataLength = int32_t(TotalLength);
    // Drop a partial message of the same IDs: its sender started over.
    partial_.remove_if([&](const Partial& p) {
        return p.Rec->MsgID == MsgID && p.Rec->ClientID == ClientID && p.Rec->RequestID == RequestID;
    });
    if (PartLength == TotalLength) {
        if (TotalLength) rec->Data.assign(Data, Data + TotalLength);
        complete_.push_back(std::move(rec));
        return complete_.back().get();
    }
    if (partial_.size() >= maxPartial_) refuse();
    rec->Data.resize(TotalLength);
    if (PartLength) std::memcpy(rec->Data.data(), Data, PartLength);
    partial_.push_front(Partial{std::move(rec), PartLength, plat::GetTickCount64()});
    return nullptr;
}

TqbMessageRecord* TqbDataMessageQueue::AppendPart(uint32_t MsgID, uint32_t ClientID, uint32_t PartLength,
                                                  const uint8_t* Data, uint32_t RequestID) {
    auto it = std::find_if(partial_.begin(), partial_.end(), [&](const Partial& p) {
        return p.Rec->MsgID == MsgID && p.Rec->ClientID == ClientID && p.Rec->RequestID == RequestID;
    });
    if (it == partial_.end()) return nullptr;
    uint32_t total = uint32_t(it->Rec->Data.size());
    uint32_t n = std::min(PartLength, total - it->Received);
    if (n && !Data) return nullptr;
    if (n) std::memcpy(it->Rec->Data.data() + it->Received, Data, n);
    it->Received += n;
    it->LastMs = plat::GetTickCount64();
    if (it->Received < total) return nullptr;
    complete_.push_back(std::move(it->Rec));
    partial_.erase(it);
    return complete_.back().get();
}

TqbMessagePtr TqbDataMessageQueue::Pop() {
    while (!complete_.empty() && complete_.front()->MsgID == qbmPacked) {
        TqbMessagePtr container = std::move(complete_.front());
        complete_.pop_front();
        std::vector<TqbMessagePtr> packed;
        if (!UnpackMessages(*container, packed)) continue; // a bad container goes whole
        for (auto it = packed.rbegin(); it != packed.rend(); ++it)
            complete_.push_front(std::move(*it));
    }
    if (complete_.empty()) return nullptr;
    TqbMessagePtr rec = std::move(complete_.front());
    complete_.pop_front();
    return rec;
}

void TqbDataMessageQueue::DropHead() {
    if (!complete_.empty()) complete_.pop_front();
}

TqbMessagePtr TqbDataMessageQueue::Remove(const TqbMessageRecord* Record) {
    for (auto it = complete_.begin(); it != complete_.end(); ++it) {
        if (it->get() != Record) continue;
        TqbMessagePtr rec = std::move(*it);
        complete_.erase(it);
        return rec;
    }
    return nullptr;
}

size_t TqbDataMessageQueue::PurgeClient(uint32_t ClientID) {
    size_t before = partial_.size();
    partial_.remove_if([&](const Partial& p) { return p.Rec->ClientID == ClientID; });
    return before - partial_.size();
}

size_t TqbDataMessageQueue::Expire(uint64_t NowMs, uint64_t MaxAgeMs) {
    size_t before = partial_.size();
    partial_.remove_if([&](const Partial& p) { return NowMs > p.LastMs && NowMs - p.LastMs > MaxAgeMs; });
    return before - partial_.size();
}
