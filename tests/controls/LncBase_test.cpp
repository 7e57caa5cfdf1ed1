// Controller, component helpers and the attached label.
#include "controls/LncBase.h"
#include "controls/LncExcpt.h"
#include "controls/LncLB.h"

#include <QCoreApplication>
#include <QWidget>
#include <gtest/gtest.h>

TEST(LncController, EpochBoundsAndTimerEvents) {
    QWidget form;
    auto* c = new TLncController(&form);
    EXPECT_EQ(c->Epoch(), LncCurrentCentury());
    for (int bad : {1599, 4000}) {
        c->SetEpoch(2000);
        c->SetEpoch(bad);
        EXPECT_EQ(c->Epoch(), 2000) << bad;
    }
    c->SetEpoch(1600);
    EXPECT_EQ(c->Epoch(), 1600);
    c->OnGetEpoch = [](QObject*, int& e) { e = 1900; };
    EXPECT_EQ(c->Epoch(), 1900);

    std::vector<int32_t> seen;
    c->OnTimerTrigger = [&](QObject*, int32_t h, uint32_t, int32_t) { seen.push_back(h); };
    int32_t h = c->TimerPool().AddTrigger(nullptr, 10);
    c->TimerPool().Tick();
    EXPECT_EQ(seen, std::vector<int32_t>{h});
}

TEST(LncController, FoundOnTheControlsForm) {
    QWidget form;
    QWidget panel(&form);
    auto* list = new TLncCustomListBox(&panel);
    EXPECT_EQ(LncFindController(list), nullptr);
    auto* first = new TLncController(&form);
    new TLncController(&form);
    EXPECT_EQ(LncFindController(list), first);
    EXPECT_EQ(LncFindController(nullptr), nullptr);

    QWidget other;
    auto* nested = new QObject(&other);
    auto* deep = new TLncController(nested);
    auto* box = new TLncCustomListBox(&other);
    EXPECT_EQ(LncFindController(box), deep);
}

TEST(LncHelpers, UniqueComponentNames) {
    QWidget form;
    std::string name;
    LncUniqueComponentName(&form, "LncController", name);
    EXPECT_EQ(name, "LncController1");
    auto* c = new TLncController(&form);
    c->SetName("LncController1");
    QWidget panel(&form);
    auto* inner = new QObject(&panel);
    inner->setObjectName("lnccontroller2"); // names compare without regard to case
    LncUniqueComponentName(&form, "LncController", name);
    EXPECT_EQ(name, "LncController3");
    for (const char* bad : {"1abc", "\xE9t\xE9"}) {
        EXPECT_THROW(LncUniqueComponentName(&form, bad, name), cls::EComponentError) << bad;
    }
    LncUniqueComponentName(nullptr, "_x9", name);
    EXPECT_EQ(name, "_x91");
}

TEST(LncLabel, AttachedLabelFollowsItsControl) {
    QWidget form;
    form.resize(400, 300);
    auto* ctl = new TLncCustomControl(&form);
    ctl->setObjectName("Edit1");
    ctl->setGeometry(50, 100, 80, 20);
    form.show();
    ctl->LabelInfo().SetOffsetX(3);
    ctl->LabelInfo().SetVisible(true);
    TLncAttachedLabel* label = ctl->AttachedLabel();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->objectName(), "Edit1Label");
    EXPECT_EQ(label->parentWidget(), &form);
    ctl->LabelInfo().SetOffsetY(-4);
    EXPECT_EQ(label->pos(), QPoint(53, 96 - label->height()));
    // A move is followed through the posted reposition message.
    ctl->move(10, 200);
    QCoreApplication::sendPostedEvents(ctl, kLabelReposition);
    EXPECT_EQ(label->pos(), QPoint(13, 196 - label->height()));
    ctl->hide();
    EXPECT_TRUE(label->isHidden());

    QPointer<TLncAttachedLabel> watch(label);
    ctl->LabelInfo().SetVisible(false);
    EXPECT_TRUE(watch.isNull());
    ctl->LabelInfo().SetVisible(true);
    watch = ctl->AttachedLabel();
    delete ctl; // the control's destruction frees its label
    EXPECT_TRUE(watch.isNull());
}
