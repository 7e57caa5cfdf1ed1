// Unit nwdCore: the port's base component and exception, the socket core under the TCP port (one
// connection object per component, reached through numbered properties), and the socket-library loader.
#pragma once
#include "classlib/Classes.h"
#include "classlib/SysUtils.h"
#include "platform/Messages.h"
#include "platform/Sockets.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---- exceptions and the base component ----

class ECorbexBase : public cls::Exception {
public:
    ECorbexBase(int32_t Code, const std::string& Text);
    int32_t Code;
    // Throws this object as its own dynamic type.
    [[noreturn]] virtual void Raise() const { throw *this; }
};

class TnwdCore : public cls::TComponent {
public:
    explicit TnwdCore(cls::TComponent* AOwner);
    virtual std::unique_ptr<ECorbexBase> CreateException(int32_t Code, const std::string& Text);
};

// ---- the socket core ----

// Notification message of the hidden window, and its window class.
constexpr plat::UINT kNwdNotifyMessage = 1125;
inline constexpr const char* kNwdWindowClass = "__nwd_socket_wnd__";

// Callback events.
constexpr int kNwdEventConnected = 1, kNwdEventDataIn = 2, kNwdEventDisconnected = 3, kNwdEventError = 4,
              kNwdEventReadyToSend = 5;

// Property numbers.
constexpr int kNwdAcceptData = 1, kNwdBytesSent = 2, kNwdConnected = 3, kNwdDataToSend = 4, kNwdEOL = 5,
              kNwdInBufferSize = 6, kNwdKeepAlive = 7, kNwdLinger = 8, kNwdLocalHost = 9, kNwdLocalPort = 10,
              kNwdMaxLineLength = 11, kNwdOutBufferSize = 12, kNwdRemoteHost = 13, kNwdRemotePort = 14,
              kNwdSocketHandle = 15, kNwdWinsockInfo = 16, kNwdWinsockLoaded = 17, kNwdMaxDatagram = 18,
              kNwdMaxSockets = 19, kNwdLibraryPath = 20, kNwdWinsockStatus = 21;

// The core's own result codes.
constexpr int kNwdRemotePortBusy = 100, kNwdRemoteHostBusy = 101, kNwdAddressInvalid = 102,
              kNwdAlreadyConnected = 104, kNwdLocalPortBusy = 106, kNwdMaxLineBusy = 112, kNwdPortZero = 116,
              kNwdOutOfMemory = 200, kNwdInterrupted = 301;

// Text of a result code: the core's own text, or "[code] description" of a socket error.
std::string NwdResultText(int code);

// Arguments of a callback event. Text is zero-terminated; Data/Count/Eol belong to the data event.
struct TnwdEventParams {
    int32_t Code = 0;
    const char* Text = "";
    const char* Data = nullptr;
    uint32_t Count = 0;
    uint8_t Eol = 0;
};
using TnwdCoreCallback = std::function<int(void* Owner, int Event, const TnwdEventParams* Params)>;

class NwdConnection {
public:
    // Nothing when the hidden window or the line buffer cannot be made. A library that cannot be
    // loaded still gives an object (WinsockLoaded reads False).
    static std::unique_ptr<NwdConnection> Create(TnwdCoreCallback callback, void* owner);
    // Closes an open socket without events and gives back the library reference.
    ~NwdConnection();
    NwdConnection(const NwdConnection&) = delete;
    NwdConnection& operator=(const NwdConnection&) = delete;

    // Numbers not listed give 0. Texts and EOL come back in *bytes.
    int64_t Get(int number, int index = 0, std::string* bytes = nullptr);
    // 0 or a result code; the code's text is then the last error text. Numbers not listed give -1.
    int Set(int number, int index, int64_t value, std::string_view bytes = {});
    const std::string& LastErrorText() const { return lastError_; }
    plat::HWND Window() const { return hwnd_; }

private:
    enum class Mode { Normal, Close, Drain };
    enum class Exit { Stop, PeerClosed };
    using Token = std::shared_ptr<bool>;

    NwdConnection(TnwdCoreCallback callback, void* owner);
    plat::LRESULT windowProc(plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam);
    void fire(int event, int32_t code, const char* text, const char* data = nullptr, uint32_t count = 0,
              bool eol = false);
    void fireStatus(int event, int code);

    int setRemoteHost(std::string_view text);
    int setBufferSize(bool in, int32_t value);
    int setKeepAlive(bool value);
    int setLinger(bool value);
    int setMaxLineLength(int64_t value);
    int setEOL(std::string_view bytes);
    int setWinsockLoaded(bool value);
    int connect();
    int send(std::string_view bytes);
    int flushSendQueue();
    int disconnect(int code);
    int closeSocket(bool flush);
    void clearState();
    void postRead();

    void onConnect(plat::SOCKET s, int code);
    void onRead();
    void onWrite();
    void onClose(int code);

    void runLoop(Mode mode);
    // These run inside runLoop, whose token tells whether this object outlived a handler.
    Exit receive(Mode mode, const Token& alive);
    bool deliverLines(plat::SOCKET s, const Token& alive);
    bool deliverRest(plat::SOCKET s, const Token& alive);
    bool deliverFull(plat::SOCKET s, const Token& alive);
    size_t findEol();
    void compact();

    TnwdCoreCallback callback_;
    void* owner_;
    Token alive_ = std::make_shared<bool>(true);
    std::string lastError_;
    plat::HWND hwnd_ = 0;
    bool loaded_ = false; // this object holds a library reference

    uint32_t remoteAddr_ = 0; // network order, 0 = none
    uint16_t remotePort_ = 0;
    uint16_t localPort_ = 0;
    plat::SOCKET socket_ = plat::INVALID_SOCKET;
    int32_t inBufferSize_ = 2048;
    int32_t outBufferSize_ = 2048;
    int32_t bytesSent_ = 0;

    bool connected_ = false;
    bool acceptData_ = true;
    bool receiving_ = false; // the receive loop is running
    bool linger_ = true;
    bool keepAlive_ = false;
    bool disconnectPending_ = false;
    bool closePending_ = false; // the peer's close arrived while the receive loop was running
    int closeCode_ = 0;
    bool recvErrorReported_ = false; // one error event per connection for a failing receive

    // Line buffer: capacity MaxLineLength; the unread bytes are at [start_, start_ + count_).
    std::vector<char> buf_;
    uint32_t capacity_ = 0;
    uint32_t start_ = 0;
    uint32_t count_ = 0;
    uint32_t scanned_ = 0; // bytes from start_ known to hold no complete end-of-line sequence
    std::string eol_;

    // Bytes handed to DataToSend that the socket has not taken yet.
    std::string sendQueue_;
    size_t sendOffset_ = 0;
};

// ---- the socket-library loader ----

class NwdWinsockLoader {
public:
    NwdWinsockLoader();
    ~NwdWinsockLoader();

    bool Load();
    void Unload();
    // The full file name of the loaded library, else the configured path.
    std::string GetPath() const;
    // At most 200 characters are kept; an empty path means the default.
    void SetPath(std::string_view path);

    const std::string& Description() const { return description_; }
    const std::string& Status() const { return status_; }
    uint16_t MaxSockets() const { return maxSockets_; }
    uint16_t MaxDatagram() const { return maxDatagram_; }
    uint16_t RefCount() const { return count_; }
    bool Loaded() const { return module_ != 0; }
    bool ClassRegistered() const { return classRegistered_; }

    // The function table: the library's entries while loaded, failing fallbacks otherwise.
    const plat::WinsockTable& Ws() const { return table_; }

    // A hidden window of the notification class whose messages go to proc.
    plat::HWND CreateNotifyWindow(plat::WndProc proc);

    static constexpr const char* kDefaultPath = "WSOCK32.DLL";
    static constexpr size_t kMaxPath = 200;

private:
    void resetTable();
    void releaseReference();

    plat::WinsockTable table_;
    plat::HMODULE module_ = 0;
    uint16_t count_ = 0;
    std::string path_ = kDefaultPath;
    std::string description_;
    std::string status_ = "Down";
    uint16_t maxSockets_ = 0;
    uint16_t maxDatagram_ = 0;
    bool classRegistered_ = false;
};

// The process-wide loader.
NwdWinsockLoader& NwdLoader();
// The fallback table in effect while nothing is loaded.
const plat::WinsockTable& NwdFallbackTable();
