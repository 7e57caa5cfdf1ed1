// TSendLaterForm: the "Send, for future delivery" window (a shell until the windows of the paging client are
// built).
#pragma once
#include <QWidget>

class TSendLaterForm : public QWidget {
    Q_OBJECT
public:
    explicit TSendLaterForm(QWidget* parent = nullptr);
    ~TSendLaterForm() override;
};

extern TSendLaterForm* SendLaterForm;
