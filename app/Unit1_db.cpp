// The main window's contacts database: the in-process engine, and the client, session and contacts
// table it connects at its first showing.
#include "app/Unit1.h"
#include "app/Unit1_glue.h"
#include "app/uQBSRJrn.h"
#include "db/client/qbclcfg.h"

#include <filesystem>
#include <system_error>

const char* const kContactsDatabase = "pageBASE";
const char* const kContactsTable = "contacts";
const char* const kContactsAlias = "pagebase";

namespace {

// Runs one step of the connection; a failure is shown and the next step goes on.
template <class Step> void guarded(Step&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        showException(e.what());
    } catch (...) {
        showException("Unknown error");
    }
}

std::string currentDirectory() {
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    if (ec) throw std::runtime_error("The current directory cannot be read: " + ec.message());
    return here.string();
}

} // namespace

void TForm1::createEngine() {
    engine_.reset(new TqbServerEngine(nullptr));
    engine_->SetName("qbServerEngine1");
    engine_->ScriptFile = "pagebase.scr";
    // Journals found at start-up are put to the operator.
    engine_->OnJournalPrompt = AskJournalForm;
    qbServerEngine1 = engine_.get();
}

void TForm1::connectToDB() {
    if (!contactsClient) {
        guarded([&] {
            contactsClient.reset(new TqbClient(nullptr));
            // A database server named in the client configuration holds the contacts; without
            // one the program's own engine does.
            std::string server;
            ReadServerName(server);
            if (server.empty()) contactsClient->SetServerEngine(qbServerEngine1);
            contactsClient->SetAutoClientName(true);
        });
    }
    if (!contactsSession) {
        guarded([&] {
            contactsSession.reset(new TqbSession(nullptr));
            if (contactsClient) contactsSession->SetClientName(contactsClient->ClientName());
            contactsSession->SetAutoSessionName(true);
            contactsSession->Open();
            if (!contactsSession->IsAlias(kContactsAlias))
                contactsSession->AddAlias(kContactsAlias, currentDirectory());
        });
    }
    if (!contactsTable) {
        guarded([&] {
            contactsTable = std::make_unique<TqbTable>(nullptr);
            if (contactsSession) contactsTable->SetSessionName(contactsSession->SessionName());
            contactsTable->SetDatabaseName(kContactsDatabase);
            contactsTable->SetTableName(kContactsTable);
            contactsTable->SetIndexName("nameIndex");
            contactsTable->Open();
        });
    }
}

void TForm1::FormDestroy() {
    contactsTable.reset();
    contactsSession.reset();
    contactsClient.reset();
}

bool TForm1::contactsOpen() const {
    return contactsTable && contactsTable->Active();
}
