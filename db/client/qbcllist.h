// The dataset layer's name-linked object chain (clients, sessions, databases, table proxies) with
// deferred activation after loading, its exception EqbDatabaseError, the thread-safe standalone
// list and the stack of saved range buffers.
#pragma once
#include "classlib/DB.h"
#include "db/base/qbllbase.h"
#include "db/base/qbllcomp.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Codes of the dataset layer's texts.
enum : int32_t {
    kDsNoCode = 54528,
    kDsViaCode = 54529,
    kDsNilPointer = 54530,
    kDsUnnamed = 54531,
    kDsWithComponent = 54532,
    kDsListItemMissing = 54533,
    kDsMustBeClosed = 54534,
    kDsMustBeOpen = 54535,
    kDsNoOwner = 54536,
    kDsSpecifyName = 54537,
    kDsNoOwnerName = 54538,
    kDsNoDefaultClient = 54539,
    kDsNoDefaultSession = 54540,
    kDsClientNameExists = 54542,
    kDsClientMustBeActive = 54543,
    kDsClientMustBeInactive = 54544,
    kDsSessionMustBeOpen = 54545,
    kDsSessionMustBeClosed = 54546,
    kDsSessionNameExists = 54550,
    kDsDatabaseMustBeClosed = 54551,
    kDsDatabaseMustBeOpen = 54552,
    kDsDatabaseNoSession = 54554,
    kDsDatabaseNameIsAlias = 54555,
    kDsDatabaseNameExists = 54556,
    kDsTableMustBeClosed = 54557,
    kDsTableMustBeOpen = 54558,
    kDsWithComponentFmt = 54581,
    kDsNoTransport = 54587,
};

// The text of any code the layer raises: dataset texts, general, client or engine result texts.
std::string DatasetCodeText(int32_t code);

class EqbDatabaseError : public cls::EDatabaseError {
public:
    EqbDatabaseError(std::string message, int32_t errorCode)
        : cls::EDatabaseError(std::move(message)), ErrorCode(errorCode) {}
    static EqbDatabaseError Create(std::string_view text);
    static EqbDatabaseError CreateViaCode(int32_t code);
    static EqbDatabaseError CreateWithComponent(const cls::TComponent* component, std::string_view text,
                                                int32_t code);
    static EqbDatabaseError CreateWithComponentFmt(const cls::TComponent* component, int32_t code,
                                                   const QbFormatArgs& args);
    // The component's name, "<unnamed TX instance>" or "<nil pointer>".
    static std::string ComponentDescription(const cls::TComponent* component);
    // A non-zero engine result raises CreateViaCode.
    static void Check(int32_t result);
    [[noreturn]] static void RaiseError(const cls::TComponent* component, int32_t code);
    [[noreturn]] static void RaiseErrorFmt(const cls::TComponent* component, int32_t code,
                                           const QbFormatArgs& args);
    int32_t ErrorCode;
};

// A name that opens a database by folder path rather than by alias.
bool IsPathName(std::string_view name);

class TqbDBListItem;

// The children of an item, most recent last.
class TqbDBList {
public:
    explicit TqbDBList(TqbDBListItem* parent) : parent_(parent) {}
    TqbDBListItem* Parent() const { return parent_; }
    int Count() const;
    // 54533 for an index outside the list.
    TqbDBListItem* Items(int index) const;
    // Without regard to case, the latest entry first.
    bool FindByName(std::string_view name, TqbDBListItem*& item) const;
    int IndexOf(const TqbDBListItem* item) const;

private:
    TqbDBListItem* parent_;
};
using TqbSessionList = TqbDBList;
using TqbDatabaseList = TqbDBList;
using TqbTableProxyList = TqbDBList;

// One link of the chain: a name within its owner, the owner's name, the link to the owner (as its
// dependent) and an Active state. Notifications from the owner: 2 or 5 (it goes) close and unlink,
// 4 (it closes) closes, 6 (it was renamed) follows the new name.
class TqbDBListItem : public TqbComponent {
public:
    static constexpr int kOpRemoved = 2;
    static constexpr int kOpClosing = 4;
    static constexpr int kOpRenamed = 6;

    explicit TqbDBListItem(cls::TComponent* AOwner = nullptr);
    ~TqbDBListItem() override;

    bool Active() const { return active_; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    void CheckActive();
    void CheckInactive(bool closeIt);

    const std::string& ItemName() const { return name_; }
    // Closes the item, then stores the name.
    virtual void SetItemName(const std::string& value);
    // The linked owner's name when linked (it tries to link first), else the stored one.
    std::string OwnerName();
    virtual void SetOwnerName(const std::string& value);
    // The owner, found by name when unlinked.
    TqbDBListItem* Owner();
    TqbDBListItem* LinkedOwner() const { return owner_; }
    void Link(TqbDBListItem* owner);

    TqbDBList& Children() { return childList_; }
    // A copy: items of other threads may link and unlink meanwhile.
    std::vector<TqbDBListItem*> ChildItems() const;
    // Held while the children link or unlink; a child's name unique among its siblings is checked
    // and stored under it.
    std::unique_lock<std::recursive_mutex> LockChildren() const { return std::unique_lock(childrenMutex_); }
    const std::string& NameLabel() const { return nameLabel_; }
    int Level() const { return level_; }
    bool Ownerless() const { return ownerless_; }
    bool Deferred() const { return deferred_; }
    // Set on items made on the fly (a database for an alias); their owner frees them.
    bool Temporary = false;

    void ReceiveNotification(int operation, TqbComponent* sender, intptr_t data) override;
    // Inactive with its engine handles cleared, and so everything below it, without engine calls
    // (the connection is gone).
    virtual void DropHandles();
    // Opens it again after a reconnect (a dataset's table proxy opens its dataset).
    virtual void OpenAgain() { Open(); }
    // Closes, removes and frees the children flagged temporary.
    void FreeTemporaryChildren();

    // Runs the activations queued while a window loaded, level by level.
    static void RunDeferredActivations();
    static size_t DeferredCount();

protected:
    void Loaded() override;
    void BeforeDestruction() override;
    // The slots a level fills in.
    virtual void DoClose() { NotifyDependents(kOpClosing); }
    virtual void DoOpen() {}
    virtual void ChildAdded(TqbDBListItem*) {}
    virtual void ChildRemoved(TqbDBListItem*) {}
    virtual void AnnounceRename() { NotifyDependents(kOpRenamed); }
    virtual void OwnerNameChanged() {}
    virtual TqbDBListItem* FindOwnerByName() { return nullptr; }
    virtual void ActivateAfterLoad();
    [[noreturn]] virtual void RaiseMustBeClosed() { EqbDatabaseError::RaiseError(this, kDsMustBeClosed); }
    [[noreturn]] virtual void RaiseMustBeOpen() { EqbDatabaseError::RaiseError(this, kDsMustBeOpen); }

    void SetNameLabel(std::string label) { nameLabel_ = std::move(label); }
    void SetLevel(int level) { level_ = level; }
    void SetOwnerless(bool value) { ownerless_ = value; }
    // For close paths that must not call the engine (a lost connection).
    void SetActiveFlag(bool value) { active_ = value; }
    // True when the name changed.
    bool StoreName(const std::string& value);
    // SetItemName for a name unique among items that other threads find by name: lockList()
    // guards their list; raiseIfTaken raises when another item has the name. It is checked before
    // the item closes and again in the one hold of the lock that stores it, so that two threads
    // never both take a name; the dependents hear of it outside the lock.
    template <class LockList, class RaiseIfTaken>
    void SetUniqueItemName(const std::string& value, LockList lockList, RaiseIfTaken raiseIfTaken) {
        {
            auto g = lockList();
            raiseIfTaken();
        }
        Close();
        bool changed = false;
        {
            auto g = lockList();
            raiseIfTaken();
            changed = StoreName(value);
        }
        if (changed) AnnounceRename();
    }
    void StoreOwnerName(const std::string& value) { ownerName_ = value; }
    const std::string& StoredOwnerName() const { return ownerName_; }
    // Leaves the owner, keeping the owner's name for a later lookup.
    void UnlinkOwner() { unlink(); }
    bool LoadingOrDeferred() const { return IsLoading() || deferred_; }
    void queueDeferred();

private:
    void unlink();
    void removeChild(TqbDBListItem* child);

    bool active_ = false;
    std::string name_;
    TqbDBListItem* owner_ = nullptr;
    std::string ownerName_;
    bool activatingFromLoad_ = false;
    bool inLoadedActivation_ = false;
    bool deferred_ = false;
    bool activateAfterLoad_ = false;
    mutable std::recursive_mutex childrenMutex_;
    std::vector<TqbDBListItem*> children_; // guarded by childrenMutex_
    TqbDBList childList_{this};
    std::string nameLabel_ = "Name";
    int level_ = 0;
    bool ownerless_ = false;
    bool destroying_ = false;
};

// A thread-safe list of items found by name (the global client list is one).
class TqbDBStandaloneList {
public:
    TqbDBStandaloneList() = default;
    ~TqbDBStandaloneList();
    TqbDBStandaloneList(const TqbDBStandaloneList&) = delete;
    TqbDBStandaloneList& operator=(const TqbDBStandaloneList&) = delete;

    void Add(TqbDBListItem* item);
    void Remove(TqbDBListItem* item);
    int Count();
    TqbDBListItem* Items(int index);
    bool FindByName(std::string_view name, TqbDBListItem*& item);
    std::vector<TqbDBListItem*> Snapshot();
    void BeginRead() { portal_.BeginRead(); }
    void EndRead() { portal_.EndRead(); }
    // Names are checked and taken under the write lock (the reads inside it nest).
    void BeginWrite() { portal_.BeginWrite(); }
    void EndWrite() { portal_.EndWrite(); }
    // Sets every item inactive, the latest first (outside the lock: closing calls the engine).
    void CloseAll();

private:
    TqbReadWritePortal portal_;
    std::vector<TqbDBListItem*> items_;
};
using TqbClientList = TqbDBStandaloneList;

// The saved range buffers of a table (pooled memory) and the current one.
class TqbTableRangeStack {
public:
    TqbTableRangeStack() = default;
    ~TqbTableRangeStack() { Clear(); }
    TqbTableRangeStack(const TqbTableRangeStack&) = delete;
    TqbTableRangeStack& operator=(const TqbTableRangeStack&) = delete;

    // Moves the current buffer onto the stack; none is current afterwards.
    void Push();
    // The top entry becomes current (none and size 0 when the stack is empty); a buffer that was
    // current is released first.
    void PopToCurrent();
    // Releases the current buffer and takes buffer (allocated with PoolGetMem of size bytes).
    void SetCurrent(void* buffer, int32_t size);
    void ClearCurrent();
    void Clear();
    bool IsRangeActive() const { return current_ != nullptr; }
    bool IsEmpty() const { return saved_.empty(); }
    void* Current() const { return current_; }
    int32_t CurrentSize() const { return currentSize_; }
    size_t Depth() const { return saved_.size(); }

private:
    struct Entry {
        void* buffer;
        int32_t size;
    };
    static void release(void*& buffer, int32_t size);
    std::vector<Entry> saved_;
    void* current_ = nullptr;
    int32_t currentSize_ = -1;
};
