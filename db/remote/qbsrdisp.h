// The server's request decoder: turns one remote engine request into the matching engine
// operation and builds its reply, keeping each remote client to the handles it was given.
#pragma once
#include "db/remote/qbclops.h"
#include "db/remote/qbtransport.h"
#include "db/storage/qblleng.h"

class TqbServerEngine;

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

// What the decoder made of one request.
struct TqbDispatchResult {
    bool Handled = false;        // false: no engine request; the command handler answers 153
    TqbResultCode ErrorCode = 0; // the reply's error code
    std::vector<uint8_t> Reply;  // the reply's data
};

// Thread-safe: requests of several clients (and of one client) may come from several threads.
// The engine is not owned and must outlive the decoder.
class TqbServerDispatcher {
public:
    explicit TqbServerDispatcher(TqbBaseServerEngine& Engine) : engine_(Engine) {}
    TqbServerDispatcher(const TqbServerDispatcher&) = delete;
    TqbServerDispatcher& operator=(const TqbServerDispatcher&) = delete;

    // Logs a remote client in through the engine (its login rule gives the user's password hash)
    // and lets it send requests. 0 with the engine's client handle, or the engine's code.
    TqbResultCode AddClient(const std::string& ClientName, const std::string& UserName, uint32_t Timeout,
                            uint32_t& PasswordHash, TqbHandle& ClientID);
    // Removes the client from the engine (closing what it left open) and forgets its handles.
    TqbResultCode RemoveClient(TqbHandle ClientID);
    // Removes every client it holds, as their transport stopped: no connection is left to do it.
    void RemoveAllClients();
    // For a client the engine already has (added elsewhere); false when it was known already.
    bool AdoptClient(TqbHandle ClientID);

    // Decodes one request of ClientID (the engine client handle the connection is registered
    // under) and runs it. Message 9 is answered 0; a message that is no engine request is not
    // handled. A short or malformed request is answered 15522, a handle the client was not given
    // with the unknown-handle code of its kind; nothing of it reaches the engine then. The engine's
    // configuration folder is no client's database: a path or alias naming it is answered 8449.
    TqbDispatchResult Dispatch(TqbHandle ClientID, uint32_t MsgID, std::span<const uint8_t> Request);

    // How many handles of a client the decoder keeps (for checks).
    size_t HandleCount(TqbHandle ClientID);

private:
    // Handles are told apart by kind and number: the engine's rebuild IDs come from a space of
    // their own and take the numbers of sessions, databases and cursors.
    using Key = std::pair<TqbHandleKind, TqbHandle>;
    // The parent: the session of a database, the database of a cursor or statement, else 0.
    using HandleMap = std::map<Key, TqbHandle>;

    TqbResultCode run(TqbHandle client, const qbops::TqbOpDesc& d, std::span<const uint8_t> request,
                      std::vector<uint8_t>& reply);
    TqbResultCode runStream(TqbHandle client, const qbops::TqbOpDesc& d, std::span<const uint8_t> request,
                            std::vector<uint8_t>& reply);
    // 0 when the client holds Handle as Kind (Zero: 0 passes too), else the kind's unknown code.
    TqbResultCode owns(TqbHandle client, TqbHandle handle, TqbHandleKind kind, bool zero = false);
    void give(TqbHandle client, TqbHandle handle, TqbHandleKind kind, TqbHandle parent = 0);
    // Forgets the handle and what lived in it (a session's databases, a database's cursors and
    // statements).
    void take(TqbHandle client, TqbHandle handle, TqbHandleKind kind);
    // 8449, logged, when Path names the served engine's configuration folder; else 0.
    TqbResultCode refuseConfigFolder(TqbHandle client, const std::string& path);
    // The parent the client holds Handle under, else 0.
    TqbHandle parentOf(TqbHandle client, TqbHandle handle, TqbHandleKind kind);

    TqbBaseServerEngine& engine_;
    std::mutex m_;
    std::map<TqbHandle, HandleMap> clients_;
};

// Runs the decoder for every request a command handler offers and replies through the transport
// (on the thread that handles the request); requests that are no engine request go on to the
// engine manager or the handler's 153.
class TqbDispatchPlugIn : public TqbCommandPlugIn {
public:
    explicit TqbDispatchPlugIn(TqbServerDispatcher& Dispatcher, cls::TComponent* AOwner = nullptr)
        : TqbCommandPlugIn(AOwner), dispatcher_(Dispatcher) {}
    bool Process(TqbMessageRecord& Message) override;

private:
    TqbServerDispatcher& dispatcher_;
};

// The login of a remote client on a server engine, for a listening transport's OnAddClient: when
// the engine's configuration requires a login, an unknown user gets 10036 and a known one the
// secure flag with the user's stored hash, so only a client that knows the password can read what
// follows; otherwise anyone gets in without the flag. The new client ID is the engine's client.
TqbAddClientEvent ServerLoginHandler(TqbServerEngine& Engine, TqbServerDispatcher& Dispatcher);
// OnRemoveClient: the engine client goes, with what it left open.
TqbRemoveClientEvent ServerRemoveHandler(TqbServerDispatcher& Dispatcher);
