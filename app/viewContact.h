// TviewContactForm: the "Contact Information" window (a shell until the windows of the paging client are
// built).
#pragma once
#include <QWidget>

class TviewContactForm : public QWidget {
    Q_OBJECT
public:
    explicit TviewContactForm(QWidget* parent = nullptr);
    ~TviewContactForm() override;
};

extern TviewContactForm* viewContactForm;
