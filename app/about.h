// TAboutForm: the "About" window (a shell until the windows of the paging client are built).
#pragma once
#include <QWidget>

class TAboutForm : public QWidget {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);
    ~TAboutForm() override;
};

extern TAboutForm* AboutForm;
