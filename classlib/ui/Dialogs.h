// The dialog service: message boxes, Yes/No confirmations and beeps. Everything the program
// shows in a message box goes through it, so tests install ScriptedDialogs to read the texts
// and script the answers.
#pragma once
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace cls {

enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgDlgType { Warning, Error, Information, Confirmation, Custom };
// The button chosen, numbered as the modal results they stand in for.
enum ModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

class DialogService {
public:
    virtual ~DialogService() = default;
    // A modal box showing text (Windows-1252) under caption; returns the ModalResult chosen.
    virtual int MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                           MsgDlgType type) = 0;
    virtual void Beep() = 0;
};

// The service in use: the installed one, else the Qt one.
DialogService& dialogs();
// Installs a service (not owned); nullptr goes back to the Qt one.
void setDialogs(DialogService* service);

// OK box titled with the application's title.
void ShowMessage(const std::string& text);
// Box titled by its type ("Warning", "Error", "Information", "Confirm"); a Yes/No confirmation is
// MessageDlg(text, MsgDlgType::Confirmation, MsgButtons::YesNo) == mrYes.
int MessageDlg(const std::string& text, MsgDlgType type, MsgButtons buttons);
void Beep();

// The real service: QMessageBox and QApplication::beep. GUI thread only.
class QtDialogs : public DialogService {
public:
    int MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                   MsgDlgType type) override;
    void Beep() override;
};

// For tests. Installs itself for its lifetime (restoring the previous service afterwards),
// records every box and beep, and answers each box with the next queued answer; with none
// queued it answers with the box's first button (mrOk, or mrYes for Yes/No boxes).
class ScriptedDialogs : public DialogService {
public:
    struct Shown {
        std::string text;
        std::string caption;
        MsgButtons buttons;
        MsgDlgType type;
    };

    ScriptedDialogs();
    ~ScriptedDialogs() override;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    void Answer(int result); // queues the answer to a later box
    std::vector<Shown> Boxes() const;
    std::vector<std::string> Texts() const; // the texts of the boxes, in order
    int Beeps() const;
    void Clear();

    int MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                   MsgDlgType type) override;
    void Beep() override;

private:
    mutable std::mutex mu_;
    std::vector<Shown> boxes_;
    std::deque<int> answers_;
    int beeps_ = 0;
    DialogService* previous_;
};

} // namespace cls
