// TcontactsGridForm: the "Contacts Database  -  Pagewright" window (a shell until the windows of the paging
// client are built).
#pragma once
#include <QWidget>

class TcontactsGridForm : public QWidget {
    Q_OBJECT
public:
    explicit TcontactsGridForm(QWidget* parent = nullptr);
    ~TcontactsGridForm() override;
    // Controls the main window hides at its first showing.
    QWidget* servicelistPanel = nullptr;
    QWidget* serviceLabel = nullptr;
    QWidget* ServicenumberEdit = nullptr;
    QWidget* passwordLabel = nullptr;
    QWidget* passwordEdit = nullptr;
};

extern TcontactsGridForm* contactsGridForm;
