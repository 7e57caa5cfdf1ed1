// TSendLaterForm: the "Send, for future delivery" window; Send turns the date and time entered into
// the hold time of the next page ("YYMMDDHHMMSS"), Cancel clears it.
#pragma once
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <ctime>
#include <functional>
#include <string>

// The hold time for a date (two digits each of year, month and day), a time "hh:mm" or "h:mm" and
// AM or PM. Returns the 12 characters, or an empty string with error set to the message to show.
std::string makeHoldTime(const std::string& year, const std::string& month, const std::string& day,
                         const std::string& time, bool pm, std::string& error);

class TSendLaterForm : public QDialog {
    Q_OBJECT
public:
    explicit TSendLaterForm(QWidget* parent = nullptr);
    ~TSendLaterForm() override;

    // Shows the window modally; returns when it is closed. holdTime then holds the result.
    int ShowModal();

    void FormCreate();
    void FormShow();
    void sendButtonClick();
    void cancelButtonClick();

    // Today's local date; tests pin it.
    std::function<std::tm()> today;

    QLineEdit* monthEdit = nullptr;
    QLineEdit* dateEdit = nullptr;
    QLineEdit* yearEdit = nullptr;
    QLineEdit* timeEdit = nullptr;
    QComboBox* amPmComboBox = nullptr;
    QPushButton* sendButton = nullptr;
    QPushButton* cancelButton = nullptr;

    // Every way of leaving without Send (Cancel, the close box, Escape) clears the hold time, so
    // that an earlier one is never sent again.
    void reject() override;

protected:
    void showEvent(QShowEvent* e) override;
};

extern TSendLaterForm* SendLaterForm;
