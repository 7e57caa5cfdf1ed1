// The single-user protocol: finding the server's window by broadcast, the connect message, and the
// data and close records sent as copy-data messages between the two processes' windows.
#include "db/remote/qbllprot.h"

#include "db/base/qbsrmgr.h"

#include <cerrno>
#include <cstring>
#include <thread>
#include <unistd.h>

using namespace plat;

namespace {

constexpr int32_t kErrConnectFailed = 11278, kErrConnectionGone = 292;
constexpr uint32_t kSendTimeoutMs = 1000;

} // namespace

TqbSingleUserProtocol::TqbSingleUserProtocol(const std::string& name, bool listen)
    : TqbBaseCommsProtocol(name, listen, qbMaxMsgSizeSingleUser),
      connectMsg_(RegisterWindowMessage("Quillbase2SingleUser")),
      findMsg_(RegisterWindowMessage("Quillbase2SingleUserPostMessage")) {}

TqbSingleUserProtocol::~TqbSingleUserProtocol() {
    CloseAll();
    ReleaseWindow();
}

void TqbSingleUserProtocol::CreateWindow() {
    TqbBaseCommsProtocol::CreateWindow();
    self_ = PublishWindow(window_);
    if (!self_) {
        Log("Could not create notification window.");
        TqbBaseCommsProtocol::ReleaseWindow();
        throw EqbCommsException(GeneralStrings(), 368);
    }
}

void TqbSingleUserProtocol::ReleaseWindow() {
    if (window_) UnpublishWindow(window_);
    self_ = 0;
    TqbBaseCommsProtocol::ReleaseWindow();
}

bool TqbSingleUserProtocol::sendCopy(PWND to, uint32_t clientID, uintptr_t tag, const uint8_t* data,
                                     uint32_t length) {
    COPYDATASTRUCT cds{tag, length, data};
    LRESULT answer = 0;
    return SendProcessMessageTimeout(to, WM_COPYDATA, clientID, reinterpret_cast<LPARAM>(&cds),
                                     kSendTimeoutMs, &answer) &&
           answer == 0;
}

int32_t TqbSingleUserProtocol::ConnectToServer(const std::string&, uint32_t& clientID, uint32_t timeoutMs) {
    if (Listening()) throw EqbCommsException(GeneralStrings(), 369);
    auto c = std::make_shared<TqbSingleUserConnection>(this);
    // Client IDs of different client processes meet in one server: the process number keeps them apart.
    c->ClientID = (uint32_t(::getpid()) << 16) ^ c->Identity();
    if (c->ClientID == 0) c->ClientID = c->Identity();
    c->Window = window_;

    partner_ = 0;
    const uint64_t start = NowMs();
    uint64_t nextFind = start;
    while (!partner_ && NowMs() - start < timeoutMs) {
        if (NowMs() >= nextFind) {
            PostProcessMessage(PWND_BROADCAST, findMsg_, WPARAM(self_), kAcknowledge);
            nextFind += 1000;
        }
        Idle();
    }
    PWND partner = partner_;
    if (partner) {
        LRESULT answer = 0;
        bool ok =
            SendProcessMessageTimeout(partner, connectMsg_, c->ClientID, LPARAM(self_), timeoutMs, &answer);
        if (!ok) {
            partner = 0;
        } else if (answer != kAcknowledge) {
            ok = SendProcessMessageTimeout(partner, connectMsg_, c->ClientID, LPARAM(self_), timeoutMs,
                                           &answer);
            if (!ok || answer != kAcknowledge) {
                int e = errno;
                Log("Error %d when finding SUP partner: %s", {e, std::strerror(e)});
                partner = 0;
            }
        }
    }
    if (!partner) return kErrConnectFailed;
    c->Partner = partner;
    AddConnection(c);
    clientID = c->ClientID;
    return 0;
}

void TqbSingleUserProtocol::GetServerNames(std::vector<std::string>& list, uint32_t) {
    list.assign({"Local server"});
}

int32_t TqbSingleUserProtocol::SendMsg(uint32_t clientID, const uint8_t* data, uint32_t length, bool lock) {
    auto base = FindByClientID(clientID);
    if (!base) return kErrConnectionGone;
    if (length > MaxMsgSize()) {
        Log("Message size %d too large.", {length});
        return kErrConnectionGone;
    }
    auto c = std::static_pointer_cast<TqbSingleUserConnection>(base);
    std::lock_guard lk(c->Padlock);
    std::memcpy(c->SendBuffer.data(), data, length);
    ScrambleMsg(c->SendBuffer.data(), length, c->Key);
    if (sendCopy(c->Partner, clientID, kDataRecord, c->SendBuffer.data(), length)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (sendCopy(c->Partner, clientID, kDataRecord, c->SendBuffer.data(), length)) return 0;
    int e = errno;
    Log("Error %d sending message via SUP connection: %s", {e, std::strerror(e)});
    return kErrConnectionGone; // the partner did not take it: a failure, not a success
}

bool TqbSingleUserProtocol::SendRaw(TqbConnection& c, const uint8_t* data, uint32_t length) {
    auto& s = static_cast<TqbSingleUserConnection&>(c);
    return sendCopy(s.Partner, s.ClientID, kDataRecord, data, length);
}

void TqbSingleUserProtocol::CloseTransport(TqbConnection& c) {
    auto& s = static_cast<TqbSingleUserConnection&>(c);
    if (!s.PartnerClosed && s.Partner) sendCopy(s.Partner, s.ClientID, kCloseRecord, nullptr, 0);
}

bool TqbSingleUserProtocol::HandleMessage(UINT msg, WPARAM w, LPARAM l, LRESULT& result) {
    if (msg == findMsg_) {
        if (Listening() && l == kAcknowledge && w)
            PostProcessMessage(PWND(w), kFoundMsg, WPARAM(self_), kAcknowledge);
        return true;
    }
    if (msg == kFoundMsg) {
        if (!Listening() && l == kAcknowledge && !partner_) partner_ = PWND(w);
        return true;
    }
    if (msg == connectMsg_) {
        result = 0;
        if (!Listening() || !l) return true;
        const uint32_t clientID = uint32_t(w);
        if (clientID == 0 || FindByClientID(clientID)) return true; // an ID in use is refused
        auto c = std::make_shared<TqbSingleUserConnection>(this);
        c->ClientID = clientID;
        c->Partner = PWND(l);
        c->Window = window_;
        AddConnection(c);
        result = kAcknowledge;
        if (OnAddClient) OnAddClient(this, clientID);
        return true;
    }
    if (msg == WM_COPYDATA) {
        result = l ? onCopyData(uint32_t(w), reinterpret_cast<const COPYDATASTRUCT*>(l)) : 1;
        return true;
    }
    return false;
}

LRESULT TqbSingleUserProtocol::onCopyData(uint32_t clientID, const COPYDATASTRUCT* cds) {
    auto base = FindByClientID(clientID);
    if (!base) {
        if (cds->dwData == kDataRecord) Log("Could not find connection for client %d", {clientID});
        return 1;
    }
    auto c = std::static_pointer_cast<TqbSingleUserConnection>(base);
    if (cds->dwData == kCloseRecord) {
        c->PartnerClosed = true;
        ConnectionLost(c);
        return 0;
    }
    if (cds->dwData != kDataRecord) return 1;
    const auto* data = static_cast<const uint8_t*>(cds->lpData);
    const uint32_t length = cds->cbData;
    if (IsKeepAlive(data, length)) {
        KeepAliveReceived(*c);
        return 0;
    }
    // Only a whole part whose own length agrees is taken; anything else ends the connection.
    if (!data || length < qbMsgHeaderSize || length > MaxMsgSize() || GetU32(data + 4) != length) {
        Log("Message size %d too large.", {length});
        ConnectionLost(c);
        return 1;
    }
    std::vector<uint8_t> part(data, data + length);
    return MessageReceived(*c, part.data(), length) ? 0 : 1;
}
