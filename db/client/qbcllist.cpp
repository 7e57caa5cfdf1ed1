// The name-linked object chain with deferred activation, the dataset layer's exception, the
// standalone list and the range stack.
#include "db/client/qbcllist.h"

#include "db/base/qbsrmgr.h"
#include "db/remote/qbllwsck.h"

#include <algorithm>
#include <exception>

void registerDbClientStrings(); // generated from db/client/strings/*.str

namespace {

TqbStringResource& datasetStrings() {
    static TqbStringResource* r =
        (registerDbClientStrings(), new TqbStringResource("QB_DATASET_ERROR_STRINGS"));
    return *r;
}

// Items waiting for the end of loading. Windows load on the GUI thread, but items are freed on
// any thread, and each leaves the queue as it goes.
std::recursive_mutex& deferredMutex() {
    static std::recursive_mutex m;
    return m;
}
std::vector<TqbDBListItem*>& deferredQueue() {
    static std::vector<TqbDBListItem*> q;
    return q;
}

void dequeue(TqbDBListItem* item) {
    std::lock_guard g(deferredMutex());
    auto& q = deferredQueue();
    q.erase(std::remove(q.begin(), q.end(), item), q.end());
}

std::vector<TqbDBListItem*> deferredSnapshot() {
    std::lock_guard g(deferredMutex());
    return deferredQueue();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Errors

std::string DatasetCodeText(int32_t code) {
    if (code >= 54528 && code <= 54783) return datasetStrings().GetText(code);
    if (code >= 256 && code <= 511) return GeneralStrings().GetText(code);
    if (code >= 1008 && code <= 1279) return ClientStrings().GetText(code);
    return CompatErrorStrings().GetText(code);
}

EqbDatabaseError EqbDatabaseError::Create(std::string_view text) {
    return EqbDatabaseError(qbFormat(DatasetCodeText(kDsNoCode), {text}), 0);
}

EqbDatabaseError EqbDatabaseError::CreateViaCode(int32_t code) {
    return EqbDatabaseError(qbFormat(DatasetCodeText(kDsViaCode), {DatasetCodeText(code), code, code}), code);
}

EqbDatabaseError EqbDatabaseError::CreateWithComponent(const cls::TComponent* component,
                                                       std::string_view text, int32_t code) {
    return EqbDatabaseError(
        qbFormat(DatasetCodeText(kDsWithComponent), {ComponentDescription(component), text}), code);
}

EqbDatabaseError EqbDatabaseError::CreateWithComponentFmt(const cls::TComponent* component, int32_t code,
                                                          const QbFormatArgs& args) {
    const std::string text = qbFormat(DatasetCodeText(code), args);
    return EqbDatabaseError(
        qbFormat(DatasetCodeText(kDsWithComponentFmt), {ComponentDescription(component), text, code, code}),
        code);
}

std::string EqbDatabaseError::ComponentDescription(const cls::TComponent* component) {
    if (!component) return DatasetCodeText(kDsNilPointer);
    if (!component->Name().empty()) return component->Name();
    return qbFormat(DatasetCodeText(kDsUnnamed), {component->ClassName()});
}

void EqbDatabaseError::Check(int32_t result) {
    if (result != 0) throw CreateViaCode(result);
}

void EqbDatabaseError::RaiseError(const cls::TComponent* component, int32_t code) {
    throw CreateWithComponent(component, DatasetCodeText(code), code);
}

void EqbDatabaseError::RaiseErrorFmt(const cls::TComponent* component, int32_t code,
                                     const QbFormatArgs& args) {
    throw CreateWithComponentFmt(component, code, args);
}

bool IsPathName(std::string_view name) {
    // Folder paths on this system are written with '/' as well.
    return name.find_first_of(":\\/") != std::string_view::npos || name == "." || name == "..";
}

// ---------------------------------------------------------------------------------------------
// Child lists

int TqbDBList::Count() const {
    return int(parent_->ChildItems().size());
}

TqbDBListItem* TqbDBList::Items(int index) const {
    const auto c = parent_->ChildItems();
    if (index < 0 || size_t(index) >= c.size()) EqbDatabaseError::RaiseError(parent_, kDsListItemMissing);
    return c[size_t(index)];
}

bool TqbDBList::FindByName(std::string_view name, TqbDBListItem*& item) const {
    // Held while the names are read: a name unique among siblings is stored under it.
    auto g = parent_->LockChildren();
    const auto c = parent_->ChildItems();
    for (auto it = c.rbegin(); it != c.rend(); ++it)
        if (cls::SameText((*it)->ItemName(), name)) {
            item = *it;
            return true;
        }
    item = nullptr;
    return false;
}

int TqbDBList::IndexOf(const TqbDBListItem* item) const {
    const auto c = parent_->ChildItems();
    auto it = std::find(c.begin(), c.end(), item);
    return it == c.end() ? -1 : int(it - c.begin());
}

// ---------------------------------------------------------------------------------------------
// List items

TqbDBListItem::TqbDBListItem(cls::TComponent* AOwner) : TqbComponent(AOwner) {}

TqbDBListItem::~TqbDBListItem() {
    destroying_ = true;
    dequeue(this);
    NotifyDependents(kOpGoingAway);
    active_ = false;
    unlink();
    for (TqbDBListItem* c : ChildItems())
        c->owner_ = nullptr;
}

std::vector<TqbDBListItem*> TqbDBListItem::ChildItems() const {
    std::lock_guard g(childrenMutex_);
    return children_;
}

bool TqbDBListItem::StoreName(const std::string& value) {
    const bool changed = value != name_;
    name_ = value;
    return changed;
}

void TqbDBListItem::BeforeDestruction() {
    NotifyDependents(kOpGoingAway);
    try {
        Close();
    } catch (...) {
        active_ = false; // going anyway
    }
}

void TqbDBListItem::SetActive(bool value) {
    if (value == active_) return;
    if (LoadingOrDeferred()) {
        if (value) {
            activateAfterLoad_ = true;
            queueDeferred();
        }
        return;
    }
    if (!value) {
        DoClose();
        active_ = false;
        return;
    }
    if (name_.empty()) EqbDatabaseError::RaiseErrorFmt(this, kDsSpecifyName, {nameLabel_});
    if (!ownerless_) {
        TqbDBListItem* o = Owner();
        if (OwnerName().empty()) EqbDatabaseError::RaiseError(this, kDsNoOwnerName);
        if (!o) EqbDatabaseError::RaiseErrorFmt(this, kDsNoOwner, {ClassName(), name_});
        if (!o->Active()) o->SetActive(true);
    }
    DoOpen();
    active_ = true;
}

void TqbDBListItem::CheckActive() {
    if (!active_) RaiseMustBeOpen();
}

void TqbDBListItem::CheckInactive(bool closeIt) {
    if (!active_) return;
    if (closeIt)
        Close();
    else
        RaiseMustBeClosed();
}

void TqbDBListItem::SetItemName(const std::string& value) {
    Close();
    if (StoreName(value)) AnnounceRename();
}

std::string TqbDBListItem::OwnerName() {
    if (!owner_) Owner();
    return owner_ ? owner_->name_ : ownerName_;
}

void TqbDBListItem::SetOwnerName(const std::string& value) {
    if (LoadingOrDeferred()) {
        ownerName_ = value;
        queueDeferred();
        return;
    }
    const std::string current = owner_ ? owner_->name_ : ownerName_;
    if (cls::SameText(value, current)) return;
    Close();
    unlink();
    ownerName_ = value;
    AnnounceRename();
}

TqbDBListItem* TqbDBListItem::Owner() {
    if (!owner_ && !destroying_) {
        if (TqbDBListItem* o = FindOwnerByName()) Link(o);
    }
    return owner_;
}

void TqbDBListItem::Link(TqbDBListItem* owner) {
    if (!owner_ && !owner) return;
    Close();
    unlink();
    owner_ = owner;
    if (owner) {
        owner->AddDependent(this);
        {
            std::lock_guard g(owner->childrenMutex_);
            owner->children_.push_back(this);
        }
        owner->ChildAdded(this);
        ownerName_ = owner->name_;
    } else {
        ownerName_.clear();
    }
    AnnounceRename();
}

void TqbDBListItem::unlink() {
    TqbDBListItem* o = owner_;
    if (!o) return;
    owner_ = nullptr;
    o->RemoveDependent(this);
    o->removeChild(this);
    o->ChildRemoved(this);
}

void TqbDBListItem::removeChild(TqbDBListItem* child) {
    std::lock_guard g(childrenMutex_);
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

void TqbDBListItem::ReceiveNotification(int operation, TqbComponent* sender, intptr_t data) {
    if (!sender || sender != owner_) return;
    switch (operation) {
    case kOpRemoved:
    case kOpGoingAway:
        try {
            Close();
        } catch (...) {
            active_ = false; // the owner goes whatever the engine says
        }
        unlink();
        break;
    case kOpClosing:
        Close();
        break;
    case kOpRenamed:
        OwnerNameChanged();
        ownerName_ = owner_->name_;
        break;
    default:
        break;
    }
}

void TqbDBListItem::DropHandles() {
    active_ = false;
    for (TqbDBListItem* c : ChildItems())
        c->DropHandles();
}

void TqbDBListItem::FreeTemporaryChildren() {
    for (TqbDBListItem* c : ChildItems())
        if (c->Temporary) {
            try {
                c->Close();
            } catch (...) {
                c->active_ = false;
            }
            c->Free();
        }
}

void TqbDBListItem::queueDeferred() {
    deferred_ = true;
    std::lock_guard g(deferredMutex());
    auto& q = deferredQueue();
    if (std::find(q.begin(), q.end(), this) == q.end()) q.push_back(this);
}

void TqbDBListItem::Loaded() {
    TqbComponent::Loaded();
    RunDeferredActivations();
}

void TqbDBListItem::ActivateAfterLoad() {
    if (activateAfterLoad_) {
        if (!ownerless_) Owner();
        inLoadedActivation_ = true;
        activateAfterLoad_ = false;
        try {
            SetActive(true);
        } catch (...) {
            inLoadedActivation_ = false;
            throw;
        }
        inLoadedActivation_ = false;
    } else if (!ownerName_.empty()) {
        Owner();
    }
}

void TqbDBListItem::RunDeferredActivations() {
    // The last item of a window to finish loading runs them all: owners and children are then
    // all in place, whatever order the window declared them in. The activations run outside the
    // queue's lock (they call the engine).
    for (TqbDBListItem* i : deferredSnapshot())
        if (i->IsLoading()) return;
    std::exception_ptr first;
    for (int level = 1; level <= 4; ++level) {
        std::vector<TqbDBListItem*> now;
        const std::vector<TqbDBListItem*> q = deferredSnapshot();
        for (auto it = q.rbegin(); it != q.rend(); ++it)
            if ((*it)->level_ == level) now.push_back(*it);
        for (TqbDBListItem* i : now) {
            dequeue(i);
            i->deferred_ = false;
            i->activatingFromLoad_ = true;
            try {
                i->ActivateAfterLoad();
            } catch (...) {
                if (!first) first = std::current_exception();
            }
            i->activatingFromLoad_ = false;
        }
    }
    for (TqbDBListItem* i : deferredSnapshot())
        if (i->level_ < 1 || i->level_ > 4) {
            dequeue(i);
            i->deferred_ = false;
        }
    if (first) std::rethrow_exception(first);
}

size_t TqbDBListItem::DeferredCount() {
    std::lock_guard g(deferredMutex());
    return deferredQueue().size();
}

// ---------------------------------------------------------------------------------------------
// Standalone list

TqbDBStandaloneList::~TqbDBStandaloneList() {
    try {
        CloseAll();
    } catch (...) {
    }
}

void TqbDBStandaloneList::Add(TqbDBListItem* item) {
    PortalWriteGuard g(portal_);
    items_.push_back(item);
}

void TqbDBStandaloneList::Remove(TqbDBListItem* item) {
    PortalWriteGuard g(portal_);
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
}

int TqbDBStandaloneList::Count() {
    PortalReadGuard g(portal_);
    return int(items_.size());
}

TqbDBListItem* TqbDBStandaloneList::Items(int index) {
    PortalReadGuard g(portal_);
    return index >= 0 && size_t(index) < items_.size() ? items_[size_t(index)] : nullptr;
}

bool TqbDBStandaloneList::FindByName(std::string_view name, TqbDBListItem*& item) {
    PortalReadGuard g(portal_);
    for (auto it = items_.rbegin(); it != items_.rend(); ++it)
        if (cls::SameText((*it)->ItemName(), name)) {
            item = *it;
            return true;
        }
    item = nullptr;
    return false;
}

std::vector<TqbDBListItem*> TqbDBStandaloneList::Snapshot() {
    PortalReadGuard g(portal_);
    return items_;
}

void TqbDBStandaloneList::CloseAll() {
    std::vector<TqbDBListItem*> all = Snapshot();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        (*it)->SetActive(false);
}

// ---------------------------------------------------------------------------------------------
// Range stack

void TqbTableRangeStack::release(void*& buffer, int32_t size) {
    if (buffer) PoolFreeMem(buffer, uint32_t(std::max(size, 0)));
    buffer = nullptr;
}

void TqbTableRangeStack::Push() {
    saved_.push_back({current_, currentSize_});
    current_ = nullptr;
    currentSize_ = -1;
}

void TqbTableRangeStack::PopToCurrent() {
    release(current_, currentSize_);
    if (saved_.empty()) {
        currentSize_ = 0;
        return;
    }
    current_ = saved_.back().buffer;
    currentSize_ = saved_.back().size;
    saved_.pop_back();
}

void TqbTableRangeStack::SetCurrent(void* buffer, int32_t size) {
    release(current_, currentSize_);
    current_ = buffer;
    currentSize_ = size;
}

void TqbTableRangeStack::ClearCurrent() {
    release(current_, currentSize_);
    currentSize_ = -1;
}

void TqbTableRangeStack::Clear() {
    for (Entry& e : saved_)
        release(e.buffer, e.size);
    saved_.clear();
    ClearCurrent();
}
