// Base classes of the extension controls: the component and controller, the attached label and
// the base window control, with the helpers they share (current century, unique component names,
// bitmaps of the library).
#pragma once
#include <QImage>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <set>
#include <string>

#include "controls/LncCmd.h"
#include "controls/LncTimer.h"

class TLncController;

// The control's private message (posted as an event to itself) that places its attached label
// again after the control moved or changed its size.
constexpr int kLabelReposition = 32523;

class TLncComponent : public QObject {
public:
    explicit TLncComponent(QObject* AOwner = nullptr) : QObject(AOwner) {}
    std::string About() const { return "v3.08"; }
    void SetAbout(const std::string&) {}
    std::string Name() const { return objectName().toStdString(); }
    void SetName(const std::string& Name) { setObjectName(QString::fromStdString(Name)); }
};

enum TLncBaseEFOption {
    efoAutoAdvanceChar,
    efoAutoAdvanceLeftRight,
    efoAutoAdvanceUpDown,
    efoAutoSelect,
    efoBeepOnError,
    efoInsertPushes
};
using TLncBaseEFOptions = std::set<TLncBaseEFOption>;

class TLncController : public TLncComponent {
public:
    explicit TLncController(QObject* AOwner = nullptr);

    TLncCommandProcessor& EntryCommands() { return commands_; }
    const TLncBaseEFOptions& EntryOptions() const { return options_; }
    void SetEntryOptions(const TLncBaseEFOptions& Options) { options_ = Options; }
    // Accepts 1600 <= value < 4000 only.
    void SetEpoch(int Value);
    // The stored epoch, passed through OnGetEpoch when assigned.
    int Epoch() const;
    TLncTimerPool& TimerPool() { return *timers_; }

    std::function<void(QObject* Sender, int ErrorCode, const std::string& ErrorMsg)> OnError;
    std::function<void(QObject* Sender, int& Epoch)> OnGetEpoch;
    std::function<void(QObject* Sender, int NotifyCode, int Data)> OnDelayNotify;
    std::function<void(QObject* Sender, QWidget* Control, bool& Special)> OnIsSpecialControl;
    std::function<void(QObject* Sender, QWidget* GainingControl, QWidget* LosingControl)> OnPostEdit;
    std::function<void(QObject* Sender, QWidget* GainingControl, QWidget* LosingControl)> OnPreEdit;
    TTriggerEvent OnTimerTrigger;

private:
    TLncCommandProcessor commands_;
    TLncBaseEFOptions options_{efoAutoSelect, efoBeepOnError, efoInsertPushes};
    int epoch_;
    TLncTimerPool* timers_;
};

// The first controller on the control's form; nullptr when it has none.
TLncController* LncFindController(const QWidget* Control);

// The label a control shows beside itself while its LabelInfo is Visible.
class TLncAttachedLabel : public QLabel {
public:
    TLncAttachedLabel(QWidget* Parent, QWidget* Control);
    QWidget* Control() const { return control_; }

private:
    QPointer<QWidget> control_;
};

class TLncLabelInfo {
public:
    explicit TLncLabelInfo(std::function<void()> OnChange) : onChange_(std::move(OnChange)) {}
    int OffsetX() const { return offsetX_; }
    int OffsetY() const { return offsetY_; }
    bool Visible() const { return visible_; }
    void SetOffsetX(int V) { set(offsetX_, V); }
    void SetOffsetY(int V) { set(offsetY_, V); }
    void SetVisible(bool V) { set(visible_, V); }

private:
    template <typename T> void set(T& field, T v) {
        if (field == v) return;
        field = v;
        if (onChange_) onChange_();
    }
    std::function<void()> onChange_;
    int offsetX_ = 0;
    int offsetY_ = 0;
    bool visible_ = false;
};

namespace ctl {
// The attached-label mechanism of a control: creates, places and frees its label, following the
// control's moves, size changes and visibility.
class LabelHost : public QObject {
public:
    explicit LabelHost(QWidget* Control);
    ~LabelHost() override;
    TLncLabelInfo& Info() { return info_; }
    TLncAttachedLabel* Label() const { return label_; }
    void PositionLabel();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void update();
    QWidget* control_;
    TLncLabelInfo info_;
    QPointer<TLncAttachedLabel> label_;
};
} // namespace ctl

class TLncCustomControl : public QWidget {
public:
    explicit TLncCustomControl(QWidget* Parent = nullptr);
    TLncLabelInfo& LabelInfo() { return labels_->Info(); }
    TLncAttachedLabel* AttachedLabel() const { return labels_->Label(); }
    std::string About() const { return "v3.08"; }
    void SetAbout(const std::string&) {}

private:
    ctl::LabelHost* labels_;
};

// The current year div 100 x 100.
int LncCurrentCentury();
// BaseName followed by 1, 2, ... until Owner has no component of that name; cls::EComponentError
// when BaseName is not a valid identifier.
void LncUniqueComponentName(const QObject* Owner, const std::string& BaseName, std::string& Name);
// A bitmap of the library ("LTGRAYBITMAP"); a null image when there is none.
QImage LncLoadBitmap(const std::string& Name);
