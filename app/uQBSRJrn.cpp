// TJournalForm: layout, the texts and colour per kind of journal, printing the dialog, and the
// recovery question put to the operator.
#include "app/uQBSRJrn.h"

#include "classlib/ui/Application.h"
#include "classlib/ui/QtText.h"

#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>

namespace {

constexpr int kLeftWidth = 440;

QLabel* panelLabel(QWidget* parent, const char* name, int y, int h, bool large) {
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    l->setGeometry(8, y, kLeftWidth - 16, h);
    l->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    l->setWordWrap(!large);
    if (large) {
        QFont f = l->font();
        f.setPointSize(f.pointSize() + 6);
        f.setBold(true);
        l->setFont(f);
    }
    return l;
}

QString fromAnsi(const std::string& s) {
    return cls::toQString(s);
}

} // namespace

TJournalForm::TJournalForm(QWidget* parent) : QDialog(parent) {
    setObjectName("JournalForm");
    setWindowTitle("Quillbase Journal Recovery");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint);
    setFixedSize(536, 193);

    LeftPanel = new QFrame(this);
    LeftPanel->setObjectName("LeftPanel");
    LeftPanel->setGeometry(0, 0, kLeftWidth, 193);
    Bevel = new QFrame(LeftPanel);
    Bevel->setObjectName("Bevel");
    Bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel->setGeometry(4, 4, kLeftWidth - 8, 185);
    CompletenessLabel = panelLabel(LeftPanel, "CompletenessLabel", 10, 32, true);
    AliasLabel = panelLabel(LeftPanel, "AliasLabel", 46, 18, false);
    PathLabel = panelLabel(LeftPanel, "PathLabel", 66, 18, false);
    FilenameLabel = panelLabel(LeftPanel, "FilenameLabel", 86, 18, false);
    ExceptionLabel = panelLabel(LeftPanel, "ExceptionLabel", 106, 40, false);
    ActionLabel = panelLabel(LeftPanel, "ActionLabel", 150, 32, true);

    RightPanel = new QFrame(this);
    RightPanel->setObjectName("RightPanel");
    RightPanel->setGeometry(kLeftWidth, 0, 536 - kLeftWidth, 193);
    auto button = [&](const char* name, const char* text, int y) {
        auto* b = new QPushButton(QString::fromLatin1(text), RightPanel);
        b->setObjectName(name);
        b->setGeometry(10, y, 76, 28);
        return b;
    };
    OKBtn = button("OKBtn", "OK", 12);
    OKBtn->setDefault(true);
    RollbackBtn = button("RollbackBtn", "&Rollback", 48);
    PrintBtn = button("PrintBtn", "&Print", 153);
    QObject::connect(OKBtn, &QPushButton::clicked, this, [this] { done(1); });
    QObject::connect(RollbackBtn, &QPushButton::clicked, this, [this] { done(2); });
    QObject::connect(PrintBtn, &QPushButton::clicked, this, cls::Guarded([this] { PrintBtnClick(); }));
}

void TJournalForm::Setup(int Kind, const std::string& Alias, const std::string& Path,
                         const std::string& FileName, const std::string& ErrorText) {
    const TqbJournalTexts& t = JournalTexts(Kind);
    OKBtn->setText(QString::fromLatin1(t.OKCaption));
    RollbackBtn->setVisible(t.RollbackShown);
    CompletenessLabel->setText(QString::fromLatin1(t.Completeness));
    ActionLabel->setText(QString::fromLatin1(t.Action));
    const QString colour = t.Green ? "color: green;" : "color: red;";
    CompletenessLabel->setStyleSheet(colour);
    ActionLabel->setStyleSheet(colour);
    AliasLabel->setText(fromAnsi(Alias));
    PathLabel->setText(fromAnsi(Path));
    FilenameLabel->setText(fromAnsi(FileName));
    ExceptionLabel->setText(fromAnsi(ErrorText));
    ExceptionLabel->setVisible(t.ExceptionShown);
}

int TJournalForm::ShowModal() {
    int r = exec();
    return r == 1 || r == 2 ? r : 0;
}

void TJournalForm::PrintBtnClick() {
    QPrinter printer;
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() != QDialog::Accepted) return;
    QPainter painter(&printer);
    const QPixmap image = grab();
    const QRect page = painter.viewport();
    const QSize size = image.size().scaled(page.size(), Qt::KeepAspectRatio);
    painter.drawPixmap(QRect(page.topLeft(), size), image);
}

int AskJournalForm(int Kind, const std::string& Alias, const std::string& Path, const std::string& FileName,
                   const std::string& ErrorText) {
    TJournalForm form;
    form.Setup(Kind, Alias, Path, FileName, ErrorText);
    return form.ShowModal();
}

int TJournalFormPrompt::Ask(int Kind, const std::string& Alias, const std::string& Path,
                            const std::string& FileName, const std::string& ErrorText) {
    return AskJournalForm(Kind, Alias, Path, FileName, ErrorText);
}
