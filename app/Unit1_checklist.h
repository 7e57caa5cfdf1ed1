// The recipients list of the main window: a sorted list with a check box per item, offering the
// check-list members the paging client reads (Items, ItemIndex, StateCount, ItemState, OnStateChange).
#pragma once
#include <QListWidget>
#include <functional>
#include <string>

enum TCheckBoxState { cbUnchecked = 0, cbChecked = 1, cbGrayed = 2 };

class TRecipientCheckList : public QListWidget {
    Q_OBJECT
public:
    // The item texts (Windows-1252), in list order.
    class TItems {
    public:
        explicit TItems(TRecipientCheckList& list) : list_(list) {}
        int Count() const;
        std::string operator[](int index) const;
        int Add(const std::string& text); // returns the index the sorted list gave the new item
        void Clear();
        int IndexOf(const std::string& text) const;

    private:
        TRecipientCheckList& list_;
    };

    explicit TRecipientCheckList(QWidget* parent = nullptr);

    TItems Items{*this};
    int ItemIndex() const { return currentRow(); }
    void setItemIndex(int index) { setCurrentRow(index); }
    // Items whose state equals state.
    int StateCount(TCheckBoxState state) const;
    // Unchecked for an index outside the list.
    TCheckBoxState ItemState(int index) const;
    // Stores the state and fires OnStateChange (also when it does not change).
    void setItemState(int index, TCheckBoxState state);

    std::function<void(QObject* Sender, int Index, TCheckBoxState OldState, TCheckBoxState NewState)>
        OnStateChange;

private:
    void itemToggled(QListWidgetItem* item);
    bool storing_ = false;
};
