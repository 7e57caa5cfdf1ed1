// Unit nwdIPPort: the TCP port component: property accessors over the core's numbers, the event
// dispatcher, and refused assignments raised as EnwdIPPort.
#include "tcpport/nwdIPPort.h"

namespace {

std::unique_ptr<NwdConnection> defaultCore(TnwdCoreCallback callback, void* owner) {
    return NwdConnection::Create(std::move(callback), owner);
}

} // namespace

TnwdIPPort::TnwdIPPort(cls::TComponent* AOwner) : TnwdIPPort(AOwner, defaultCore) {}

TnwdIPPort::TnwdIPPort(cls::TComponent* AOwner, const CoreFactory& factory) : TnwdCore(AOwner) {
    auto callback = [](void* owner, int event, const TnwdEventParams* params) {
        return static_cast<TnwdIPPort*>(owner)->DispatchEvent(event, params);
    };
    if (factory) core_ = factory(callback, this);
    if (!core_) CreateException(-1, "Netwarden! IPPort: Error creating component")->Raise();
}

TnwdIPPort::~TnwdIPPort() {
    core_.reset();
}

std::unique_ptr<ECorbexBase> TnwdIPPort::CreateException(int32_t Code, const std::string& Text) {
    return std::make_unique<EnwdIPPort>(Code, Text);
}

int TnwdIPPort::DispatchEvent(int Event, const TnwdEventParams* Params) {
    if (!Params) return 0;
    const char* text = Params->Text ? Params->Text : "";
    switch (Event) {
    case kNwdEventConnected:
        if (OnConnected) OnConnected(this, Params->Code, text);
        break;
    case kNwdEventDataIn:
        if (OnDataIn) fireDataIn(Params->Data, Params->Data ? Params->Count : 0, Params->Eol != 0);
        break;
    case kNwdEventDisconnected:
        if (OnDisconnected) OnDisconnected(this, Params->Code, text);
        break;
    case kNwdEventError:
        if (OnError) OnError(this, Params->Code, text);
        break;
    case kNwdEventReadyToSend:
        if (OnReadyToSend) OnReadyToSend(this);
        break;
    default:
        break;
    }
    return 0;
}

// The delivered bytes go to the handler in a buffer kept from one delivery to the next, so a
// reply costs no allocation. It belongs to the thread, not the component: a handler may destroy
// the component and still read its text. A delivery inside a handler's own gets a fresh string.
void TnwdIPPort::fireDataIn(const char* data, uint32_t count, bool eol) {
    thread_local std::string t_text;
    thread_local bool t_inUse = false;
    if (t_inUse) {
        OnDataIn(this, std::string(data, count), eol);
        return;
    }
    struct InUse {
        InUse() { t_inUse = true; }
        ~InUse() { t_inUse = false; }
    } inUse;
    t_text.assign(data, count);
    OnDataIn(this, t_text, eol);
}

int64_t TnwdIPPort::get(int number, std::string* bytes) const {
    return core_->Get(number, 0, bytes);
}

void TnwdIPPort::set(int number, int64_t value, std::string_view bytes) {
    int r = core_->Set(number, 0, value, bytes);
    if (r != 0) CreateException(r, core_->LastErrorText())->Raise();
}

std::string TnwdIPPort::GetEOL() const {
    std::string b;
    get(kNwdEOL, &b);
    return b;
}
void TnwdIPPort::SetEOL(const std::string& Value) {
    set(kNwdEOL, 0, Value);
}

int32_t TnwdIPPort::GetInBufferSize() const {
    return int32_t(get(kNwdInBufferSize));
}
void TnwdIPPort::SetInBufferSize(int32_t Value) {
    set(kNwdInBufferSize, Value);
}

bool TnwdIPPort::GetKeepAlive() const {
    return get(kNwdKeepAlive) != 0;
}
void TnwdIPPort::SetKeepAlive(bool Value) {
    set(kNwdKeepAlive, Value ? 1 : 0);
}

bool TnwdIPPort::GetLinger() const {
    return get(kNwdLinger) != 0;
}
void TnwdIPPort::SetLinger(bool Value) {
    set(kNwdLinger, Value ? 1 : 0);
}

std::string TnwdIPPort::GetLocalHost() const {
    std::string b;
    get(kNwdLocalHost, &b);
    return b;
}

uint16_t TnwdIPPort::GetLocalPort() const {
    return uint16_t(get(kNwdLocalPort));
}
void TnwdIPPort::SetLocalPort(uint16_t Value) {
    set(kNwdLocalPort, Value);
}

uint32_t TnwdIPPort::GetMaxLineLength() const {
    return uint32_t(get(kNwdMaxLineLength));
}
void TnwdIPPort::SetMaxLineLength(uint32_t Value) {
    set(kNwdMaxLineLength, Value);
}

int32_t TnwdIPPort::GetOutBufferSize() const {
    return int32_t(get(kNwdOutBufferSize));
}
void TnwdIPPort::SetOutBufferSize(int32_t Value) {
    set(kNwdOutBufferSize, Value);
}

std::string TnwdIPPort::GetRemoteHost() const {
    std::string b;
    get(kNwdRemoteHost, &b);
    return b;
}
void TnwdIPPort::SetRemoteHost(const std::string& Value) {
    set(kNwdRemoteHost, 0, Value);
}

uint16_t TnwdIPPort::GetRemotePort() const {
    return uint16_t(get(kNwdRemotePort));
}
void TnwdIPPort::SetRemotePort(uint16_t Value) {
    set(kNwdRemotePort, Value);
}

std::string TnwdIPPort::GetWinsockInfo() const {
    std::string b;
    get(kNwdWinsockInfo, &b);
    return b;
}

bool TnwdIPPort::GetWinsockLoaded() const {
    return get(kNwdWinsockLoaded) != 0;
}
void TnwdIPPort::SetWinsockLoaded(bool Value) {
    set(kNwdWinsockLoaded, Value ? 1 : 0);
}

std::string TnwdIPPort::GetWinsockStatus() const {
    std::string b;
    get(kNwdWinsockStatus, &b);
    return b;
}

bool TnwdIPPort::GetConnected() const {
    return get(kNwdConnected) != 0;
}
void TnwdIPPort::SetConnected(bool Value) {
    set(kNwdConnected, Value ? 1 : 0);
}

void TnwdIPPort::SetDataToSend(const std::string& Value) {
    set(kNwdDataToSend, 0, Value);
}
