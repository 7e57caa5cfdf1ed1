// Components (ownership, names, notifications, loading), streams, the string list and the component
// writer's tagged value encoding.
#include "classlib/Classes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

using namespace cls;

namespace {

// Records its destruction and the notifications it hears.
class Probe : public TComponent {
public:
    Probe(TComponent* owner, std::vector<std::string>* log, std::string tag)
        : TComponent(owner), log_(log), tag_(std::move(tag)) {}
    ~Probe() override { log_->push_back("free " + tag_); }
    void Loaded() override {
        TComponent::Loaded();
        log_->push_back("loaded " + tag_);
    }
    void Notification(TComponent* c, TOperation op) override {
        TComponent::Notification(c, op);
        if (op == opRemove && c != this) log_->push_back(tag_ + " heard removal of " + c->Name());
    }

private:
    std::vector<std::string>* log_;
    std::string tag_;
};

std::string bytesOf(TMemoryStream& s) {
    return std::string(reinterpret_cast<const char*>(s.Memory()), s.Size());
}

} // namespace

TEST(Component, OwnerFreesWhatItOwnsAndFindsNamesWithoutCase) {
    std::vector<std::string> log;
    auto* root = new Probe(nullptr, &log, "root");
    auto* a = new Probe(root, &log, "a");
    auto* b = new Probe(a, &log, "b");
    a->SetName("Alpha");
    b->SetName("Beta");
    EXPECT_EQ(root->FindComponent("beta"), nullptr); // only direct components
    EXPECT_EQ(a->FindComponent("bEtA"), b);

    // A second "alpha" under the same owner is refused, a change of case of one's own name is not.
    auto* c = new Probe(root, &log, "c");
    EXPECT_THROW(c->SetName("alpha"), EComponentError);
    EXPECT_NO_THROW(a->SetName("ALPHA"));

    // Freeing one owned component takes it out of its owner's list and tells the siblings.
    delete c;
    EXPECT_EQ(root->ComponentCount(), 1);
    delete root;
    std::vector<std::string> frees;
    for (auto& l : log)
        if (l.rfind("free", 0) == 0) frees.push_back(l);
    EXPECT_EQ(frees, (std::vector<std::string>{"free c", "free root", "free a", "free b"}));

    // A free notification reaches the other side; x then goes without notifying the freed y.
    auto* x = new Probe(nullptr, &log, "x");
    auto* y = new Probe(nullptr, &log, "y");
    y->SetName("Y");
    x->FreeNotification(y);
    delete y;
    EXPECT_NE(std::find(log.begin(), log.end(), "x heard removal of Y"), log.end());
    delete x;
}

TEST(Component, LoadedRunsAfterTheWholeLoadInOrder) {
    std::vector<std::string> log;
    Probe root(nullptr, &log, "root");
    new Probe(&root, &log, "one");
    new Probe(&root, &log, "two");
    root.BeginLoading();
    log.clear();
    root.EndLoading();
    EXPECT_EQ(log, (std::vector<std::string>{"loaded root", "loaded one", "loaded two"}));
    EXPECT_FALSE(root.Components(1)->ComponentState() & csLoading);
    EXPECT_THROW(root.Components(5), EListError);
}

TEST(Stream, MemoryStreamReadsWritesSeeksAndStopsAtTheEnd) {
    TMemoryStream s;
    s.WriteBuffer("hello world", 11);
    EXPECT_EQ(s.Seek(-5, soEnd), 6);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, 16), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_THROW(s.ReadBuffer(buf, 1), EReadError); // past the end
    EXPECT_EQ(s.Seek(-100, soCurrent), 0);          // never before the start
    s.Seek(20, soBeginning);
    s.WriteBuffer("!", 1); // writing past the end fills the gap with zeros
    EXPECT_EQ(bytesOf(s), std::string("hello world\0\0\0\0\0\0\0\0\0!", 21));
    s.SetSize(5);
    TMemoryStream copy;
    copy.CopyFrom(s, 0);
    EXPECT_EQ(bytesOf(copy), "hello");
}

TEST(Stream, FilesRoundTripAndMissingFilesGiveClearErrors) {
    pwtest::TempDir dir;
    TMemoryStream s;
    std::string data;
    for (int i = 0; i < 70000; ++i)
        data.push_back(static_cast<char>(i * 7));
    s.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
    s.SaveToFile(dir.file("a.bin"));
    TMemoryStream back;
    back.LoadFromFile(dir.str() + "\\a.bin"); // either separator
    EXPECT_EQ(bytesOf(back), data);
    EXPECT_THROW(TFileStream(dir.file("missing.bin"), fmOpenRead), EFOpenError);
}

TEST(StringList, SortedListsKeepOrderAndHonourTheDuplicatesRule) {
    TStringList l;
    int changes = 0;
    l.OnChange = [&](TStringList*) { ++changes; };
    l.SetSorted(true);
    for (const char* s : {"pear", "Apple", "banana", "apple"})
        l.Add(s);
    EXPECT_EQ(l.Count(), 3); // "apple" equals "Apple" without case: ignored
    EXPECT_EQ(l[2], "pear");
    int at;
    EXPECT_FALSE(l.Find("cherry", at));
    EXPECT_EQ(at, 2);
    l.Duplicates = dupError;
    EXPECT_THROW(l.Add("PEAR"), EListError);
    l.SetCaseSensitive(true);
    l.Duplicates = dupAccept;
    l.Add("apple");
    EXPECT_EQ(l.Count(), 4);
    EXPECT_EQ(l.IndexOf("APPLE"), -1);
    EXPECT_EQ(changes, 5); // three adds, the re-sort, one more add

    l.BeginUpdate();
    l.Clear();
    l.Add("one");
    l.EndUpdate();
    EXPECT_EQ(changes, 6); // one for the whole update
    EXPECT_THROW(l.Strings(3), EListError);
}

TEST(StringList, TextAndNameValueLines) {
    TStringList l;
    l.SetText("a=1\r\nb=2\nc\r\rlast");
    ASSERT_EQ(l.Count(), 5);
    EXPECT_EQ(l.Values("B"), "2");
    l.SetValues("b", "3");
    l.SetValues("d", "4");
    l.SetValues("a", "");
    EXPECT_EQ(l.Text(), "b=3\r\nc\r\n\r\nlast\r\nd=4\r\n");
}

TEST(ComponentWriter, ValuesCarryTheirTagsInTheSmallestForm) {
    const int32_t ints[] = {0, -128, 127, 128, -129, 32767, -32768, 32768, -32769, INT32_MIN};
    TMemoryStream s;
    TWriter w(s);
    w.WriteBoolean(true);
    w.WriteBoolean(false);
    for (int32_t v : ints)
        w.WriteInteger(v);
    w.WriteString("ab");
    w.WriteString(std::string(300, 'x'));
    w.Write("\x01\x02", 2);
    auto B = [](std::initializer_list<int> v) {
        std::string r;
        for (int c : v)
            r.push_back(static_cast<char>(c));
        return r;
    };
    std::string expect =
        B({0x09, 0x08, 0x02, 0x00, 0x02, 0x80, 0x02, 0x7f, 0x03, 0x80, 0x00, 0x03, 0x7f, 0xff, 0x03,
           0xff, 0x7f, 0x03, 0x00, 0x80, 0x04, 0x00, 0x80, 0x00, 0x00, 0x04, 0xff, 0x7f, 0xff, 0xff,
           0x04, 0x00, 0x00, 0x00, 0x80, 0x06, 0x02, 'a',  'b',  0x0c, 0x2c, 0x01, 0x00, 0x00}) +
        std::string(300, 'x') + B({0x01, 0x02});
    EXPECT_EQ(bytesOf(s), expect);

    s.SetPosition(0);
    TReader r(s);
    EXPECT_TRUE(r.ReadBoolean());
    EXPECT_FALSE(r.ReadBoolean());
    for (int32_t v : ints)
        EXPECT_EQ(r.ReadInteger(), v);
    r.ReadString();
    EXPECT_EQ(r.ReadString(), std::string(300, 'x'));
}

TEST(ComponentWriter, ReaderRefusesWrongTagsAndShortStreams) {
    auto reader = [](const std::string& bytes, auto&& read) {
        TMemoryStream s;
        s.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
        s.SetPosition(0);
        TReader r(s);
        read(r);
    };
    EXPECT_THROW(reader("\x06", [](TReader& r) { r.ReadInteger(); }), EReadError);
    EXPECT_THROW(reader("\x04\x01\x02", [](TReader& r) { r.ReadInteger(); }), EReadError);
    EXPECT_THROW(reader(std::string("\x06\x05") + "ab", [](TReader& r) { r.ReadString(); }), EReadError);
    // A long-string length far beyond the stream is refused before anything is allocated.
    EXPECT_THROW(reader(std::string("\x0c\xff\xff\xff\x7f", 5), [](TReader& r) { r.ReadString(); }),
                 EReadError);
    EXPECT_THROW(reader("", [](TReader& r) { r.NextValue(); }), EReadError);
}
