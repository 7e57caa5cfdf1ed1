// Renders every window of the paging client offscreen to PNG (under the build directory, as a test
// artefact) and checks its layout: every visible control inside its window and its container, no two
// visible controls overlapping, and fixed captions not cut off.
#include "app/Adminlogon.h"
#include "app/about.h"
#include "app/config.h"
#include "app/contactsGrid.h"
#include "app/instructions.h"
#include "app/results.h"
#include "app/sendLater.h"
#include "app/viewContact.h"

#include "tests/app/AppFixture.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <filesystem>
#include <sstream>

using namespace snpptest;

namespace {

// A control as the user sees it: a widget of one of the control kinds, not part of a composite
// control (a grid's scroll bars, a combo box's button, the menu bar's items).
bool isControl(const QWidget* w) {
    const bool kind = qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w) ||
                      qobject_cast<const QLineEdit*>(w) || qobject_cast<const QComboBox*>(w) ||
                      qobject_cast<const QAbstractScrollArea*>(w) || qobject_cast<const QGroupBox*>(w) ||
                      qobject_cast<const QTabWidget*>(w) || qobject_cast<const QStatusBar*>(w) ||
                      qobject_cast<const QMenuBar*>(w) || w->metaObject() == &QFrame::staticMetaObject;
    if (!kind) return false;
    for (const QWidget* p = w->parentWidget(); p && !p->isWindow(); p = p->parentWidget())
        if (qobject_cast<const QAbstractScrollArea*>(p) || qobject_cast<const QComboBox*>(p) ||
            qobject_cast<const QTabBar*>(p) || qobject_cast<const QStatusBar*>(p) ||
            qobject_cast<const QMenuBar*>(p) || qobject_cast<const QLineEdit*>(p))
            return false;
    return true;
}

std::string describe(const QWidget* w) {
    const QRect r = w->geometry();
    std::ostringstream s;
    s << (w->objectName().isEmpty() ? w->metaObject()->className() : w->objectName().toStdString()) << " ["
      << r.x() << "," << r.y() << " " << r.width() << "x" << r.height() << "]";
    return s.str();
}

// Text a control shows in one line, without the accelerator mark.
QString shownText(const QWidget* w) {
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->wordWrap() ? QString() : l->text();
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return QString(b->text()).remove('&');
    return {};
}

// Saves the window to PNG and returns the layout faults found in it ("" when none).
std::string checkWindow(QWidget* window, const std::string& picture) {
    window->show();
    QApplication::processEvents();
    const std::filesystem::path dir = std::filesystem::path(PW_BINARY_DIR) / "test-artifacts" / "windows";
    std::filesystem::create_directories(dir);
    const QPixmap pixmap = window->grab();
    std::string faults;
    if (pixmap.isNull() || !pixmap.save(QString::fromStdString((dir / (picture + ".png")).string())))
        faults += "picture not saved\n";

    std::vector<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (!w->isWindow() && w->isVisibleTo(window) && isControl(w)) controls.push_back(w);
    if (controls.empty()) faults += "no controls\n";

    const QRect inside = window->rect();
    for (QWidget* w : controls) {
        const QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!inside.contains(r)) faults += "outside the window: " + describe(w) + "\n";
        const QWidget* parent = w->parentWidget();
        if (parent && parent != window && !parent->rect().contains(w->geometry()))
            faults += "outside its container: " + describe(w) + "\n";
        if (r.isEmpty()) faults += "empty: " + describe(w) + "\n";
        const QString text = shownText(w);
        if (!text.isEmpty()) {
            const int needed = w->fontMetrics().horizontalAdvance(text);
            int room = w->width();
            if (qobject_cast<QCheckBox*>(w))
                room -= 20; // the box
            else if (qobject_cast<QPushButton*>(w))
                room -= 4;
            if (needed > room && !w->objectName().startsWith("group")) // group names are the user's
                faults += "caption cut off (" + std::to_string(needed) + " px needed): " + describe(w) + "\n";
        }
    }
    for (size_t i = 0; i < controls.size(); ++i)
        for (size_t j = i + 1; j < controls.size(); ++j) {
            QWidget* a = controls[i];
            QWidget* b = controls[j];
            if (a->isAncestorOf(b) || b->isAncestorOf(a)) continue;
            const QRect ra(a->mapTo(window, QPoint(0, 0)), a->size());
            const QRect rb(b->mapTo(window, QPoint(0, 0)), b->size());
            if (ra.intersects(rb)) faults += "overlap: " + describe(a) + " and " + describe(b) + "\n";
        }
    return faults;
}

// The caption the window system shows: a title that does not end with the application's display
// name, when one is set apart from its name, gets a dash and that name added.
QString shownTitle(const QWidget* w) {
    const QString name = QGuiApplication::applicationDisplayName();
    const QString title = w->windowTitle();
    if (name == QCoreApplication::applicationName() || title.endsWith(name)) return title;
    return title + QString::fromUtf8(" \u2014 ") + name;
}

using Pictures = WindowTest;

TEST_F(Pictures, EveryWindowIsLaidOutWithoutOverlapsOrCutCaptions) {
    // Created before the main window, as at program start, so that its first showing hides what
    // it hides in the others.
    auto contacts = std::make_unique<TcontactsGridForm>();
    auto view = std::make_unique<TviewContactForm>();
    auto instructions = std::make_unique<TInstructionsForm>();
    auto config = std::make_unique<TconfigForm>();
    auto about = std::make_unique<TAboutForm>();
    auto logon = std::make_unique<TlogonForm>();
    auto later = std::make_unique<TSendLaterForm>();
    pwtest::writeFile("snppqorn.ini", "[Groups]\ngroup1Name=Sales\ngroup2Name=Drivers\ngroup10Name=Board\n");
    startApp({{"Alice", "5551234", 1, "", {1}}, {"Bob", "5555678", 1, "", {2}}});

    EXPECT_EQ(checkWindow(contacts.get(), "contactsGridForm"), "");
    // As designed, with the service and password editors and the service list showing.
    for (QWidget* w : std::initializer_list<QWidget*>{contacts->servicelistPanel, contacts->serviceLabel,
                                                      contacts->ServicenumberEdit, contacts->passwordLabel,
                                                      contacts->passwordEdit})
        w->show();
    EXPECT_EQ(checkWindow(contacts.get(), "contactsGridForm-design"), "");
    contacts->close();

    view->nameLabel->setText("Alice");
    view->idLabel->setText("5551234");
    view->serviceLabel->setText("1  [Tarvo]");
    EXPECT_EQ(checkWindow(view.get(), "viewContactForm"), "");
    EXPECT_EQ(checkWindow(instructions.get(), "InstructionsForm"), "");
    about->versionLabel->setText("Version: 3.10");
    EXPECT_EQ(checkWindow(about.get(), "AboutForm"), "");
    EXPECT_EQ(checkWindow(logon.get(), "logonForm"), "");
    EXPECT_EQ(logon->passwordEdit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(logon->passwordEdit->maxLength(), 10);
    EXPECT_EQ(checkWindow(later.get(), "SendLaterForm"), "");
    EXPECT_EQ(checkWindow(results.get(), "sendingMemoForm"), "");
    for (const QWidget* w : std::initializer_list<const QWidget*>{
             form.get(), contacts.get(), view.get(), instructions.get(), config.get(), about.get(),
             logon.get(), later.get(), results.get()})
        EXPECT_LE(shownTitle(w).count("Pagewright"), 1) << shownTitle(w).toStdString();
    EXPECT_EQ(shownTitle(form.get()).toStdString(), "Pagewright - Ostrevane");

    // Each page of the configuration window, the hidden ones as designed.
    for (TTabSheet* sheet : {config->GeneralTabSheet, config->GroupsTabSheet, config->MessagesTabSheet,
                             config->servicesTabSheet, config->HelpTabSheet}) {
        sheet->show();
        config->show();
        config->PageControl1->setCurrentWidget(sheet->parentWidget());
        EXPECT_EQ(checkWindow(config.get(), "configForm-" + sheet->objectName().toStdString()), "");
    }
}

TEST_F(Pictures, MainWindowIsLaidOutWithoutOverlapsOrCutCaptions) {
    pwtest::writeFile("snppqorn.ini", "[Groups]\ngroup1Name=Sales\ngroup2Name=Drivers\ngroup10Name=Board\n");
    startApp({{"Alice", "5551234", 1, "", {1}}, {"Bob", "5555678", 1, "", {2}}});
    EXPECT_EQ(checkWindow(form.get(), "Form1"), "");
    form->NamesSelectingPanel->show();
    form->groupSelectingLabel->show();
    form->arrowlabel->show();
    EXPECT_EQ(checkWindow(form.get(), "Form1-all"), "");
}

// The lists and the grid take the room their window gives them: at the first size every group row
// shows (a long name's scroll bar under them, not over them), no empty strip is left where the
// hidden service list would be, and a larger window goes to the lists.
TEST_F(Pictures, ListsTakeTheRoomTheirWindowGivesThem) {
    auto contacts = std::make_unique<TcontactsGridForm>();
    pwtest::writeFile("snppqorn.ini", "[Groups]\ngroup1Name=Sales\ngroup2Name=Drivers\n"
                                      "group10Name=Regional maintenance night crew\n");
    startApp({{"Alice", "5551234", 1, "", {1}}, {"Bob", "5555678", 1, "", {2}}});
    form->show();
    QApplication::processEvents();

    QListWidget* groups = form->groupsListBox;
    ASSERT_EQ(groups->count(), 3);
    auto shownRows = [groups] {
        const QRect room = groups->viewport()->rect();
        int rows = 0;
        for (int row = 0; row < groups->count(); ++row) {
            const QRect r = groups->visualRect(groups->model()->index(row, 0));
            if (r.top() >= room.top() && r.bottom() <= room.bottom()) ++rows;
        }
        return rows;
    };
    EXPECT_EQ(shownRows(), 3) << "groups list " << describe(groups) << ", viewport height "
                              << groups->viewport()->height();
    EXPECT_GE(form->namesListbox->height(), 140);
    const QSize groupsSize = groups->size();
    const int namesHeight = form->namesListbox->height();
    form->resize(form->width() + 80, form->height() + 80);
    QApplication::processEvents();
    EXPECT_EQ(groups->width(), groupsSize.width() + 80);
    EXPECT_GT(groups->height(), groupsSize.height());
    EXPECT_GT(form->namesListbox->height(), namesHeight);

    contacts->show();
    QApplication::processEvents();
    ASSERT_TRUE(contacts->servicelistPanel->isHidden());
    int rightmost = 0;
    for (QWidget* w : contacts->findChildren<QWidget*>())
        if (!w->isWindow() && w->isVisibleTo(contacts.get()) && isControl(w))
            rightmost = std::max(rightmost, w->mapTo(contacts.get(), QPoint(w->width(), 0)).x());
    EXPECT_GE(rightmost, contacts->width() - 12) << "empty strip on the right of the contacts window";
    const QHeaderView* header = contacts->DBGrid1->horizontalHeader();
    EXPECT_EQ(header->length(), contacts->DBGrid1->viewport()->width()) << "the columns leave the grid empty";
    const QSize grid = contacts->DBGrid1->size();
    contacts->resize(contacts->width() + 60, contacts->height() + 40);
    QApplication::processEvents();
    EXPECT_EQ(contacts->DBGrid1->size(), grid + QSize(60, 40));
    contacts->close();
}

} // namespace
