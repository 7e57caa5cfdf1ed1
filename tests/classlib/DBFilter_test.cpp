// The filter-expression builder's bytes field by field, its error positions, the evaluator against
// a direct check over a set of records, the comparison rules, and malformed expressions.
#include "classlib/DBFilter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace cls;

namespace {

// Expected bytes written field by field.
struct Bytes {
    std::vector<uint8_t> v;
    Bytes& u16(uint32_t x) {
        v.push_back(static_cast<uint8_t>(x));
        v.push_back(static_cast<uint8_t>(x >> 8));
        return *this;
    }
    Bytes& u32(uint32_t x) {
        for (int i = 0; i < 4; ++i)
            v.push_back(static_cast<uint8_t>(x >> (8 * i)));
        return *this;
    }
    Bytes& text(const std::string& s) {
        v.insert(v.end(), s.begin(), s.end());
        v.push_back(0);
        return *this;
    }
};

std::vector<TFilterField> contactsFields() {
    std::vector<TFilterField> f = {{"name", 1, ftString},
                                   {"id", 2, ftString},
                                   {"servicenumber", 3, ftInteger},
                                   {"password", 4, ftString}};
    for (int i = 1; i <= 10; ++i)
        f.push_back({"memberGr" + std::to_string(i), 4 + i, ftBoolean});
    return f;
}

// A record of the test fields: 1 name, 2 a, 3 b, 4 memberGr3, 5 f, 6 d (date), 7 a2; empty = null.
struct Rec {
    std::optional<std::string> name = {};
    std::optional<int64_t> a = {};
    std::optional<std::string> b = {};
    std::optional<bool> g3 = {};
    std::optional<double> f = {};
    std::optional<int32_t> day = {};
    std::optional<int64_t> a2 = {};
};

const std::vector<TFilterField>& recFields() {
    static const std::vector<TFilterField> f = {
        {"name", 1, ftString}, {"a", 2, ftInteger}, {"b", 3, ftString},  {"memberGr3", 4, ftBoolean},
        {"f", 5, ftFloat},     {"d", 6, ftDate},    {"a2", 7, ftInteger}};
    return f;
}

class RecAccess : public TFilterRecord {
public:
    explicit RecAccess(const Rec& r) : r_(r) {}
    int FieldCount() const override { return 7; }
    std::string_view FieldName(int no) const override { return recFields()[no - 1].Name; }
    bool FieldValue(int no, TFilterValue& v) const override {
        v = TFilterValue();
        const std::optional<std::string>* text = no == 1 ? &r_.name : no == 3 ? &r_.b : nullptr;
        const std::optional<int64_t>* integer = no == 2 ? &r_.a : no == 7 ? &r_.a2 : nullptr;
        if (text) {
            v.cls = TFilterValue::vcText, v.null = !*text;
            if (*text) v.data = (*text)->data(), v.size = (*text)->size();
        } else if (integer) {
            v.cls = TFilterValue::vcInteger, v.null = !*integer, v.i = integer->value_or(0);
        } else if (no == 4) {
            v.cls = TFilterValue::vcBoolean, v.null = !r_.g3, v.b = r_.g3.value_or(false);
        } else if (no == 5) {
            v.cls = TFilterValue::vcFloat, v.null = !r_.f, v.f = r_.f.value_or(0);
        } else if (no == 6) {
            v.cls = TFilterValue::vcDateTime, v.null = !r_.day, v.f = r_.day.value_or(0);
        } else {
            return false;
        }
        return true;
    }

private:
    const Rec& r_;
};

std::vector<Rec> sampleRecords() {
    std::mt19937 rng(20240517);
    const std::vector<std::optional<std::string>> names = {
        "Bob", "bob", "Bobby", "B", "B*", "Carol", "", std::nullopt, "alice", "BOB", "b\xE9t\xE9"};
    std::vector<Rec> r;
    for (int i = 0; i < 400; ++i) {
        Rec x;
        x.name = names[rng() % names.size()];
        if (rng() % 5) x.a = static_cast<int64_t>(rng() % 9) - 3;
        if (rng() % 4) x.b = std::string(1, static_cast<char>('w' + rng() % 3));
        if (rng() % 6) x.g3 = rng() % 2;
        if (rng() % 5) x.f = (static_cast<int>(rng() % 9) - 2) * 0.5;
        if (rng() % 3) x.day = 693590 + static_cast<int32_t>(rng() % 8);
        if (rng() % 3) x.a2 = static_cast<int64_t>(rng() % 3);
        r.push_back(x);
    }
    return r;
}

bool matches(const std::string& text, const Rec& r) {
    return TFilterExpression(BuildFilterExpression(text, 0, recFields())).Matches(RecAccess(r));
}

std::string errorOf(const std::string& text) {
    try {
        BuildFilterExpression(text, 0, contactsFields());
    } catch (const EFilterError& e) {
        return e.what();
    }
    return "<no error>";
}

} // namespace

TEST(FilterBuilder, GroupFilterBytes) {
    Bytes e;
    e.u16(2).u16(60).u16(3).u16(10).u16(48);      // header: version, size, nodes, node area, literals
    e.u32(nodeBinary).u32(canEQ).u16(12).u16(24); // root: memberGr3 = true
    e.u32(nodeField).u32(0).u16(7).u16(0);        // field 7, name at literal 0
    e.u32(nodeConst).u32(0).u16(fldBool).u16(2).u16(10);
    e.text("memberGr3").u16(1);
    EXPECT_EQ(BuildFilterExpression("memberGr3=true", 0, contactsFields()), e.v);
    // Spelling does not matter: case of keywords and names, blanks, brackets.
    EXPECT_EQ(BuildFilterExpression("  [MEMBERgr3] = TRUE ", 0, contactsFields()), e.v);
    // No text is the bare header, which matches every record.
    std::vector<uint8_t> empty = {2, 0, 10, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(BuildFilterExpression("  \t ", 0, contactsFields()), empty);
    EXPECT_TRUE(TFilterExpression(empty).Matches(RecAccess(Rec())));
}

TEST(FilterBuilder, TextComparisonsWithAndWithoutOptions) {
    // Without options a binary node; case-insensitive or partial (a trailing '*') a compare node.
    struct Case {
        const char* text;
        TFilterOptions opts;
        uint16_t size;
        bool compare;
        uint16_t caseInsensitive, partial;
        std::string value;
    };
    const Case cases[] = {{"name='Bob'", 0, 57, false, 0, 0, "Bob"},
                          {"name='B*'", 0, 59, true, 0, 1, "B"},
                          {"name='B*'", foNoPartialCompare, 56, false, 0, 0, "B*"},
                          {"name='B*'", foCaseInsensitive, 59, true, 1, 1, "B"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.text << " options " << int(c.opts));
        Bytes e;
        e.u16(2).u16(c.size).u16(3).u16(10).u16(c.compare ? 52 : 48);
        if (c.compare)
            e.u32(nodeCompare).u32(canEQ).u16(c.caseInsensitive).u16(c.partial).u16(16).u16(28);
        else
            e.u32(nodeBinary).u32(canEQ).u16(12).u16(24);
        e.u32(nodeField).u32(0).u16(1).u16(0);
        e.u32(nodeConst).u32(0).u16(fldZString).u16(static_cast<uint32_t>(c.value.size() + 1)).u16(5);
        e.text("name").text(c.value);
        EXPECT_EQ(BuildFilterExpression(c.text, c.opts, contactsFields()), e.v);
    }
}

TEST(FilterBuilder, LogicalOperatorsAndNullTests) {
    std::vector<TFilterField> fields = {{"a", 1, ftInteger}, {"b", 2, ftString}};
    Bytes e;
    e.u16(2).u16(100).u16(7).u16(10).u16(92);
    e.u32(nodeBinary).u32(canAnd).u16(12).u16(50);       // 0: and
    e.u32(nodeBinary).u32(canGT).u16(24).u16(36);        // 12: a > 1
    e.u32(nodeField).u32(0).u16(1).u16(0);               // 24: a
    e.u32(nodeConst).u32(0).u16(fldInt32).u16(4).u16(2); // 36: 1
    e.u32(nodeUnary).u32(canNot).u16(60);                // 50: not
    e.u32(nodeUnary).u32(canIsBlank).u16(70);            // 60: b is null
    e.u32(nodeField).u32(0).u16(2).u16(6);               // 70: b
    e.text("a").u32(1).text("b");
    EXPECT_EQ(BuildFilterExpression("a>1 and not (b is null)", 0, fields), e.v);
    EXPECT_EQ(BuildFilterExpression("b is not null", 0, fields),
              BuildFilterExpression("b <> null", 0, fields));
}

TEST(FilterBuilder, ConstantsTakeTheTypeOfTheFieldTheyAreComparedWith) {
    std::vector<TFilterField> f = {
        {"i", 1, ftInteger}, {"w", 3, ftWord}, {"d", 5, ftDate}, {"t", 6, ftTime}, {"dt", 7, ftDateTime}};
    auto le = [](auto x) {
        std::vector<uint8_t> r(sizeof x);
        std::memcpy(r.data(), &x, sizeof x);
        return r;
    };
    struct Case {
        const char* text;
        uint16_t type;
        std::vector<uint8_t> value;
    };
    const Case cases[] = {{"i >= 2.5", fldFloat, le(2.5)}, // not cut to an integer
                          {"w = 65535", fldUInt16, le(uint16_t(65535))},
                          {"d = '1899-12-30'", fldDate, le(int32_t(693594))},
                          {"dt = '1899-12-30 12:00'", fldTimeStamp, le(693594.0 * 86400000 + 43200000)}};
    auto u16 = [](const std::vector<uint8_t>& b, size_t at) {
        return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<uint8_t> b = BuildFilterExpression(c.text, 0, f);
        // root binary at 10, field at 22, constant at 34: its type, size and literal offset
        EXPECT_EQ(u16(b, 42), c.type);
        size_t at = u16(b, 8) + u16(b, 46);
        ASSERT_LE(at + u16(b, 44), b.size());
        EXPECT_EQ(std::vector<uint8_t>(b.begin() + at, b.begin() + at + u16(b, 44)), c.value);
    }
}

TEST(FilterBuilder, TextItCannotCompileIsAnErrorWithItsPosition) {
    const std::pair<const char*, const char*> cases[] = {
        {"name = ", "operand expected but end of text found at position 8"},
        {"nosuch = 1", "field 'nosuch' not found at position 1"},
        {"name = 'abc", "unterminated string at position 8"},
        {"(name = 'a'", "')' expected at position 12"},
        {"memberGr3 = 'maybe'", "'maybe' is not a Boolean value at position 13"},
        {"name > null", "NULL can only be compared with = or <> at position 8"},
        {"name = and", "operand expected but 'and' found at position 8"}}; // an operand may not be a keyword
    for (auto [text, message] : cases)
        EXPECT_EQ(errorOf(text), std::string("Filter expression: ") + message);
    std::string nested(300, '(');
    nested.append("name='a'").append(300, ')');
    EXPECT_NE(errorOf(nested).find("nested too deeply"), std::string::npos);
    EXPECT_NE(errorOf("name = '" + std::string(70000, 'x') + "'").find("too long"), std::string::npos);
}

TEST(FilterEvaluator, AgreesWithADirectCheckOverManyRecords) {
    struct Case {
        const char* text;
        TFilterOptions opts;
        std::function<bool(const Rec&)> expect;
    };
    std::vector<Case> cases = {
        {"name='Bob'", foCaseInsensitive, [](const Rec& r) { return r.name && SameText(*r.name, "Bob"); }},
        {"name='B*'", foCaseInsensitive,
         [](const Rec& r) { return r.name && SameText(r.name->substr(0, 1), "B"); }},
        {"name='B*'", foNoPartialCompare, [](const Rec& r) { return r.name && *r.name == "B*"; }},
        {"a>1 and not (b is null)", 0, [](const Rec& r) { return r.a && *r.a > 1 && r.b; }},
        {"a <> 2 or b = 'x'", 0, [](const Rec& r) { return !r.a || *r.a != 2 || (r.b && *r.b == "x"); }},
        {"f < 1 and f >= -0.5", 0, [](const Rec& r) { return r.f && *r.f < 1 && *r.f >= -0.5; }},
        {"d = '1899-12-30'", 0, [](const Rec& r) { return r.day && *r.day == 693594; }},
        {"name > 'Bob'", 0, [](const Rec& r) { return r.name && CollateText(*r.name, "Bob", false) > 0; }},
        {"a = a2", 0, [](const Rec& r) { return (!r.a && !r.a2) || (r.a && r.a2 && *r.a == *r.a2); }},
    };
    std::vector<Rec> recs = sampleRecords();
    for (const Case& c : cases) {
        TFilterExpression x(BuildFilterExpression(c.text, c.opts, recFields()));
        int hits = 0;
        for (const Rec& r : recs) {
            bool want = c.expect(r);
            ASSERT_EQ(x.Matches(RecAccess(r)), want) << c.text << " on name=" << r.name.value_or("<null>");
            hits += want;
        }
        EXPECT_GT(hits, 0) << c.text;
        EXPECT_LT(hits, static_cast<int>(recs.size())) << c.text;
    }
}

namespace {
// An expression made by hand: header, then nodes and literals as given.
std::vector<uint8_t> handMade(const Bytes& nodes, const Bytes& lits, uint16_t count = 3) {
    Bytes b;
    size_t total = 10 + nodes.v.size() + lits.v.size();
    b.u16(2)
        .u16(static_cast<uint32_t>(total))
        .u16(count)
        .u16(10)
        .u16(static_cast<uint32_t>(10 + nodes.v.size()));
    b.v.insert(b.v.end(), nodes.v.begin(), nodes.v.end());
    b.v.insert(b.v.end(), lits.v.begin(), lits.v.end());
    return b.v;
}
} // namespace

TEST(FilterEvaluator, ComparisonRulesOfTheFormat) {
    Rec r{.name = "SMIth"};
    // Compare node, partial length 3, ignore case: "SMIth" equals "smithers".
    Bytes n;
    n.u32(nodeCompare).u32(canEQ).u16(1).u16(3).u16(16).u16(28);
    n.u32(nodeField).u32(0).u16(1).u16(0);
    n.u32(nodeConst).u32(0).u16(fldZString).u16(9).u16(5);
    Bytes l;
    l.text("name").text("smithers");
    TFilterExpression partial(handMade(n, l));
    EXPECT_TRUE(partial.Matches(RecAccess(r)));
    EXPECT_FALSE(partial.Matches(RecAccess(Rec{.name = "SMOth"})));

    // A null field is below any constant.
    EXPECT_TRUE(matches("a < 5", Rec()));

    // 64-bit integers: an unsigned 32-bit 4,000,000,000 is above a constant 2,000,000,000.
    Bytes big;
    big.u32(nodeBinary).u32(canGT).u16(12).u16(24);
    big.u32(nodeField).u32(0).u16(2).u16(0);
    big.u32(nodeConst).u32(0).u16(fldUInt32).u16(4).u16(2);
    Bytes bigLit;
    bigLit.text("a").u32(2000000000u);
    EXPECT_TRUE(TFilterExpression(handMade(big, bigLit)).Matches(RecAccess(Rec{.a = 4000000000LL})));

    // An 80-bit extended constant of 1.5 equals a float field of 1.5.
    Bytes ext;
    ext.u32(nodeBinary).u32(canEQ).u16(12).u16(24);
    ext.u32(nodeField).u32(0).u16(5).u16(0);
    ext.u32(nodeConst).u32(0).u16(fldFloatIEEE).u16(10).u16(2);
    Bytes extLit;
    extLit.text("f").u32(0).u32(0xC0000000u).u16(0x3FFF);
    EXPECT_TRUE(TFilterExpression(handMade(ext, extLit)).Matches(RecAccess(Rec{.f = 1.5})));

    // Unknown node classes and operators are false, a continue node is its value.
    Bytes odd;
    odd.u32(nodeBinary).u32(canOr).u16(12).u16(20);
    odd.u32(nodeTuple).u32(0);
    odd.u32(nodeCompare).u32(12).u16(0).u16(0).u16(12).u16(12);
    EXPECT_FALSE(TFilterExpression(handMade(odd, Bytes())).Matches(RecAccess(r)));
    Bytes cont;
    cont.u32(nodeContinue).u32(0).u16(1);
    EXPECT_TRUE(TFilterExpression(handMade(cont, Bytes(), 1)).Matches(RecAccess(r)));
}

TEST(FilterEvaluator, FieldNodeFollowsItsNameWhenTheNumberDisagrees) {
    // Compiled against the contacts fields (memberGr3 is field 7), evaluated against records where
    // it is field 4: the name wins and the number found is kept.
    TFilterExpression x(BuildFilterExpression("memberGr3 = true", 0, contactsFields()));
    EXPECT_TRUE(x.Matches(RecAccess(Rec{.g3 = true})));
    EXPECT_FALSE(x.Matches(RecAccess(Rec{.g3 = false})));
    EXPECT_EQ(x.ResolvedFieldNo(12), 4);
    EXPECT_EQ(x.Bytes(), BuildFilterExpression("memberGr3 = true", 0, contactsFields())); // bytes untouched
    // A field neither the number nor the name finds makes the comparison false.
    TFilterExpression y(BuildFilterExpression("memberGr9 = true", 0, contactsFields()));
    EXPECT_FALSE(y.Matches(RecAccess(Rec{.g3 = true})));
}

TEST(FilterEvaluator, MalformedBlocksAreErrorsNotCrashes) {
    auto malformed = [](std::vector<uint8_t> b) {
        try {
            TFilterExpression x(std::move(b));
            return false;
        } catch (const EFilterFormatError&) {
            return true;
        }
    };
    std::vector<uint8_t> good = BuildFilterExpression("memberGr3=true", 0, contactsFields());
    EXPECT_TRUE(malformed(std::vector<uint8_t>(good.begin(), good.end() - 1))); // size field beyond the block
    EXPECT_TRUE(malformed({2, 0, 5, 0, 0, 0, 0, 0, 0, 0}));                     // size below the header
    auto bad = good;
    bad[6] = 58; // node area starts where no node fits
    EXPECT_TRUE(malformed(bad));
    bad = good;
    bad[10 + 24 + 10] = 200; // constant size beyond the block
    EXPECT_TRUE(malformed(bad));
    bad = good;
    bad[10 + 24 + 8] = fldFloat; // a float constant of 2 bytes
    EXPECT_TRUE(malformed(bad));

    Bytes self;
    self.u32(nodeUnary).u32(canNot).u16(0); // its own operand
    EXPECT_TRUE(malformed(handMade(self, Bytes(), 1)));

    Bytes chain; // 2000 nested NOTs
    for (int i = 0; i < 2000; ++i)
        chain.u32(nodeUnary).u32(canNot).u16(static_cast<uint32_t>((i + 1) * 10));
    chain.u32(nodeContinue).u32(0).u16(1);
    EXPECT_TRUE(malformed(handMade(chain, Bytes(), 2001)));

    Bytes dag; // each AND points twice to the next: 2^40 paths through 41 nodes
    for (int i = 0; i < 40; ++i)
        dag.u32(nodeBinary).u32(canAnd).u16((i + 1) * 12).u16((i + 1) * 12);
    dag.u32(nodeContinue).u32(0).u16(1);
    EXPECT_TRUE(malformed(handMade(dag, Bytes(), 41)));

    // A total size of 0 means no filter at all.
    EXPECT_TRUE(TFilterExpression(std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 0, 0}).IsEmpty());

    // Bytes after the declared size are ignored.
    auto longer = good;
    longer.resize(good.size() + 50, 0xEE);
    EXPECT_EQ(TFilterExpression(longer).Bytes(), good);
}

TEST(FilterEvaluator, LongOrListsStayShallow) {
    std::string text = "a = 0";
    for (int i = 1; i < 1000; ++i)
        text += " or a = " + std::to_string(i);
    EXPECT_TRUE(matches(text, Rec{.a = 999}));
    EXPECT_FALSE(matches(text, Rec{.a = 1000}));
}
