// TForm1's TCP port: the component clientSocket, its events wired to the sending engine, and the
// few properties the engine sets.
#include "app/Unit1.h"

#include "tcpport/nwdIPPort.h"

void TForm1::createSocket() {
    socketOwner_ = std::make_unique<TnwdIPPort>(nullptr);
    clientSocket = socketOwner_.get();
    clientSocket->OnConnected = [this](cls::TComponent* s, int code, const std::string& d) {
        clientSocketConnected(s, code, d);
    };
    clientSocket->OnDataIn = [this](cls::TComponent* s, const std::string& t, bool eol) {
        clientSocketDataIn(s, t, eol);
    };
    clientSocket->OnDisconnected = [this](cls::TComponent* s, int code, const std::string& d) {
        clientSocketDisconnected(s, code, d);
    };
    clientSocket->OnError = [this](cls::TComponent* s, int code, const std::string& d) {
        clientSocketError(s, code, d);
    };
}

void TForm1::destroySocket() {
    clientSocket = nullptr;
    socketOwner_.reset();
}

void TForm1::portSetHost(const std::string& host) {
    clientSocket->SetRemoteHost(host);
}

// The port is 16 bits wide: the service's number is taken modulo 65536.
void TForm1::portSetPort(int32_t port) {
    clientSocket->SetRemotePort(static_cast<uint16_t>(port & 0xFFFF));
}

void TForm1::portConnect() {
    clientSocket->SetConnected(true);
}

void TForm1::portDisconnect() {
    clientSocket->SetConnected(false);
}

void TForm1::portSend(const std::string& bytes) {
    clientSocket->SetDataToSend(bytes);
}

bool TForm1::portConnected() {
    return clientSocket->GetConnected();
}
