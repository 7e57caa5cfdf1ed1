// TJournalForm: the dialog that asks the operator what to do with a journal found at start-up, and
// the recovery question answered by it.
#pragma once
#include "db/storage/qbsrjour.h"

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include <string>

class TJournalForm : public QDialog {
    Q_OBJECT
public:
    explicit TJournalForm(QWidget* parent = nullptr);

    // Captions, texts, colour and the buttons shown for the kind of journal (0 to 3).
    void Setup(int Kind, const std::string& Alias, const std::string& Path, const std::string& FileName,
               const std::string& ErrorText);
    // 1 for the first button, 2 for "&Rollback"; 0 when the dialog was closed otherwise (Escape
    // never means Rollback).
    int ShowModal();
    void PrintBtnClick();

    QFrame* LeftPanel = nullptr;
    QFrame* Bevel = nullptr;
    QFrame* RightPanel = nullptr;
    QLabel* CompletenessLabel = nullptr;
    QLabel* AliasLabel = nullptr;
    QLabel* PathLabel = nullptr;
    QLabel* FilenameLabel = nullptr;
    QLabel* ExceptionLabel = nullptr;
    QLabel* ActionLabel = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* RollbackBtn = nullptr;
    QPushButton* PrintBtn = nullptr;
};

// Asks through a new TJournalForm: the answer to one recovery question (the engine's hook).
int AskJournalForm(int Kind, const std::string& Alias, const std::string& Path, const std::string& FileName,
                   const std::string& ErrorText);

// Asks through a new TJournalForm for each question.
class TJournalFormPrompt : public TqbJournalPrompt {
public:
    int Ask(int Kind, const std::string& Alias, const std::string& Path, const std::string& FileName,
            const std::string& ErrorText) override;
};
