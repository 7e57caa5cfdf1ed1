// The paging client's test bench: windows, current directory, clock and send helpers.
#include "tests/app/AppFixture.h"

#include "app/ContactsTable.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/QtText.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTimer>
#include <filesystem>
#include <unistd.h>

namespace snpptest {

void typeKeys(QWidget* w, const std::string& text) {
    for (QChar c : cls::toQString(text)) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &release);
    }
}

void retype(QWidget* lineEdit, const std::string& text) {
    QKeyEvent selectAll(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
    QApplication::sendEvent(lineEdit, &selectAll);
    if (!text.empty()) return typeKeys(lineEdit, text);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(lineEdit, &del);
}

std::string labelText(const QLabel* l) {
    return cls::fromQString(l->text());
}

void whenShown(QWidget* w, std::function<void()> f, int realMs) {
    auto* timer = new QTimer(w);
    auto clock = std::make_shared<QElapsedTimer>();
    auto ran = std::make_shared<bool>(false);
    clock->start();
    QObject::connect(timer, &QTimer::timeout, w, [timer, w, f = std::move(f), clock, ran, realMs] {
        const bool late = clock->elapsed() > realMs;
        if (!*ran && w->isVisible()) {
            *ran = true;
            f();
            return;
        }
        // A window left open would keep its modal loop, and the test, waiting for ever.
        if (*ran && w->isVisible() && late) w->close();
        if ((*ran && !w->isVisible()) || late) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(5);
}

void AppTest::SetUp() {
    char buf[4096];
    oldCwd = ::getcwd(buf, sizeof buf) ? buf : "/";
    ASSERT_EQ(::chdir(dir.str().c_str()), 0);
    plat::SetClock(&clock);
    backupPort = static_cast<uint16_t>(guard.refusedPort());
    logDay.tm_year = 2024 - 1900;
    logDay.tm_mon = 2;
    logDay.tm_mday = 7;
    logDay.tm_hour = 10;
    // Logging on, in the default folder.
    pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=1\n");
}

void AppTest::TearDown() {
    form.reset();
    results.reset();
    snpptest::pumpFor(0);
    EXPECT_EQ(guard.strays(), std::vector<std::string>{}) << "connects to ports the test does not own";
    plat::SetClock(nullptr);
    (void)!::chdir(oldCwd.c_str());
}

void AppTest::startApp(const std::vector<Contact>& contacts, bool withPassword) {
    seedContacts(contacts, withPassword);
    showApp();
}

void AppTest::showApp() {
    results = std::make_unique<TsendingMemoForm>();
    form = std::make_unique<TForm1>();
    builtIn1 = services[1];
    services[1].hostField = services[1].backupHostField = "127.0.0.1";
    services[1].port = guard.refusedPort();
    splitIPintoParts();
    form->dailyLog().setTimeSource([this] { return logDay; });
    form->sleepFn = [](uint32_t) {};
    form->show();
    QApplication::processEvents();
}

void AppTest::restartApp() {
    form.reset();
    results.reset();
    std::filesystem::remove_all("logs");
}

void AppTest::startWithAlice(int port) {
    startApp({{"Alice", "5551234", 1}});
    pointService(1, port);
}

void AppTest::pointService(int k, int port, const std::string& hostExtra) {
    services[k].name = k == 1 ? "Tarvo" : "Service" + std::to_string(k);
    services[k].hostField = "127.0.0.1" + hostExtra;
    services[k].port = port;
    if (services[k].maxChars < 1) services[k].maxChars = 1000;
    if (services[k].splitChars < 1) services[k].splitChars = 1000;
    splitIPintoParts();
}

void AppTest::selectSingle(const std::string& name) {
    form->toNameLabel->setText(cls::toQString(name));
}

void AppTest::checkNames(const std::vector<std::string>& names) {
    for (const auto& n : names) {
        const int i = form->namesListbox->Items.IndexOf(n);
        ASSERT_GE(i, 0) << n;
        form->namesListbox->SetItemState(i, cbChecked);
    }
}

void AppTest::selectGroup(int group) {
    const std::string prefix = "G" + std::to_string(group) + ": ";
    for (int r = 0; r < form->groupsListBox->count(); ++r) {
        if (cls::fromQString(form->groupsListBox->item(r)->text()).rfind(prefix, 0) == 0) {
            form->groupsListBox->setCurrentRow(r);
            form->groupSelectingLabel->setVisible(true);
            return;
        }
    }
    FAIL() << "no group " << group;
}

void AppTest::setMessage(const std::string& text) {
    form->messageMemo->setPlainText(cls::toQString(text));
}

void AppTest::sendTo(const std::string& name, const std::string& text) {
    selectSingle(name);
    setMessage(text);
    form->sendButtonClick(form->sendButton);
}

void AppTest::sendToChecked(const std::vector<std::string>& names, const std::string& text) {
    checkNames(names);
    setMessage(text);
    form->sendButtonClick(form->sendButton);
}

std::vector<std::string> AppTest::groupItems() const {
    std::vector<std::string> items;
    for (int r = 0; r < form->groupsListBox->count(); ++r)
        items.push_back(cls::fromQString(form->groupsListBox->item(r)->text()));
    return items;
}

void AppTest::advance(uint64_t ms) {
    while (ms > 0) {
        const uint64_t step = std::min<uint64_t>(ms, kTimerInterval);
        clock.Advance(step);
        ms -= step;
        plat::ProcessPendingMessages();
        QApplication::processEvents();
    }
}

std::vector<std::string> AppTest::resultsLines() const {
    std::vector<std::string> lines;
    if (form) form->resultsFlush();
    const std::string all = results->linesText();
    size_t start = 0;
    if (all.empty()) return lines;
    for (;;) {
        const size_t nl = all.find('\n', start);
        lines.push_back(all.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

std::string AppTest::logText() const {
    return pwtest::readFile("logs/03_07_24.txt");
}

void WindowTest::SetUp() {
    AppTest::SetUp();
    cls::Application.Initialize();
}

// ---- Contacts ------------------------------------------------------------------------------------

namespace {

ContactRow rowOf(const Contact& c) {
    ContactRow r{c.name, c.id, c.service, c.pin, {}};
    for (int g : c.groups)
        if (g >= 1 && g <= 10) r.groups[g - 1] = true;
    return r;
}

} // namespace

ContactsStore::ContactsStore(bool ownEngine) {
    engine_ = Form1 && !ownEngine ? Form1->qbServerEngine1 : nullptr;
    if (!engine_) {
        own_.reset(new TqbServerEngine());
        engine_ = own_.get();
    }
    client_.reset(new TqbClient());
    client_->SetServerEngine(engine_);
    client_->SetAutoClientName(true);
    session_.reset(new TqbSession());
    session_->SetClientName(client_->ClientName());
    session_->SetAutoSessionName(true);
    session_->Open();
    database_.reset(new TqbDatabase());
    database_->SetSessionName(session_->SessionName());
    database_->SetDatabaseName(std::filesystem::current_path().string());
    database_->Open();
}

ContactsStore::~ContactsStore() {
    table_.reset();
    database_.reset();
    session_.reset();
    client_.reset();
    if (own_ && own_->State() == qbsStarted) own_->Shutdown();
}

TqbTable& ContactsStore::table() {
    if (!table_) {
        table_ = std::make_unique<TqbTable>();
        table_->SetSessionName(session_->SessionName());
        table_->SetDatabaseName(database_->DatabaseName());
        table_->SetTableName(kContactsTable);
        table_->SetIndexName("nameIndex");
        table_->Open();
    }
    return *table_;
}

void seedContacts(const std::vector<Contact>& contacts, bool withPassword) {
    if (Form1) throw std::logic_error("seedContacts: the program has the contacts table open");
    dropContacts();
    std::vector<ContactRow> rows;
    for (const Contact& c : contacts)
        rows.push_back(rowOf(c));
    if (!makeContactsTable(std::filesystem::current_path().string(), contactsDictionary(withPassword), rows))
        throw std::runtime_error("seedContacts: the contacts table could not be removed");
}

void dropContacts() {
    ContactsStore store;
    // A folder without the table answers with an error: there is nothing to remove.
    store.engine().TableDelete(store.databaseID(), kContactsTable);
}

void addContact(const Contact& c, bool ownEngine) {
    ContactsStore store(ownEngine);
    TqbTable& t = store.table();
    const TqbResultCode stored =
        store.engine().RecordInsert(t.CursorID(), qbltNone, contactRecord(t.Dictionary(), rowOf(c)));
    if (stored != 0) throw ContactsTableError("storing " + c.name, stored);
}

void deleteContact(const std::string& name) {
    ContactsStore store;
    TqbTable& t = store.table();
    if (t.FindKey({cls::Variant(name)})) t.Delete();
}

std::string storedField(const std::string& name, const std::string& field) {
    ContactsStore store;
    TqbTable& t = store.table();
    return t.FindKey({cls::Variant(name)}) ? t.FieldByName(field)->AsString() : "<missing>";
}

} // namespace snpptest
