// TSendLaterForm: the future-delivery window and the checks that turn its date and time into the
// hold time of the SNPP dialogue.
#include "app/sendLater.h"

#include "app/FormControls.h"
#include "app/Unit1.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"

#include <QLabel>
#include <cstdio>
#include <ctime>

TSendLaterForm* SendLaterForm = nullptr;

namespace {

const char* const kTimeError = "Error in time field. Use format hh:mm";
const char* const kDateError = "Error formatting your date input";
const char* const kHourError = "Error formatting your hour input";

using appui::label;

QLineEdit* edit(QWidget* parent, const char* name, int maxLength, int x, int y, int w) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setMaxLength(maxLength);
    e->setGeometry(x, y, w, 22);
    return e;
}

bool digits(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return !s.empty();
}

// Two digits making a number in [lo, hi].
bool twoDigitsIn(const std::string& s, int lo, int hi) {
    if (s.size() != 2 || !digits(s)) return false;
    const int v = (s[0] - '0') * 10 + (s[1] - '0');
    return v >= lo && v <= hi;
}

} // namespace

// The server takes the hold time as it stands, so every field is checked for digits and range
// here: a wrong time would otherwise be sent, or give no hold time and no message at all.
std::string makeHoldTime(const std::string& year, const std::string& month, const std::string& day,
                         const std::string& time, bool pm, std::string& error) {
    std::string t = time;
    if (t.size() == 4 && t[1] == ':') t = "0" + t;
    if (t.size() != 5 || t[2] != ':' || !twoDigitsIn(t.substr(3, 2), 0, 59)) {
        error = kTimeError;
        return {};
    }
    if (!twoDigitsIn(year, 0, 99) || !twoDigitsIn(month, 1, 12) || !twoDigitsIn(day, 1, 31)) {
        error = kDateError;
        return {};
    }
    if (!twoDigitsIn(t.substr(0, 2), 1, 12)) {
        error = kHourError;
        return {};
    }
    int hour = (t[0] - '0') * 10 + (t[1] - '0');
    if (pm && hour >= 1 && hour <= 11) hour += 12;
    if (!pm && hour == 12) hour = 0;
    const std::string hh{char('0' + hour / 10), char('0' + hour % 10)};
    error.clear();
    return year + month + day + hh + t.substr(3, 2) + "00";
}

TSendLaterForm::TSendLaterForm(QWidget* parent) : QDialog(parent) {
    setObjectName("SendLaterForm");
    setWindowTitle("Send, for future delivery");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
    setFixedSize(404, 212);
    today = [] {
        std::time_t now = std::time(nullptr);
        std::tm t{};
        localtime_r(&now, &t);
        return t;
    };

    label(this, "introLabel", "Use this screen to send a message, for later delivery.", 12, 10);
    label(this, "cancelNoteLabel", "To send a message for immediate delivery, choose 'Cancel'", 12, 30);
    label(this, "cancelNote2Label", "below, and use the normal SEND button on the main screen.", 12, 48);

    label(this, "monthLabel", "Month:", 12, 84);
    monthEdit = edit(this, "monthEdit", 2, 64, 80, 32);
    label(this, "dateLabel", "Date:", 112, 84);
    dateEdit = edit(this, "dateEdit", 2, 152, 80, 32);
    label(this, "yearLabel", "Year:", 200, 84);
    yearEdit = edit(this, "yearEdit", 2, 240, 80, 32);

    label(this, "timeLabel", "Time:", 12, 118);
    timeEdit = edit(this, "timeEdit", 5, 64, 114, 52);
    amPmComboBox = new QComboBox(this);
    amPmComboBox->setObjectName("amPmComboBox");
    amPmComboBox->setEditable(false);
    amPmComboBox->addItem("AM");
    amPmComboBox->addItem("PM");
    amPmComboBox->setGeometry(124, 113, 60, 24);
    label(this, "timeFormatLabel", "(hh:mm)", 192, 118);
    label(this, "timeExampleLabel", "example: 06:45  PM", 64, 142);

    sendButton = new QPushButton("Send", this);
    sendButton->setObjectName("sendButton");
    sendButton->setGeometry(110, 174, 84, 28);
    cancelButton = new QPushButton("Cancel", this);
    cancelButton->setObjectName("cancelButton");
    cancelButton->setGeometry(210, 174, 84, 28);
    QObject::connect(sendButton, &QPushButton::clicked, this, cls::Guarded([this] { sendButtonClick(); }));
    QObject::connect(cancelButton, &QPushButton::clicked, this,
                     cls::Guarded([this] { cancelButtonClick(); }));

    if (!SendLaterForm) SendLaterForm = this;
    FormCreate();
}

TSendLaterForm::~TSendLaterForm() {
    if (SendLaterForm == this) SendLaterForm = nullptr;
}

int TSendLaterForm::ShowModal() {
    return exec();
}

void TSendLaterForm::FormCreate() {
    amPmComboBox->setCurrentIndex(0);
}

void TSendLaterForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    try {
        FormShow();
    } catch (...) {
        cls::Application.HandleException(std::current_exception());
    }
}

void TSendLaterForm::FormShow() {
    const std::tm t = today();
    char buf[12]; // room for any int
    std::snprintf(buf, sizeof buf, "%02d", (t.tm_year + 1900) % 100);
    yearEdit->setText(buf);
    std::snprintf(buf, sizeof buf, "%02d", t.tm_mon + 1);
    monthEdit->setText(buf);
    std::snprintf(buf, sizeof buf, "%02d", t.tm_mday);
    dateEdit->setText(buf);
}

void TSendLaterForm::sendButtonClick() {
    std::string error;
    const std::string hold =
        makeHoldTime(cls::fromQString(yearEdit->text()), cls::fromQString(monthEdit->text()),
                     cls::fromQString(dateEdit->text()), cls::fromQString(timeEdit->text()),
                     amPmComboBox->currentText() == "PM", error);
    if (hold.empty()) {
        cls::ShowMessage(error);
        return; // the window stays open for a correction
    }
    holdTime = hold;
    accept();
}

void TSendLaterForm::cancelButtonClick() {
    reject();
}

void TSendLaterForm::reject() {
    holdTime.clear();
    QDialog::reject();
}
