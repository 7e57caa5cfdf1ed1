// The future-delivery window: the hold time made from a date and a 12-hour time, each refused
// field with its message while the window stays open, and Cancel clearing the hold time.
#include "app/sendLater.h"

#include "app/Unit1.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "tests/app/AppFixture.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace snpptest;

namespace {

const char* const kTimeError = "Error in time field. Use format hh:mm";
const char* const kDateError = "Error formatting your date input";
const char* const kHourError = "Error formatting your hour input";

std::string hold(const std::string& time, bool pm, std::string y = "24", std::string m = "03",
                 std::string d = "07") {
    std::string error;
    std::string h = makeHoldTime(y, m, d, time, pm, error);
    return h.empty() ? "error: " + error : h;
}

TEST(HoldTime, TwelveHourTimesAndEachBadField) {
    EXPECT_EQ(hold("9:05", true), "240307210500");
    EXPECT_EQ(hold("12:00", false), "240307000000");
    EXPECT_EQ(hold("12:30", true), "240307123000");
    EXPECT_EQ(hold("11:59", true, "99", "12", "31"), "991231235900");
    const std::string time = "error: " + std::string(kTimeError);
    const std::string date = "error: " + std::string(kDateError);
    const std::string hour = "error: " + std::string(kHourError);
    for (const char* t : {"0905", "9:5", "09:60", "123:45"})
        EXPECT_EQ(hold(t, true), time) << t;
    const char* const dates[][3] = {
        {"24", "3", "07"}, {"24", "13", "07"}, {"24", "00", "07"}, {"24", "03", "32"}};
    for (const auto& d : dates)
        EXPECT_EQ(hold("9:05", true, d[0], d[1], d[2]), date) << d[0] << "-" << d[1] << "-" << d[2];
    for (const char* t : {"13:00", "0:30"})
        EXPECT_EQ(hold(t, true), hour) << t;
    // The time is judged before the date, the date before the hour.
    EXPECT_EQ(hold("0905", true, "24", "13"), time);
    EXPECT_EQ(hold("13:00", true, "24", "13"), date);
}

class SendLaterWindow : public testing::Test {
protected:
    void SetUp() override {
        cls::Application.Initialize();
        holdTime.clear();
        form = std::make_unique<TSendLaterForm>();
        form->today = [] {
            std::tm t{};
            t.tm_year = 2024 - 1900;
            t.tm_mon = 2;
            t.tm_mday = 7;
            return t;
        };
    }
    void TearDown() override {
        form.reset();
        holdTime.clear();
    }
    void open() {
        form->show();
        QApplication::processEvents();
    }

    cls::ScriptedDialogs dialogs;
    std::unique_ptr<TSendLaterForm> form;
};

TEST_F(SendLaterWindow, BadFieldsKeepTheWindowOpenAndLeavingClearsTheHoldTime) {
    holdTime = "240101010000"; // from an earlier send: must not change on an error
    open();
    retype(form->timeEdit, "14:05");
    form->sendButton->click();
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{kHourError});
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(holdTime, "240101010000");

    // Leaving by Escape (or the close box) must not leave an earlier hold time to be sent again.
    QTest::keyClick(form.get(), Qt::Key_Escape);
    EXPECT_TRUE(holdTime.empty());
    // Nor by Cancel.
    holdTime = "240101010000";
    open();
    form->cancelButton->click();
    EXPECT_TRUE(holdTime.empty());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(SendLaterWindow, ShowModalShowsTodayAndReturnsWhenSendIsPressed) {
    snpptest::whenShown(form.get(), [this] {
        typeKeys(form->timeEdit, "12:15");
        form->sendButton->click();
    });
    EXPECT_EQ(form->ShowModal(), QDialog::Accepted);
    EXPECT_EQ(holdTime, "240307001500");
}

} // namespace
