// Tests of the message formatter, the exception family and the raise helpers.
#include "db/base/qbllcomp.h"
#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

using namespace dbtest;

TEST(Format, SpecifiersWidthsPrecisionsAndIndexes) {
    EXPECT_EQ(qbFormat("%d|%u", {-7, -1}), "-7|4294967295");
    EXPECT_EQ(qbFormat("[%5s][%-5s][%.2s]", {"ab", "ab", "abcdef"}), "[   ab][ab   ][ab]");
    EXPECT_EQ(qbFormat("%3d|%.4d|%-4d|", {7, 5, 9}), "  7|0005|9   |");
    EXPECT_EQ(qbFormat("%1:s %0:s %s", {"a", "b"}), "b a b");
    EXPECT_EQ(qbFormat("%*d|%.*f", {4, 3, 1, 2.25}), "   3|2.2");
    EXPECT_EQ(qbFormat("%n", {1234567.891}), "1,234,567.89");
    EXPECT_EQ(qbFormat("%.3e", {1234.5}), "1.23E+03"); // precision counts significant digits
}

TEST(Format, BadSpecifiersAndArgumentsNeverFail) {
    EXPECT_EQ(qbFormat("%d and %s", {1}), "1 and %s"); // missing argument: left as it stands
    EXPECT_EQ(qbFormat("%d", {"text"}), "text");       // shown as best it can be
    EXPECT_EQ(qbFormat("%z %", {1}), "%z %");
    EXPECT_EQ(qbFormat("%5", {1}), "%5");
    EXPECT_EQ(qbFormat("%99999999999d", {1}).size(), 100000u); // width is bounded
    EXPECT_EQ(qbFormat("%*d", {"w", 1}), "%*d");
    EXPECT_EQ(qbFormat("%f", {1e300}).size(), 304u);
    EXPECT_EQ(qbFormat("%d", {1e300}), "1e+300");
}

TEST(Exceptions, CodedMessagesFromTables) {
    EXPECT_EQ(raised<EqbServerException>([] {
                  RaiseResourceErrorFmt<EqbServerException>(GeneralStrings(), 338, {"ShStrConcat", 2});
              }),
              (Raised{"Invalid parameter passed to routine [ShStrConcat, parameter 2]", 338}));
    EXPECT_EQ(raised<EqbClientException>(
                  [] { RaiseResourceError<EqbClientException>(CompatErrorStrings(), 15445); }),
              (Raised{"Timed out waiting for reply.", 15445}));
    // A code whose text is missing: empty message, code kept.
    EqbCommsException missing(GeneralStrings(), 999);
    EXPECT_EQ(missing.Message(), "");
    EXPECT_EQ(missing.ErrorCode, 999);
}

TEST(Exceptions, ComponentErrorFrames) {
    EXPECT_EQ(EqbServerComponentError(1285).Message(),
              "Quillbase: This object must be inactive before performing this operation. [$505/1285]");
    EXPECT_EQ(raised<EqbServerComponentError>([] {
                  RaiseComponentErrorFmt(1290, {"ServerName", "TqbLegacyTransport"});
              }),
              (Raised{"Quillbase: Parameter ServerName must be specified for TqbLegacyTransport. [$50a/1290]",
                      1290}));
    // The other frames are texts of their own, for the layers that report without a code.
    EXPECT_EQ(qbFormat(ServerCmpStrings().GetText(1284), {"Session", "closed"}),
              "Quillbase: Session: closed [no error code]");
}
