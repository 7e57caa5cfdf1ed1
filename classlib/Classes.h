// Class-library stand-in: components with owner and name, streams, the string list and the
// component writer's tagged value encoding.
#pragma once
#include "classlib/SysUtils.h"
#include "platform/Files.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace cls {

class EComponentError : public Exception {
public:
    using Exception::Exception;
};
class EListError : public Exception {
public:
    using Exception::Exception;
};
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// ---- components ----

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : unsigned {
    csLoading = 1, // being read: values set now are held until Loaded()
    csReading = 2,
    csDestroying = 4,
    csDesigning = 8,
};
using TComponentState = unsigned;

// A component belongs to its owner, which frees it. Names are unique among the owner's
// components without regard to case; an empty name is allowed any number of times.
class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    virtual void SetName(const std::string& name);
    std::string ClassName() const; // e.g. "TDataSource"
    intptr_t Tag = 0;

    TComponentState ComponentState() const { return state_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const;
    int ComponentIndex() const;
    TComponent* FindComponent(std::string_view name) const;
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);
    void DestroyComponents();

    // The other component hears opRemove when this one goes (and the other way round).
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

    // Reading a window's components: mark this component and those it owns as loading, then end
    // the load, which calls Loaded() on each in order (this one first).
    void BeginLoading();
    void EndLoading();
    void SetDesigning(bool value);
    void Destroying();

protected:
    virtual void Loaded();
    virtual void Notification(TComponent* component, TOperation operation);
    virtual void ValidateRename(TComponent* component, const std::string& currentName,
                                const std::string& newName);
    void IncludeState(TComponentState s) { state_ |= s; }
    void ExcludeState(TComponentState s) { state_ &= ~s; }

private:
    TComponent* owner_ = nullptr;
    std::string name_;
    TComponentState state_ = 0;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
};

// ---- streams ----

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t size);
    // Exactly count bytes or EReadError / EWriteError.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);
    // count 0 copies the whole source from its start.
    int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }
    void SetSize(int64_t size) override;

    uint8_t* Memory() { return data_.data(); }
    const uint8_t* Memory() const { return data_.data(); }
    void Clear();
    void LoadFromStream(TStream& source);
    void SaveToStream(TStream& dest);
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};

enum : unsigned {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmCreate = 0xFF00,
};

class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, unsigned mode);
    ~TFileStream() override;
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    plat::File file_;
    uint64_t pos_ = 0;
};

// ---- string list ----

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& Strings(int index) const;
    const std::string& operator[](int index) const { return Strings(index); }
    void SetStrings(int index, const std::string& s);
    void* Objects(int index) const;
    void SetObjects(int index, void* object);

    int Add(const std::string& s) { return AddObject(s, nullptr); }
    int AddObject(const std::string& s, void* object);
    void AddStrings(const TStringList& other);
    void Insert(int index, const std::string& s);
    void Delete(int index);
    void Clear();
    void Assign(const TStringList& other);

    int IndexOf(std::string_view s) const;
    // "name=value" lines.
    int IndexOfName(std::string_view name) const;
    std::string Names(int index) const;
    std::string Values(std::string_view name) const;
    void SetValues(std::string_view name, const std::string& value);

    // All lines, each ended by CR LF; setting splits at CR LF, CR or LF.
    std::string Text() const;
    void SetText(std::string_view text);

    bool Sorted() const { return sorted_; }
    void SetSorted(bool value);
    TDuplicates Duplicates = dupIgnore;
    bool CaseSensitive() const { return caseSensitive_; }
    void SetCaseSensitive(bool value);
    // Binary search in a sorted list; index is where s is or would go.
    bool Find(std::string_view s, int& index) const;
    void Sort();

    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();
    std::function<void(TStringList*)> OnChanging;
    std::function<void(TStringList*)> OnChange;

private:
    struct Item {
        std::string s;
        void* obj;
    };
    int compare(std::string_view a, std::string_view b) const { return CollateText(a, b, !caseSensitive_); }
    void checkIndex(int index) const;
    void changing();
    void changed();

    std::vector<Item> items_;
    bool sorted_ = false;
    bool caseSensitive_ = false;
    int updateCount_ = 0;
};
using TStrings = TStringList;

// ---- the component writer's value encoding ----

// Tag byte in front of each value.
enum TValueType : uint8_t {
    vaNull = 0,
    vaList = 1,
    vaInt8 = 2,
    vaInt16 = 3,
    vaInt32 = 4,
    vaExtended = 5,
    vaString = 6,
    vaIdent = 7,
    vaFalse = 8,
    vaTrue = 9,
    vaBinary = 10,
    vaSet = 11,
    vaLString = 12,
};

class TWriter {
public:
    explicit TWriter(TStream& stream) : stream_(stream) {}
    void WriteBoolean(bool value);
    void WriteInteger(int32_t value);         // smallest of int8 / int16 / int32
    void WriteString(std::string_view value); // vaString up to 255 characters, else vaLString
    void WriteListBegin();
    void WriteListEnd();
    void Write(const void* buffer, int32_t count); // raw, no tag

private:
    void writeValue(TValueType t);
    TStream& stream_;
};

// Every read is checked: a wrong tag or a short stream gives EReadError.
class TReader {
public:
    explicit TReader(TStream& stream) : stream_(stream) {}
    TValueType NextValue();
    TValueType ReadValue();
    bool ReadBoolean();
    int32_t ReadInteger();
    std::string ReadString();
    void ReadListBegin();
    void ReadListEnd();
    bool EndOfList();
    void Read(void* buffer, int32_t count);

private:
    TStream& stream_;
};

} // namespace cls
