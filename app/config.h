// TconfigForm: the "Configuration  -  Pagewright" window (a shell until the windows of the paging client are
// built).
#pragma once
#include <QWidget>

class TconfigForm : public QWidget {
    Q_OBJECT
public:
    explicit TconfigForm(QWidget* parent = nullptr);
    ~TconfigForm() override;
    // The Services tab, hidden by the main window at its first showing.
    QWidget* servicesTabSheet = nullptr;
};

extern TconfigForm* configForm;
