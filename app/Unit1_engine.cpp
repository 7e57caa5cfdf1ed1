// TForm1's SNPP sending engine: recipient resolution, one connection per service, the reply-driven
// dialogue, message blocks, time-out, cancel, backup-host retry, and the daily log lines.
#include "app/Unit1.h"

#include "app/Unit1_glue.h"
#include "classlib/ui/QtText.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <exception>

namespace {
const char* const kSendBusy = "Error: A send is in progress";

bool inServiceRange(int k) {
    return k >= 1 && k <= kServiceCount;
}

std::string errorText(const std::exception_ptr& p) {
    try {
        std::rethrow_exception(p);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}
} // namespace

// ---- Send button ---------------------------------------------------------------------------------

void TForm1::sendButtonClick(QObject* Sender) {
    if (sendState == 9) {
        // The page is accepted and only the answer to QUIT is outstanding: that connection goes.
        closeConnection();
        sendState = 1;
        timeoutLeft = 0;
    }
    if (sendState != 1 || multiSendActive_) {
        setStatusBarText(kSendBusy);
        return;
    }
    if (Sender == sendButton) holdTime.clear();
    resultsClear();
    logFailureShown_ = false;

    const bool groupMode = !groupSelectingLabel->isHidden();
    if (groupMode) {
        multiSend = true;
    } else if (namesListbox->StateCount(cbChecked) < 1) {
        if (toNameLabel->text().isEmpty()) {
            setStatusBarText("Error: No recipient selected");
            return;
        }
        multiSend = false;
    } else {
        multiSend = true;
    }
    const QString typed = messageMemo->toPlainText();
    const std::string text = cls::fromQString(typed);
    if (text.empty()) {
        setStatusBarText("Error: No message entered");
        return;
    }
    // Sent as it is typed, or not at all: a character the page cannot carry would go out as "?".
    if (const QString c = cls::FirstNonAnsiChar(typed); !c.isEmpty()) {
        StatusBar1->showMessage(
            QStringLiteral("Error: The message contains \"%1\" (%2), which a page cannot carry")
                .arg(c, cls::CodePointName(c)));
        return;
    }
    if (!contactsAvailable()) {
        // A server that does not answer has said so already.
        if (contactsServer().empty()) setStatusBarText("Error: Contacts database not available");
        return;
    }

    if (multiSend) {
        try {
            if (!withContacts([&] {
                    for (auto& l : recipientLists)
                        l.clear();
                    totalCount = 0;
                    sentCount = 0;
                    if (groupMode)
                        bucketGroup();
                    else
                        bucketChecked();
                }))
                return;
        } catch (...) {
            setStatusBarText("Error: " + errorText(std::current_exception()));
            return;
        }
    }
    setStatusBarText("");
    if (portConnected()) closeConnection(); // a finished connection still closing
    if (portConnected()) {
        setStatusBarText(kSendBusy);
        return;
    }

    if (multiSend) {
        for (int k = 1; k <= kServiceCount; ++k)
            serviceMessage[k] =
                text.substr(0, static_cast<size_t>(std::max<int32_t>(0, services[k].maxChars)));
        multiSendActive_ = true;
        serviceAttempted_ = false;
        if (!ConnectToNextService(1)) {
            // Services were tried and refused: the send is over, and says so.
            if (serviceAttempted_) finishMultipleSend();
            multiSendActive_ = false;
        }
        return;
    }

    currentName = cls::fromQString(toNameLabel->text());
    bool found = false;
    try {
        if (!withContacts([&] { found = lookupContact(currentName); })) return;
    } catch (...) {
        setStatusBarText("Error: " + errorText(std::current_exception()));
        return;
    }
    if (!found || !inServiceRange(lookupService) || !serviceUsable(lookupService)) {
        setStatusBarText("Error: Problem with contact and/or service");
        return;
    }
    usingBackup = false;
    currentService = lookupService;
    currentId = lookupId;
    currentPin = lookupPin;
    serviceMessage[currentService] = text.substr(0, static_cast<size_t>(services[currentService].maxChars));
    if (!pagerIdValid(currentId, currentPin)) {
        setStatusBarText("Error: Invalid pager ID or PIN for " + currentName);
        logError("ERROR: Invalid pager ID or PIN.", true);
        return;
    }
    SetMessageIndex();
    const serviceRecordType& s = services[currentService];
    try {
        portSetHost(s.host);
        portSetPort(s.port);
    } catch (...) {
        setStatusBarText("Error setting remotehost: " + s.host);
        logError("ERROR connecting to service", true);
        return;
    }
    sendState = 2;
    setStatusLabel("CONNECTING...");
    timeoutLeft = kSingleSendTimeout;
    pageInProgress_ = true;
    if (!startConnect()) {
        failPending("ERROR connecting to service.");
        FailIt();
    }
}

void TForm1::bucketGroup() {
    const int row = groupsListBox->currentRow();
    if (row < 0 || !groupsListBox->item(row) || !groupsListBox->item(row)->isSelected()) return;
    const std::string t = cls::fromQString(groupsListBox->item(row)->text());
    int n = 0;
    if (t.size() >= 2 && t[1] >= '0' && t[1] <= '9') n = t[1] - '0';
    if (t.size() >= 3 && t[2] == '0') n = 10;
    if (n < 1 || n > 10) return;
    const std::string field = "memberGr" + std::to_string(n);
    cls::TField* member = contactsTable->FieldByName(field);
    cls::TField* service = contactsTable->FieldByName("serviceNumber");
    cls::TField* name = contactsTable->FieldByName("name");
    contactsTable->First();
    while (!contactsTable->Eof()) {
        if (member->AsBoolean()) {
            const int k = service->AsInteger();
            if (inServiceRange(k)) {
                recipientLists[k].push_back(name->AsString());
                ++totalCount;
            }
        }
        contactsTable->Next();
    }
}

void TForm1::bucketChecked() {
    for (int i = 0; i < namesListbox->Items.Count(); ++i) {
        if (namesListbox->ItemState(i) != cbChecked) continue;
        const std::string name = namesListbox->Items[i];
        try {
            if (lookupContact(name) && inServiceRange(lookupService)) {
                recipientLists[lookupService].push_back(name);
                ++totalCount;
            }
        } catch (const std::exception& e) {
            // An item that cannot be looked up is left out, as one without a service is; without
            // the server none can be.
            if (connectionFailure(e)) throw;
        }
    }
}

bool TForm1::lookupContact(const std::string& Name) {
    if (!contactsOpen()) return false;
    contactsTable->SetIndexName("nameIndex");
    if (!contactsTable->FindKey({cls::Variant(Name)})) return false;
    lookupId = contactsTable->FieldByName("id")->AsString();
    lookupService = contactsTable->FieldByName("serviceNumber")->AsInteger();
    if (hasPasswordField) {
        try {
            lookupPin = contactsTable->FieldByName("password")->AsString();
        } catch (...) {
            lookupPin.clear();
            hasPasswordField = false;
        }
    } else {
        lookupPin.clear();
    }
    return true;
}

bool TForm1::pagerIdValid(const std::string& id, const std::string& pin) const {
    if (id.empty()) return false;
    for (char c : id) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == ' ') return false;
    }
    for (char c : pin) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

// ---- Connecting ----------------------------------------------------------------------------------

bool TForm1::startConnect() {
    replies_.clear();
    closing_ = false;
    holdAccepted_ = false;
    awaitingReply_ = false;
    unexpectedLogged_ = 0;
    dialogueName_ = currentName;
    socketOpen_ = true;
    try {
        portConnect();
        return true;
    } catch (...) {
        socketOpen_ = false;
        setStatusBarText("Error: " + errorText(std::current_exception()));
        return false;
    }
}

bool TForm1::ConnectToNextService(int First) {
    for (int k = std::max(First, 1); k <= kServiceCount; ++k) {
        if (recipientLists[k].empty() || !serviceUsable(k)) continue;
        serviceAttempted_ = true;
        currentService = k;
        usingBackup = false;
        nextServicePosted_ = false;
        pageInProgress_ = false;
        const serviceRecordType& s = services[k];
        try {
            portSetHost(s.host);
            portSetPort(s.port);
        } catch (...) {
            setStatusBarText("Error setting remotehost: " + s.host);
            resultsAdd("ERROR setting remotehost: " + s.host);
            failPending("ERROR connecting to service");
            continue;
        }
        sendState = 2;
        setStatusLabel("CONNECTING...");
        resultsAdd("CONNECTING TO SERVICE: " + s.name + " ...");
        timeoutLeft = effectiveTimeout();
        if (!startConnect()) {
            resultsAdd("ERROR connecting to service: " + s.name);
            failPending("ERROR connecting to service");
            sendState = 1;
            timeoutLeft = 0;
            continue;
        }
        return true;
    }
    return false;
}

void TForm1::clientSocketConnected(cls::TComponent*, int StatusCode, const std::string& Description) {
    if (sendState != 2) {
        // A connection nobody waits for any more (cancelled or timed out meanwhile).
        if (StatusCode == 0)
            closeConnection();
        else
            socketOpen_ = false;
        return;
    }
    if (StatusCode == 0) {
        sendState = 3;
        awaitingReply_ = true; // the greeting
        setStatusLabel("CONNECTED...");
        return;
    }
    if (inServiceRange(currentService) && !services[currentService].backupHost.empty() && !usingBackup) {
        // The port closes the failed socket itself; the retry starts from the posted message.
        socketOpen_ = false;
        plat::PostMessage(handle_, kBackupHostMessage, 0, 0);
        return;
    }
    failPending("ERROR connecting to service.");
    FailIt();
    socketOpen_ = false;
    setStatusBarText("Error: " + Description);
}

void TForm1::BackupHostMessage() {
    if (sendState != 2 || !inServiceRange(currentService)) return; // cancelled or timed out meanwhile
    usingBackup = true;
    try {
        portDisconnect();
    } catch (...) {
    }
    socketOpen_ = false;
    sleepFn(kBackupPause);
    const std::string& backup = services[currentService].backupHost;
    try {
        portSetHost(backup);
        portSetPort(backupPort);
    } catch (...) {
        setStatusBarText("Error setting remotehost: " + backup);
        failPending("ERROR connecting to service");
        FailIt();
        return;
    }
    sendState = 2;
    setStatusLabel("CONNECTING...");
    timeoutLeft = kSingleSendTimeout;
    if (!startConnect()) {
        failPending("ERROR connecting to service.");
        FailIt();
    }
}

// ---- Received data -------------------------------------------------------------------------------

void TForm1::clientSocketDataIn(cls::TComponent*, const std::string& Text, bool) {
    if (closing_) return;
    replies_.append(Text);
    std::string line;
    while (!closing_ && replies_.next(line)) {
        if (!awaitingReply_) {
            dropUnsolicited(line);
            continue;
        }
        awaitingReply_ = false;
        handleReply(line);
    }
    if (closing_) replies_.clear();
}

void TForm1::dropUnsolicited(const std::string& line) {
    // The server is going away: that is heeded whenever it is said.
    if (line.compare(0, 3, "421") == 0) return handleReply(line);
    ++repliesHandled_;
    if (unexpectedLogged_ >= kMaxUnexpectedLogged) return;
    ++unexpectedLogged_;
    // Named with the recipient whose dialogue it came in: the next one may already be current.
    if (loggingEnabled)
        writeErrorLine("WARNING: Reply without a command ignored: " + shownText(line), dialogueName_);
}

void TForm1::expectReply() {
    // Lines that came before the command cannot answer it.
    std::string line;
    while (replies_.next(line))
        dropUnsolicited(line);
    awaitingReply_ = true;
    dialogueName_ = currentName;
}

void TForm1::handleReply(const std::string& reply) {
    ++repliesHandled_;
    const std::string code = reply.substr(0, 3);
    if (code == "220") {
        if (sendState == 3)
            greeting(reply);
        else
            awaitingReply_ = true; // ignored: the reply is still to come
        return;
    }
    if (code == "250") {
        switch (sendState) {
        case 4:
            afterLogin();
            break;
        case 5:
            holdAccepted_ = true;
            sendFirstPage();
            break;
        case 6:
            sendMessageChunk();
            break;
        case 7:
            if (sendLine("SEND\r\n")) sendState = 8;
            break;
        case 8: {
            const auto length = static_cast<int32_t>(serviceMessage[currentService].size());
            const bool more = reverseSplit ? messageIndex >= 1 : messageIndex <= length;
            if (more) {
                if (sendPageString()) sendState = 6;
            } else {
                recipientDone();
            }
            break;
        }
        default:
            awaitingReply_ = true;
            break;
        }
        return;
    }
    if (code == "421") {
        // The server is closing the connection: the service ends now, not at the time-out.
        if (sendState == 9)
            closeConnection();
        else
            endService(reply, "ERROR code:421");
        return;
    }
    if (!reply.empty() && reply[0] == '5') {
        switch (sendState) {
        case 3:
        case 4:
            // A refused greeting or login ends the service at once.
            endService(reply, "ERROR code:" + code);
            break;
        case 5:
            holdAccepted_ = false;
            logError("WARNING: Server did not accept HOLD command (future delivery).", false);
            setStatusBarText("Warning: Server did not accept HOLD command: " + reply);
            sendFirstPage();
            break;
        case 6:
        case 7:
        case 8:
            pageFailure(reply);
            break;
        default:
            awaitingReply_ = true;
            break;
        }
        return;
    }
    // Anything else ends the connection; a page not finished on it has failed.
    if (code != "221" || sendState == 4) setStatusBarText(reply);
    if (recipientsPending()) {
        failPending("ERROR code:" + shownText(code));
        setStatusLabel("FAIL");
    }
    closeConnection();
}

void TForm1::greeting(const std::string& reply) {
    messageLabel->clear();
    if (reply.size() >= 7 && reply[4] == '\x02') {
        std::string banner;
        for (size_t pos = 6; pos < reply.size() && pos < 46; ++pos) {
            const char c = reply[pos - 1];
            if (c == '\r') break;
            banner += c;
        }
        if (!banner.empty()) messageLabel->setText(cls::toQString(banner));
    }
    messageLabel->adjustSize();
    const serviceRecordType& s = services[currentService];
    if (!s.loginId.empty() && !s.password.empty()) {
        if (sendLine("LOGI " + s.loginId + " " + s.password + "\r\n")) sendState = 4;
    } else {
        afterLogin();
    }
}

void TForm1::afterLogin() {
    if (holdTime.size() == 12) {
        if (sendLine("HOLD " + holdTime + "\r\n")) sendState = 5;
    } else {
        sendFirstPage();
    }
}

void TForm1::recipientDone() {
    pageInProgress_ = false;
    if (multiSend) {
        ++sentCount;
        resultsAdd("MESSAGE SENT OK");
        if (loggingEnabled) writelogMessageSent();
        LookForNextIDinList();
        return;
    }
    if (loggingEnabled) writelogMessageSent();
    setStatusLabel("SUCCESS");
    // The page is accepted: from here on nothing turns it into a failure.
    sendState = 9;
    sendEnded();
    try {
        expectReply();
        portSend("QUIT\r\n");
    } catch (...) {
        closeConnection();
    }
}

void TForm1::pageFailure(const std::string& reply) {
    logError("ERROR code:" + reply.substr(0, 3), true);
    pageInProgress_ = false;
    if (multiSend) {
        LookForNextIDinList();
        return;
    }
    resultsAdd("FAIL, Send process terminated");
    setStatusLabel("FAIL");
    closeConnection();
    setStatusBarText(reply);
}

void TForm1::endService(const std::string& reply, const std::string& logText) {
    failPending(logText);
    FailIt();
    setStatusBarText(reply);
}

// ---- Pages ---------------------------------------------------------------------------------------

bool TForm1::takeNextRecipient(bool showWindow) {
    auto& list = recipientLists[currentService];
    const std::string name = list.front();
    list.pop_front();
    currentName = name;
    bool found = false;
    try {
        found = lookupContact(name);
    } catch (...) {
        found = false;
    }
    if (!found) {
        resultsAdd("ERROR: Contact not found: " + name);
        logError("ERROR: Contact not found.", true);
        return false;
    }
    if (!pagerIdValid(lookupId, lookupPin)) {
        resultsAdd("ERROR: Invalid pager ID or PIN: " + name);
        logError("ERROR: Invalid pager ID or PIN.", true);
        return false;
    }
    currentId = lookupId;
    currentPin = lookupPin;
    SetMessageIndex();
    if (showWindow) resultsShow();
    resultsAdd("Sending to: " + currentName + " ...");
    pageInProgress_ = true;
    if (sendPageString()) sendState = 6;
    return true;
}

void TForm1::pageNextWaiting(bool first) {
    while (!recipientLists[currentService].empty()) {
        if (takeNextRecipient(first)) return;
    }
    // Nobody left on this service: end its connection.
    sendState = 1;
    try {
        portSend("QUIT\r\n");
    } catch (...) {
    }
    closeConnection();
}

void TForm1::sendFirstPage() {
    if (multiSend) {
        pageNextWaiting(true);
        return;
    }
    if (sendPageString()) sendState = 6;
}

void TForm1::LookForNextIDinList() {
    pageNextWaiting(false);
}

bool TForm1::sendPageString() {
    if (currentPin.empty()) return sendLine("PAGE " + currentId + "\r\n");
    return sendLine("PAGE " + currentId + " " + currentPin + "\r\n");
}

void TForm1::SetMessageIndex() {
    const auto length = static_cast<int32_t>(serviceMessage[currentService].size());
    const int32_t split = services[currentService].splitChars;
    if (!services[currentService].splitFlag || length <= split) {
        messageIndex = 1;
        reverseSplit = false;
    } else {
        messageIndex = 1 + split * ((length - 1) / split);
        reverseSplit = true;
    }
}

void TForm1::sendMessageChunk() {
    const std::string& message = serviceMessage[currentService];
    const int32_t split = services[currentService].splitChars;
    const auto start = static_cast<size_t>(messageIndex - 1);
    chunk = start < message.size() ? message.substr(start, static_cast<size_t>(split)) : std::string();
    messageIndex += reverseSplit ? -split : split;
    std::string letters;
    try {
        letters = Crypt(chunk, static_cast<int>(chunk.size()));
    } catch (...) {
        setStatusBarText("Error: " + errorText(std::current_exception()));
        failPending("ERROR code:MESS");
        FailIt();
        return;
    }
    if (sendLine("MESS SNPPENCRYPTED128" + letters + "\r\n")) sendState = 7;
}

std::string TForm1::Crypt(const std::string& Text, int Length) {
    if (Length <= 0) return {};
    return cipher_.Crypt(std::string_view(Text).substr(0, static_cast<size_t>(Length)));
}

bool TForm1::sendLine(const std::string& line) {
    try {
        expectReply();
        portSend(line);
        return true;
    } catch (...) {
        // The connection cannot carry the dialogue any more: this service ends now.
        setStatusBarText("Error: " + errorText(std::current_exception()));
        failPending("ERROR sending to service.");
        FailIt();
        return false;
    }
}

// ---- Ending --------------------------------------------------------------------------------------

void TForm1::closeConnection() {
    closing_ = true;
    replies_.clear();
    try {
        portDisconnect();
    } catch (...) {
        socketOpen_ = false;
    }
}

void TForm1::sendEnded() {
    // The notice that a send is in progress is over with the send.
    if (!multiSendActive_ && statusBarText() == kSendBusy) setStatusBarText("");
}

void TForm1::FailIt() {
    // The state goes first: replies drained while the socket closes must not drive the dialogue.
    sendState = 1;
    timeoutLeft = 0;
    pageInProgress_ = false;
    closeConnection();
    sendState = 1;
    timeoutLeft = 0;
    setStatusLabel("FAIL");
    // No Disconnected event follows when no socket was open: go on with the next service here.
    postNextService();
    sendEnded();
}

void TForm1::cancelSendButtonClick(QObject*) {
    failPending("ERROR: Send cancelled.");
    FailIt();
    setStatusLabel("CANCEL");
}

void TForm1::clientSocketError(cls::TComponent*, int, const std::string& Description) {
    failPending("ERROR: " + Description);
    FailIt();
    setStatusBarText("Error: " + Description);
}

void TForm1::clientSocketDisconnected(cls::TComponent*, int StatusCode, const std::string& Description) {
    socketOpen_ = false;
    closing_ = false;
    replies_.clear();
    awaitingReply_ = false;
    sendState = 1;
    timeoutLeft = 0;
    // Every close the program asks for settles its pages first: this one came from the other end.
    const bool lost = recipientsPending();
    if (lost) {
        failPending("ERROR: Connection to service lost.");
        setStatusLabel("FAIL");
    }
    if (multiSend) postNextService();
    sendEnded();
    if (StatusCode != 0)
        setStatusBarText("Error: " + Description);
    else if (lost)
        setStatusBarText("Error: Connection to service lost");
}

void TForm1::postNextService() {
    if (!multiSend || !multiSendActive_ || nextServicePosted_) return;
    nextServicePosted_ = true;
    plat::PostMessage(handle_, kNextServiceMessage, 0, 0);
}

void TForm1::NextServiceMessage() {
    if (!multiSendActive_) return;
    if (!ConnectToNextService(currentService + 1)) finishMultipleSend();
}

void TForm1::finishMultipleSend() {
    resultsAdd("");
    resultsAdd(std::to_string(sentCount) + " of " + std::to_string(totalCount) + " MESSAGES SENT OK");
    setStatusLabel("DONE");
    multiSendActive_ = false;
    sendEnded();
    resultsFlush();
}

// ---- Timer ---------------------------------------------------------------------------------------

void TForm1::Timer1Timer(QObject*) {
    if (!arrowlabel->isHidden()) {
        --arrowTicks;
        if (arrowTicks < 1) arrowlabel->hide();
    }
    if (++tickCount >= 3) {
        tickCount = 0;
        if (timeoutLeft > 0 && --timeoutLeft == 0) {
            if (sendState == 9) {
                // The page was accepted; the server just never answered QUIT.
                closeConnection();
            } else {
                failPending("ERROR: Timeout when sending to service.");
                FailIt();
            }
        }
    }
    if (!messageLabel->text().isEmpty()) {
        if (messageLabel->x() + messageLabel->width() >= messagePanel->width())
            messageLabel->move(2, messageLabel->y());
        else
            messageLabel->move(messageLabel->x() + 4, messageLabel->y());
    }
}

// ---- Daily log -----------------------------------------------------------------------------------

bool TForm1::recipientsPending() const {
    return pageInProgress_ ||
           (multiSend && inServiceRange(currentService) && !recipientLists[currentService].empty());
}

void TForm1::failPending(const std::string& logText) {
    if (!recipientsPending()) return;
    logError(logText, false);
    // Named once: they are not paged on this service any more.
    pageInProgress_ = false;
    if (multiSend && inServiceRange(currentService)) recipientLists[currentService].clear();
}

void TForm1::logError(const std::string& text, bool thisRecipientOnly) {
    if (loggingEnabled) writelogError(text, thisRecipientOnly);
}

void TForm1::writeLogFile(const std::string& Text) {
    std::string error;
    if (!log_.append(loggingDir, Text, error)) reportLogFailure(error);
}

void TForm1::reportLogFailure(const std::string& error) {
    if (logFailureShown_) return;
    logFailureShown_ = true;
    setStatusBarText("Error: Unable to write log file: " + error);
}

void TForm1::writelogMessageSent() {
    const bool held = holdTime.size() == 12 && holdAccepted_;
    const std::string service =
        inServiceRange(currentService) ? services[currentService].name : std::string();
    const std::string message =
        inServiceRange(currentService) ? serviceMessage[currentService] : std::string();
    writeLogFile(std::string(held ? "Message Sent OK for future delivery" : "Message Sent OK") +
                 ", SRVC:" + service + ", CONTACT:" + currentName + ", MSG:" + message);
}

void TForm1::writelogError(const std::string& Text, bool ThisRecipientOnly) {
    const bool known = inServiceRange(currentService);
    std::string names;
    if (multiSend && !ThisRecipientOnly) {
        // The page in progress failed with the service, so it is named with those still waiting.
        if (pageInProgress_) names = currentName;
        if (known)
            for (const std::string& n : recipientLists[currentService]) {
                if (!names.empty()) names += ',';
                names += n;
            }
    } else {
        names = currentName;
    }
    writeErrorLine(Text, names);
}

void TForm1::writeErrorLine(const std::string& Text, const std::string& names) {
    const bool known = inServiceRange(currentService);
    writeLogFile(Text + ", SRVC:" + (known ? services[currentService].name : std::string()) +
                 ", CONTACTS:" + names + ", MSG:" + (known ? serviceMessage[currentService] : std::string()));
}
