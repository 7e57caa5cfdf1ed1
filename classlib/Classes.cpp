// Components, streams, the string list and the component writer's value encoding.
#include "classlib/Classes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace cls {

// ---- TComponent ----

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    Destroying();
    while (!freeNotifies_.empty()) {
        TComponent* other = freeNotifies_.back();
        freeNotifies_.pop_back();
        auto& back = other->freeNotifies_;
        back.erase(std::remove(back.begin(), back.end(), this), back.end());
        other->Notification(this, opRemove);
    }
    DestroyComponents();
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::SetName(const std::string& name) {
    if (name == name_) return;
    if (owner_) owner_->ValidateRename(this, name_, name);
    name_ = name;
}

std::string TComponent::ClassName() const {
    const char* raw = typeid(*this).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> dem(abi::__cxa_demangle(raw, nullptr, nullptr, &status),
                                               std::free);
    std::string s = status == 0 && dem ? dem.get() : raw;
    auto p = s.rfind("::");
    return p == std::string::npos ? s : s.substr(p + 2);
}

TComponent* TComponent::Components(int index) const {
    if (index < 0 || index >= ComponentCount())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return components_[index];
}

int TComponent::ComponentIndex() const {
    if (!owner_) return -1;
    auto& v = owner_->components_;
    auto it = std::find(v.begin(), v.end(), this);
    return it == v.end() ? -1 : static_cast<int>(it - v.begin());
}

TComponent* TComponent::FindComponent(std::string_view name) const {
    if (name.empty()) return nullptr;
    for (TComponent* c : components_)
        if (SameText(c->name_, name)) return c;
    return nullptr;
}

void TComponent::ValidateRename(TComponent* component, const std::string& currentName,
                                const std::string& newName) {
    if (component && !newName.empty() && !SameText(currentName, newName)) {
        TComponent* other = FindComponent(newName);
        if (other && other != component)
            throw EComponentError("A component named " + newName + " already exists");
    }
}

void TComponent::InsertComponent(TComponent* component) {
    if (!component || component->owner_ == this) return;
    ValidateRename(component, "", component->name_);
    if (component->owner_) component->owner_->RemoveComponent(component);
    components_.push_back(component);
    component->owner_ = this;
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    auto it = std::find(components_.begin(), components_.end(), component);
    if (it == components_.end()) return;
    Notification(component, opRemove);
    it = std::find(components_.begin(), components_.end(), component);
    if (it != components_.end()) components_.erase(it);
    component->owner_ = nullptr;
}

void TComponent::DestroyComponents() {
    while (!components_.empty()) {
        TComponent* c = components_.back();
        components_.pop_back();
        c->owner_ = nullptr;
        delete c;
    }
}

void TComponent::FreeNotification(TComponent* component) {
    if (!component || component == this) return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end())
        freeNotifies_.push_back(component);
    auto& back = component->freeNotifies_;
    if (std::find(back.begin(), back.end(), this) == back.end()) back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
    if (!component) return;
    freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), component),
                        freeNotifies_.end());
    auto& back = component->freeNotifies_;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    if (operation == opRemove) RemoveFreeNotification(component);
    for (size_t i = components_.size(); i-- > 0;) {
        if (i >= components_.size()) continue;
        components_[i]->Notification(component, operation);
    }
}

void TComponent::BeginLoading() {
    state_ |= csLoading | csReading;
    for (TComponent* c : components_)
        c->BeginLoading();
}

void TComponent::EndLoading() {
    std::vector<TComponent*> all;
    std::function<void(TComponent*)> collect = [&](TComponent* c) {
        all.push_back(c);
        for (TComponent* child : c->components_)
            collect(child);
    };
    collect(this);
    for (TComponent* c : all)
        c->state_ &= ~csReading;
    for (TComponent* c : all)
        if (c->state_ & csLoading) c->Loaded();
}

void TComponent::Loaded() {
    state_ &= ~csLoading;
}

void TComponent::SetDesigning(bool value) {
    if (value)
        state_ |= csDesigning;
    else
        state_ &= ~csDesigning;
    for (TComponent* c : components_)
        c->SetDesigning(value);
}

void TComponent::Destroying() {
    if (state_ & csDestroying) return;
    state_ |= csDestroying;
    for (TComponent* c : components_)
        c->Destroying();
}

// ---- TStream ----

int64_t TStream::Size() {
    int64_t pos = Seek(0, soCurrent);
    int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

void TStream::SetSize(int64_t) {
    throw EStreamError("Stream size cannot be changed");
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count < 0 || (count != 0 && Read(buffer, count) != count)) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count < 0 || (count != 0 && Write(buffer, count) != count)) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<char> buf(static_cast<size_t>(std::min<int64_t>(count, 65536)) + 1);
    int64_t left = count;
    while (left > 0) {
        int32_t n = static_cast<int32_t>(std::min<int64_t>(left, 65536));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        left -= n;
    }
    return count;
}

// ---- TMemoryStream ----

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    int64_t size = Size();
    if (count <= 0 || pos_ >= size) return 0;
    int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - pos_));
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    int64_t end = pos_ + count;
    if (end > Size()) data_.resize(static_cast<size_t>(end));
    std::memcpy(data_.data() + pos_, buffer, count);
    pos_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : Size();
    int64_t p = base + offset;
    pos_ = p < 0 ? 0 : p;
    return pos_;
}

void TMemoryStream::SetSize(int64_t size) {
    data_.resize(static_cast<size_t>(size < 0 ? 0 : size));
    if (pos_ > Size()) pos_ = Size();
}

void TMemoryStream::Clear() {
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
    source.SetPosition(0);
    int64_t n = source.Size();
    SetSize(n);
    int64_t done = 0;
    while (done < n) {
        int32_t chunk = static_cast<int32_t>(std::min<int64_t>(n - done, 1 << 30));
        source.ReadBuffer(data_.data() + done, chunk);
        done += chunk;
    }
    pos_ = 0;
}

void TMemoryStream::SaveToStream(TStream& dest) {
    int64_t done = 0, n = Size();
    while (done < n) {
        int32_t chunk = static_cast<int32_t>(std::min<int64_t>(n - done, 1 << 30));
        dest.WriteBuffer(data_.data() + done, chunk);
        done += chunk;
    }
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream f(fileName, fmOpenRead);
    LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream f(fileName, fmCreate);
    SaveToStream(f);
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : fileName_(fileName) {
    if (mode == fmCreate) {
        if (int err = file_.open(fileName, plat::kFileReadWrite | plat::kFileCreate | plat::kFileTruncate))
            throw EFCreateError("Cannot create file \"" + fileName + "\". " + plat::FileErrorText(err));
        return;
    }
    uint32_t flags = (mode & 3) == fmOpenWrite       ? plat::kFileWrite
                     : (mode & 3) == fmOpenReadWrite ? plat::kFileReadWrite
                                                     : plat::kFileRead;
    if (int err = file_.open(fileName, flags))
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + plat::FileErrorText(err));
}

TFileStream::~TFileStream() = default;

int32_t TFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0) return 0;
    size_t done = 0;
    plat::FileReadExact(file_.handle(), pos_, buffer, size_t(count), &done);
    pos_ += done;
    return int32_t(done);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    int32_t done = 0;
    while (done < count) {
        size_t n = 0;
        if (plat::Files().write(file_.handle(), pos_, static_cast<const char*>(buffer) + done,
                                size_t(count - done), n) != 0 ||
            n == 0)
            break;
        done += int32_t(n);
        pos_ += n;
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = 0;
    if (origin == soCurrent) base = int64_t(pos_);
    if (origin == soEnd) {
        uint64_t size = 0;
        if (int err = plat::FileSize(file_.handle(), size))
            throw EStreamError("Seek failed on \"" + fileName_ + "\". " + plat::FileErrorText(err));
        base = int64_t(size);
    }
    if (offset < -base)
        throw EStreamError("Seek failed on \"" + fileName_ + "\". " + plat::FileErrorText(EINVAL));
    pos_ = uint64_t(base + offset);
    return int64_t(pos_);
}

void TFileStream::SetSize(int64_t size) {
    if (int err = size < 0 ? EINVAL : plat::FileTruncate(file_.handle(), uint64_t(size)))
        throw EStreamError("Cannot set the size of \"" + fileName_ + "\". " + plat::FileErrorText(err));
    if (Position() > size) Seek(size, soBeginning);
}

// ---- TStringList ----

void TStringList::checkIndex(int index) const {
    if (index < 0 || index >= Count())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

void TStringList::changing() {
    if (updateCount_ == 0 && OnChanging) OnChanging(this);
}

void TStringList::changed() {
    if (updateCount_ == 0 && OnChange) OnChange(this);
}

void TStringList::EndUpdate() {
    if (updateCount_ > 0 && --updateCount_ == 0) changed();
}

const std::string& TStringList::Strings(int index) const {
    checkIndex(index);
    return items_[index].s;
}

void TStringList::SetStrings(int index, const std::string& s) {
    if (sorted_) throw EListError("Operation not allowed on sorted list");
    checkIndex(index);
    changing();
    items_[index].s = s;
    changed();
}

void* TStringList::Objects(int index) const {
    checkIndex(index);
    return items_[index].obj;
}

void TStringList::SetObjects(int index, void* object) {
    checkIndex(index);
    changing();
    items_[index].obj = object;
    changed();
}

int TStringList::AddObject(const std::string& s, void* object) {
    int index = Count();
    if (sorted_ && Find(s, index)) {
        if (Duplicates == dupIgnore) return index;
        if (Duplicates == dupError) throw EListError("String list does not allow duplicates");
    }
    changing();
    items_.insert(items_.begin() + index, Item{s, object});
    changed();
    return index;
}

void TStringList::AddStrings(const TStringList& other) {
    BeginUpdate();
    for (const Item& it : other.items_)
        AddObject(it.s, it.obj);
    EndUpdate();
}

void TStringList::Insert(int index, const std::string& s) {
    if (sorted_) throw EListError("Operation not allowed on sorted list");
    if (index < 0 || index > Count())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    changing();
    items_.insert(items_.begin() + index, Item{s, nullptr});
    changed();
}

void TStringList::Delete(int index) {
    checkIndex(index);
    changing();
    items_.erase(items_.begin() + index);
    changed();
}

void TStringList::Clear() {
    if (items_.empty()) return;
    changing();
    items_.clear();
    changed();
}

void TStringList::Assign(const TStringList& other) {
    if (&other == this) return;
    BeginUpdate();
    Clear();
    AddStrings(other);
    EndUpdate();
}

int TStringList::IndexOf(std::string_view s) const {
    if (sorted_) {
        int index;
        return Find(s, index) ? index : -1;
    }
    for (int i = 0; i < Count(); ++i)
        if (compare(items_[i].s, s) == 0) return i;
    return -1;
}

int TStringList::IndexOfName(std::string_view name) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& s = items_[i].s;
        auto eq = s.find('=');
        if (eq != std::string::npos && compare(std::string_view(s).substr(0, eq), name) == 0) return i;
    }
    return -1;
}

std::string TStringList::Names(int index) const {
    const std::string& s = Strings(index);
    auto eq = s.find('=');
    return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStringList::Values(std::string_view name) const {
    int i = IndexOfName(name);
    if (i < 0) return std::string();
    const std::string& s = items_[i].s;
    return s.substr(s.find('=') + 1);
}

void TStringList::SetValues(std::string_view name, const std::string& value) {
    int i = IndexOfName(name);
    if (value.empty()) {
        if (i >= 0) Delete(i);
        return;
    }
    std::string line = std::string(name) + "=" + value;
    if (i < 0)
        Add(line);
    else if (sorted_) {
        BeginUpdate();
        Delete(i);
        Add(line);
        EndUpdate();
    } else
        SetStrings(i, line);
}

std::string TStringList::Text() const {
    std::string r;
    for (const Item& it : items_) {
        r += it.s;
        r += "\r\n";
    }
    return r;
}

void TStringList::SetText(std::string_view text) {
    BeginUpdate();
    Clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        while (i < text.size() && text[i] != '\r' && text[i] != '\n')
            ++i;
        Add(std::string(text.substr(start, i - start)));
        if (i < text.size() && text[i] == '\r') ++i;
        if (i < text.size() && text[i] == '\n') ++i;
    }
    EndUpdate();
}

void TStringList::SetSorted(bool value) {
    if (sorted_ == value) return;
    if (value) Sort();
    sorted_ = value;
}

void TStringList::SetCaseSensitive(bool value) {
    if (caseSensitive_ == value) return;
    caseSensitive_ = value;
    if (sorted_) Sort();
}

bool TStringList::Find(std::string_view s, int& index) const {
    bool found = false;
    int lo = 0, hi = Count() - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = compare(items_[mid].s, s);
        if (c < 0)
            lo = mid + 1;
        else {
            hi = mid - 1;
            if (c == 0) {
                found = true;
                if (Duplicates != dupAccept) lo = mid;
            }
        }
    }
    index = lo;
    return found;
}

void TStringList::Sort() {
    if (items_.size() < 2) return;
    changing();
    std::stable_sort(items_.begin(), items_.end(),
                     [this](const Item& a, const Item& b) { return compare(a.s, b.s) < 0; });
    changed();
}

// ---- TWriter / TReader ----

void TWriter::writeValue(TValueType t) {
    uint8_t b = t;
    stream_.WriteBuffer(&b, 1);
}

void TWriter::WriteBoolean(bool value) {
    writeValue(value ? vaTrue : vaFalse);
}

void TWriter::WriteInteger(int32_t value) {
    uint8_t b[4];
    uint32_t u = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(u >> (8 * i));
    if (value >= -128 && value <= 127) {
        writeValue(vaInt8);
        stream_.WriteBuffer(b, 1);
    } else if (value >= -32768 && value <= 32767) {
        writeValue(vaInt16);
        stream_.WriteBuffer(b, 2);
    } else {
        writeValue(vaInt32);
        stream_.WriteBuffer(b, 4);
    }
}

void TWriter::WriteString(std::string_view value) {
    if (value.size() <= 255) {
        writeValue(vaString);
        uint8_t n = static_cast<uint8_t>(value.size());
        stream_.WriteBuffer(&n, 1);
    } else {
        if (value.size() > 0x7FFFFFFF) throw EWriteError("String too long to write");
        writeValue(vaLString);
        uint32_t n = static_cast<uint32_t>(value.size());
        uint8_t b[4];
        for (int i = 0; i < 4; ++i)
            b[i] = static_cast<uint8_t>(n >> (8 * i));
        stream_.WriteBuffer(b, 4);
    }
    stream_.WriteBuffer(value.data(), static_cast<int32_t>(value.size()));
}

void TWriter::WriteListBegin() {
    writeValue(vaList);
}
void TWriter::WriteListEnd() {
    writeValue(vaNull);
}
void TWriter::Write(const void* buffer, int32_t count) {
    stream_.WriteBuffer(buffer, count);
}

TValueType TReader::ReadValue() {
    uint8_t b;
    stream_.ReadBuffer(&b, 1);
    return static_cast<TValueType>(b);
}

TValueType TReader::NextValue() {
    TValueType t = ReadValue();
    stream_.Seek(-1, soCurrent);
    return t;
}

bool TReader::ReadBoolean() {
    TValueType t = ReadValue();
    if (t == vaTrue) return true;
    if (t == vaFalse) return false;
    throw EReadError("Invalid property value");
}

int32_t TReader::ReadInteger() {
    uint8_t b[4] = {};
    switch (ReadValue()) {
    case vaInt8:
        stream_.ReadBuffer(b, 1);
        return static_cast<int8_t>(b[0]);
    case vaInt16:
        stream_.ReadBuffer(b, 2);
        return static_cast<int16_t>(b[0] | (b[1] << 8));
    case vaInt32:
        stream_.ReadBuffer(b, 4);
        return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                    uint32_t(b[3]) << 24);
    default:
        throw EReadError("Invalid property value");
    }
}

std::string TReader::ReadString() {
    uint32_t n = 0;
    TValueType t = ReadValue();
    if (t == vaString) {
        uint8_t b;
        stream_.ReadBuffer(&b, 1);
        n = b;
    } else if (t == vaLString) {
        uint8_t b[4];
        stream_.ReadBuffer(b, 4);
        n = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        if (n > 0x7FFFFFFF || int64_t(n) > stream_.Size() - stream_.Position())
            throw EReadError("Stream read error");
    } else
        throw EReadError("Invalid property value");
    std::string s(n, '\0');
    stream_.ReadBuffer(s.data(), static_cast<int32_t>(n));
    return s;
}

void TReader::ReadListBegin() {
    if (ReadValue() != vaList) throw EReadError("Invalid property value");
}

void TReader::ReadListEnd() {
    if (ReadValue() != vaNull) throw EReadError("Invalid property value");
}

bool TReader::EndOfList() {
    return NextValue() == vaNull;
}

void TReader::Read(void* buffer, int32_t count) {
    stream_.ReadBuffer(buffer, count);
}

} // namespace cls
