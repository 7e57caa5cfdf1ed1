// The paging client's test bench: a temporary current directory, the in-memory contacts table, the
// results window and the main window, the manual clock, and helpers to drive a send.
#pragma once
#include "app/Unit1.h"

#include "app/results.h"
#include "platform/Messages.h"
#include "tests/app/SnppTestSupport.h"
#include "tests/support/TestSupport.h"
#include <QPushButton>

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace snpptest {

struct Contact {
    std::string name;
    std::string id;
    int service = 1;
    std::string pin{};
    std::vector<int> groups{}; // 1..10
};

// Creates the "contacts" table afresh (without the "password" field when withPassword is false)
// and stores the contacts in it.
void seedContacts(const std::vector<Contact>& contacts, bool withPassword = true);
// Removes one contact from the store (as the contacts window would during a send).
void deleteContact(const std::string& name);

// Types Windows-1252 text into w, one key event per character, as a keyboard would.
void typeKeys(QWidget* w, const std::string& text);
// Runs f from the event loop as soon as w is visible (for example inside its modal loop); gives up
// after realMs of real time.
void whenShown(QWidget* w, std::function<void()> f, int realMs = 10000);

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the windows (results window, then the main window) and shows the main window.
    void startApp(const std::vector<Contact>& contacts);
    // Points service 1 at 127.0.0.1:port ("127.0.0.1" + extra, e.g. ",user,pw").
    void pointService(int k, int port, const std::string& hostExtra = "");
    // Selects one recipient as the single-selection path does.
    void selectSingle(const std::string& name);
    void checkNames(const std::vector<std::string>& names);
    void selectGroup(int group);
    void setMessage(const std::string& text);
    // Advances the manual clock by ms in timer-sized steps, running the queue after each.
    void advance(uint64_t ms);
    // Results memo lines.
    std::vector<std::string> resultsLines() const; // (flushes the waiting lines first)
    std::string logText() const;                   // today's log file, every line
    std::string statusLabel() const { return form->statusLabelText(); }
    std::string statusBar() const { return form->statusBarText(); }

    pwtest::TempDir dir;
    std::string oldCwd;
    plat::ManualClock clock{1000000};
    std::unique_ptr<TsendingMemoForm> results;
    std::unique_ptr<TForm1> form;
    std::tm logDay{};
};

} // namespace snpptest
