// TlogonForm: the "Administrator Logon" window (a shell until the windows of the paging client are built).
#pragma once
#include <QWidget>

class TlogonForm : public QWidget {
    Q_OBJECT
public:
    explicit TlogonForm(QWidget* parent = nullptr);
    ~TlogonForm() override;
};

extern TlogonForm* logonForm;
