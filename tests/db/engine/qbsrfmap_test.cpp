// Field map of a restructure: pairs by name from "NEW=OLD" and "NAME" lines, 10038 for a name
// missing on either side, and copies of the dictionaries that outlive the originals.
#include "db/engine/qbsrfmap.h"

#include "db/base/qbsrmgr.h"

#include "classlib/Classes.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(FieldMap, LinesMapOldFieldsIntoNewOnes) {
    auto oldDict = std::make_unique<TqbServerDataDict>(enginetest::peopleDictionary());
    TqbServerDataDict newDict(4096);
    newDict.AddField("code", "", qbtInt32, 0, 0, false);
    newDict.AddField("fullName", "", qbtShortString, 40, 0, true);
    newDict.AddField("CITY", "", qbtShortString, 20, 0, false);
    TqbSrFieldMapList map(*oldDict, newDict);
    oldDict.reset(); // the map keeps copies

    cls::TStringList lines;
    for (const char* l : {"fullname=NAME", "city", "code="})
        lines.Add(l);
    ASSERT_EQ(map.AddStringList(lines), 0);
    ASSERT_EQ(map.Count(), 3);
    EXPECT_EQ(map.SourceField(0), (TqbSrFieldMapField{"name", 0, 0, 21, qbtShortString}));
    EXPECT_EQ(map.TargetField(0), (TqbSrFieldMapField{"fullName", 1, 4, 41, qbtShortString}));
    EXPECT_EQ(map.SourceField(1).Number, 1);
    EXPECT_EQ(map.TargetField(1).Name, "CITY");
    EXPECT_EQ(map.SourceField(2), (TqbSrFieldMapField{"code", 2, 42, 4, qbtInt32}));
    EXPECT_EQ(map.TargetField(2).Offset, 0);
    EXPECT_THROW(map.SourceField(3), std::out_of_range);

    // A name missing on either side stops the list there.
    cls::TStringList bad;
    for (const char* l : {"code", "num", "city=nowhere", "code"})
        bad.Add(l);
    EXPECT_EQ(map.AddStringList(bad), kResultUnknownFieldName);
    EXPECT_EQ(map.Count(), 4);
    EXPECT_EQ(map.AddPair("num", "num"), kResultUnknownFieldName);
    EXPECT_EQ(map.AddPair("", "CODE"), 0);
    // What the user reads for it.
    EXPECT_EQ("Invalid field name.", CompatErrorStrings().GetText(kResultUnknownFieldName));
}

} // namespace
