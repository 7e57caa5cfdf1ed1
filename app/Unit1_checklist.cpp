// The recipients list: check states kept per item, state changes reported to OnStateChange.
#include "app/Unit1_checklist.h"

#include "platform/Text.h"

namespace {
constexpr int kStateRole = Qt::UserRole + 1;

QString toQ(const std::string& s) {
    std::u16string u = plat::AnsiToUtf16(s);
    return QString::fromUtf16(u.data(), static_cast<qsizetype>(u.size()));
}

TCheckBoxState fromQt(Qt::CheckState s) {
    return s == Qt::Checked ? cbChecked : s == Qt::PartiallyChecked ? cbGrayed : cbUnchecked;
}

Qt::CheckState toQt(TCheckBoxState s) {
    return s == cbChecked ? Qt::Checked : s == cbGrayed ? Qt::PartiallyChecked : Qt::Unchecked;
}
} // namespace

int TRecipientCheckList::TItems::Count() const {
    return list_.count();
}

std::string TRecipientCheckList::TItems::operator[](int index) const {
    QListWidgetItem* it = list_.item(index);
    if (!it) return {};
    QString t = it->text();
    return plat::Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(t.utf16()), t.size()));
}

int TRecipientCheckList::TItems::Add(const std::string& text) {
    auto* it = new QListWidgetItem(toQ(text));
    it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
    it->setData(kStateRole, int(cbUnchecked));
    list_.storing_ = true;
    it->setCheckState(Qt::Unchecked);
    list_.addItem(it);
    list_.storing_ = false;
    return list_.row(it);
}

void TRecipientCheckList::TItems::Clear() {
    list_.clear();
}

int TRecipientCheckList::TItems::IndexOf(const std::string& text) const {
    for (int k = 0; k < Count(); ++k)
        if ((*this)[k] == text) return k;
    return -1;
}

TRecipientCheckList::TRecipientCheckList(QWidget* parent) : QListWidget(parent) {
    setSortingEnabled(true);
    connect(this, &QListWidget::itemChanged, this, &TRecipientCheckList::itemToggled);
}

int TRecipientCheckList::StateCount(TCheckBoxState state) const {
    int n = 0;
    for (int k = 0; k < count(); ++k)
        if (ItemState(k) == state) ++n;
    return n;
}

TCheckBoxState TRecipientCheckList::ItemState(int index) const {
    QListWidgetItem* it = item(index);
    return it ? static_cast<TCheckBoxState>(it->data(kStateRole).toInt()) : cbUnchecked;
}

void TRecipientCheckList::setItemState(int index, TCheckBoxState state) {
    QListWidgetItem* it = item(index);
    if (!it) return;
    const TCheckBoxState old = ItemState(index);
    storing_ = true;
    it->setData(kStateRole, int(state));
    it->setCheckState(toQt(state));
    storing_ = false;
    if (OnStateChange) OnStateChange(this, index, old, state);
}

void TRecipientCheckList::itemToggled(QListWidgetItem* it) {
    if (storing_ || !it) return;
    const TCheckBoxState now = fromQt(it->checkState());
    if (now == static_cast<TCheckBoxState>(it->data(kStateRole).toInt())) return;
    setItemState(row(it), now);
}
