// Base classes of the extension controls: component, controller, attached label, base control,
// and the helpers they share.
#include "controls/LncBase.h"

#include "controls/LncExcpt.h"
#include "platform/Resources.h"
#include "platform/Text.h"

#include <QCoreApplication>
#include <QEvent>
#include <chrono>
#include <mutex>
#include <vector>

// ---- controller --------------------------------------------------------------------------------

TLncController::TLncController(QObject* AOwner)
    : TLncComponent(AOwner), epoch_(LncCurrentCentury()), timers_(new TLncTimerPool(this)) {
    timers_->OnAllTriggers = [this](QObject* Sender, int32_t Handle, uint32_t Interval, int32_t Elapsed) {
        if (OnTimerTrigger) OnTimerTrigger(Sender, Handle, Interval, Elapsed);
    };
}

void TLncController::SetEpoch(int Value) {
    if (Value >= 1600 && Value < 4000) epoch_ = Value;
}

int TLncController::Epoch() const {
    int e = epoch_;
    if (OnGetEpoch) OnGetEpoch(const_cast<TLncController*>(this), e);
    return e;
}

TLncController* LncFindController(const QWidget* Control) {
    if (!Control) return nullptr;
    const QWidget* form = Control->window();
    // Components of a form are usually its direct children; nested ones are found as well.
    for (auto options : {Qt::FindDirectChildrenOnly, Qt::FindChildrenRecursively})
        for (QObject* o : form->findChildren<QObject*>(QString(), options))
            if (auto* c = dynamic_cast<TLncController*>(o)) return c;
    return nullptr;
}

// ---- attached label ----------------------------------------------------------------------------

TLncAttachedLabel::TLncAttachedLabel(QWidget* Parent, QWidget* Control) : QLabel(Parent), control_(Control) {
    setBuddy(Control);           // the control is its focus control
    setAutoFillBackground(true); // not transparent; the font stays the parent's
}

ctl::LabelHost::LabelHost(QWidget* Control)
    : QObject(Control), control_(Control), info_([this] { update(); }) {
    Control->installEventFilter(this);
}

ctl::LabelHost::~LabelHost() {
    delete label_.data();
}

void ctl::LabelHost::update() {
    if (!info_.Visible()) {
        delete label_.data();
        return;
    }
    if (!label_) {
        QWidget* parent = control_->parentWidget();
        if (!parent) return; // a label needs the control's parent to live on
        label_ = new TLncAttachedLabel(parent, control_);
        QString name = control_->objectName() + "Label";
        label_->setObjectName(name);
        label_->setText(name);
        label_->adjustSize();
    }
    PositionLabel();
}

void ctl::LabelHost::PositionLabel() {
    if (!label_) return;
    label_->move(control_->x() + info_.OffsetX(), control_->y() - label_->height() + info_.OffsetY());
    label_->setVisible(!control_->isHidden());
}

bool ctl::LabelHost::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == control_) {
        switch (static_cast<int>(Event->type())) {
        case QEvent::Move:
        case QEvent::Resize:
            if (label_) QCoreApplication::postEvent(control_, new QEvent(QEvent::Type(kLabelReposition)));
            break;
        case kLabelReposition:
            PositionLabel();
            return true;
        case QEvent::Show:
        case QEvent::Hide:
            if (label_) label_->setVisible(Event->type() == QEvent::Show);
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(Watched, Event);
}

TLncCustomControl::TLncCustomControl(QWidget* Parent) : QWidget(Parent), labels_(new ctl::LabelHost(this)) {}

// ---- helpers -----------------------------------------------------------------------------------

int LncCurrentCentury() {
    auto now = std::chrono::system_clock::now();
    std::chrono::year_month_day ymd{std::chrono::floor<std::chrono::days>(now)};
    return int(ymd.year()) / 100 * 100;
}

namespace {
bool validIdentifier(const std::string& s) {
    if (s.empty()) return false;
    auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!alpha(s[0])) return false;
    for (char c : s)
        if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

bool hasComponent(const QObject* owner, const std::string& name) {
    if (!owner) return false;
    QString n = QString::fromStdString(name);
    for (const QObject* o : owner->findChildren<QObject*>())
        if (o->objectName().compare(n, Qt::CaseInsensitive) == 0) return true;
    return false;
}
} // namespace

void LncUniqueComponentName(const QObject* Owner, const std::string& BaseName, std::string& Name) {
    if (!validIdentifier(BaseName))
        throw cls::EComponentError("'" + BaseName + "' is not a valid component name");
    for (uint64_t i = 1;; ++i) {
        std::string candidate = BaseName + std::to_string(i);
        if (!hasComponent(Owner, candidate)) {
            Name = candidate;
            return;
        }
    }
}

namespace {
// The light-gray dither that fills the box of a grayed item: an 8 x 8 checkerboard of silver
// and white, kept as a binary PPM image.
void registerBitmaps() {
    static std::once_flag once;
    std::call_once(once, [] {
        static std::vector<unsigned char> ppm = [] {
            std::string head = "P6\n8 8\n255\n";
            std::vector<unsigned char> b(head.begin(), head.end());
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x) {
                    unsigned char v = (x + y) % 2 ? 255 : 192;
                    b.insert(b.end(), {v, v, v});
                }
            return b;
        }();
        plat::RegisterResource("LTGRAYBITMAP", ppm.data(), ppm.size());
    });
}
} // namespace

QImage LncLoadBitmap(const std::string& Name) {
    registerBitmaps();
    auto res = plat::FindResource(Name);
    if (!res) return {};
    QImage img;
    img.loadFromData(res->data, static_cast<int>(res->size));
    return img;
}
