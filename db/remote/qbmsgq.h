// Received messages of the remote layer: the owned collection pair, the message record, and the
// queue that joins a message's parts and hands complete messages out in arrival order.
#pragma once
#include "db/base/qbllbase.h"
#include "db/remote/qbllcomm.h"
#include "db/storage/qblleng_types.h"

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

class TqbCollectionItem;

// An owned list of items: freeing the collection frees every item.
class TqbCollection : public TqbObject {
public:
    TqbCollection() = default;
    ~TqbCollection() override;
    TqbCollection(const TqbCollection&) = delete;
    TqbCollection& operator=(const TqbCollection&) = delete;

    virtual int IndexOf(const TqbCollectionItem* Item) const;
    // Appends; false when the item is there already.
    virtual bool Insert(TqbCollectionItem* Item);
    TqbCollectionItem* Items(int Index) const;
    int Count() const { return int(items_.size()); }

private:
    friend class TqbCollectionItem;
    void remove(TqbCollectionItem* Item);
    std::vector<TqbCollectionItem*> items_;
    bool destroying_ = false;
};

// An item of a collection with one 32-bit value; it enters its collection at creation (client
// error 1010 when refused) and leaves it when freed.
class TqbCollectionItem : public TqbObject {
public:
    TqbCollectionItem(TqbCollection* Collection, uint32_t Value);
    ~TqbCollectionItem() override;
    TqbCollectionItem(const TqbCollectionItem&) = delete;
    TqbCollectionItem& operator=(const TqbCollectionItem&) = delete;

    TqbCollection* Collection() const { return collection_; }
    uint32_t Value() const { return value_; }
    int Index() const { return collection_ ? collection_->IndexOf(this) : -1; }

private:
    friend class TqbCollection;
    TqbCollection* collection_;
    uint32_t value_;
};

// One received message (request or reply). Always owned through TqbMessagePtr.
struct TqbMessageRecord {
    uint32_t MsgID = 0;
    uint32_t ClientID = 0;
    uint32_t RequestID = 0;
    uint32_t ArrivalTick = 0;
    uint32_t ExpiryTick = 0; // arrival + time-out
    TqbResultCode ErrorCode = 0;
    std::vector<uint8_t> Data; // the whole message's data once complete
    int32_t DataLength = 0;
    // Set for a message unpacked from a container whose sender marked its data as a stream.
    bool IsStream = false;
};
using TqbMessagePtr = std::unique_ptr<TqbMessageRecord>;

// The container message whose data packs several complete messages.
constexpr uint32_t qbmPacked = 255;
constexpr uint32_t qbPackedHeadSize = 12;

// Packs messages as the container carries them: per message u32 ID, u32 length (head included),
// u16 error, u8 stream flag, one unused byte, then its data.
void AppendPackedMessage(std::vector<uint8_t>& Container, uint32_t MsgID, uint16_t ErrorCode, bool IsStream,
                         const uint8_t* Data, uint32_t Length);
// The messages packed in a container's data, each with the container's client, request and
// ticks. False (and Out left empty) when any packed length is below the head or runs past the
// container.
bool UnpackMessages(const TqbMessageRecord& Container, std::vector<TqbMessagePtr>& Out);

// Messages whose parts are arriving (partial list) and complete messages (first in, first out).
// Callers hold the portal for writing around each change (QueueWriteGuard). Input is checked:
// a first part longer than its total, a total above the cap, or more partial messages than the
// bound are refused with EqbCommsException 293, and the caller should hang the sender up.
class TqbDataMessageQueue : public TqbObject {
public:
    static constexpr size_t kMaxPartial = 256;

    explicit TqbDataMessageQueue(uint32_t MaxTotalLength = qbMaxMsgTotalLength,
                                 size_t MaxPartial = kMaxPartial);
    ~TqbDataMessageQueue() override;
    TqbDataMessageQueue(const TqbDataMessageQueue&) = delete;
    TqbDataMessageQueue& operator=(const TqbDataMessageQueue&) = delete;

    TqbReadWritePortal& Portal() { return portal_; }
    void BeginWrite() { portal_.BeginWrite(); }
    void EndWrite() { portal_.EndWrite(); }

    // PartLength is the count of data bytes of this part. When the part is the whole message the
    // record goes to the tail of the complete list and is returned (the queue still owns it);
    // otherwise it waits in the partial list and null is returned. A new first part for a
    // message already partial replaces it.
    TqbMessageRecord* AddMessage(uint32_t MsgID, uint32_t ClientID, uint32_t TotalLength, uint32_t PartLength,
                                 const uint8_t* Data, TqbResultCode ErrorCode, uint32_t Timeout,
                                 uint32_t RequestID);
    // Appends at most the missing bytes to the partial message of these IDs; null when there is
    // none or it is still incomplete, else the now complete record (at the tail, queue-owned).
    TqbMessageRecord* AppendPart(uint32_t MsgID, uint32_t ClientID, uint32_t PartLength, const uint8_t* Data,
                                 uint32_t RequestID);
    // Takes the head of the complete list out; a container at the head is first replaced by the
    // messages it packs (a bad container is dropped whole). Null when none is complete.
    TqbMessagePtr Pop();
    // Frees the head of the complete list.
    void DropHead();
    // Takes the given record out of the complete list and hands it over (null when not there).
    TqbMessagePtr Remove(const TqbMessageRecord* Record);
    bool IsEmpty() const { return complete_.empty(); }
    int Count() const { return int(complete_.size()); }
    int PartialCount() const { return int(partial_.size()); }
    // Drops every partial message of a client (its connection went); returns how many.
    size_t PurgeClient(uint32_t ClientID);
    // Drops partial messages whose last part came more than MaxAgeMs before NowMs (64-bit ms).
    size_t Expire(uint64_t NowMs, uint64_t MaxAgeMs);

private:
    struct Partial {
        TqbMessagePtr Rec;
        uint32_t Received = 0;
        uint64_t LastMs = 0;
    };
    TqbReadWritePortal portal_;
    std::list<TqbMessagePtr> complete_;
    std::list<Partial> partial_; // newest first
    uint32_t maxTotal_;
    size_t maxPartial_;
};

// Holds the queue's portal for writing for a scope.
using QueueWriteGuard = PortalWriteGuard<TqbDataMessageQueue>;
