#include <gtest/gtest.h>

#include <string>

#include "ara/core/core_error_domain.h"
#include "ara/core/instance_specifier.h"
#include "ara/core/internal/enum_name.h"
#include "ara/core/result.h"
#include "ara/log/common.h"

namespace {

using ara::core::CoreErrc;
using ara::core::InstanceSpecifier;

TEST(InstanceSpecifierTest, AcceptsPathsOfLettersDigitsSlashesAndUnderscores) {
    const InstanceSpecifier sut("CameraDriving/CamDrv2Visualization_Provide/Port1");
    EXPECT_EQ(sut.ToString(), "CameraDriving/CamDrv2Visualization_Provide/Port1");
    EXPECT_TRUE(InstanceSpecifier::Create("a/b").HasValue());
}

TEST(InstanceSpecifierTest, RejectsInvalidPathsWithTheirCodes) {
    struct Case {
        const char* path;
        CoreErrc code;
        const char* message;
    };
    const Case cases[] = {
        {"NoSlash", CoreErrc::kInvalidMetaModelPath, "Invalid meta model path"},
        {"", CoreErrc::kInvalidMetaModelPath, "Invalid meta model path"},
        {"a/b-c", CoreErrc::kInvalidMetaModelShortname, "Invalid meta model short name"},
        {"a/b c", CoreErrc::kInvalidMetaModelShortname, "Invalid meta model short name"},
        {"a/b.c", CoreErrc::kInvalidMetaModelShortname, "Invalid meta model short name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            InstanceSpecifier sut(c.path);
            ADD_FAILURE() << "accepted";
        } catch (const ara::core::Exception& e) {
            EXPECT_EQ(e.Error().Value(), static_cast<int>(c.code));
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.Error().Domain().Id(), 0x8000000000000014ULL);
        }
        const auto created = InstanceSpecifier::Create(c.path);
        ASSERT_FALSE(created.HasValue());
        EXPECT_EQ(created.Error(), c.code);
    }
}

}  // namespace

namespace {
enum class Colour { kRed = 1, kGreen = 7, kBlue = 9 };
constexpr ara::core::internal::EnumName<Colour> kColourNames[] = {
    {Colour::kRed, "red"}, {Colour::kGreen, "green"}, {Colour::kBlue, "blue"}};
}  // namespace

TEST(EnumNameTest, NamesListedValuesAndFallsBackForOthers) {
    static_assert(ara::core::internal::NameOf(kColourNames, Colour::kBlue, "?")[0] == 'b');
    EXPECT_STREQ(ara::core::internal::NameOf(kColourNames, Colour::kGreen, "?"), "green");
    // A code read from outside the process need not be one the table lists.
    EXPECT_STREQ(ara::core::internal::NameOf(kColourNames, static_cast<Colour>(8), "?"), "?");
    EXPECT_STREQ(ara::log::ToString(static_cast<ara::log::LogLevel>(42)), "unknown");
    EXPECT_STREQ(ara::core::GetCoreErrorDomain().Message(1), "Unknown error");
}

TEST(EnumNameTest, FindsTheValueOfAnExactName) {
    EXPECT_EQ(ara::core::internal::ValueOf(kColourNames, "red"), Colour::kRed);
    EXPECT_EQ(ara::core::internal::ValueOf(kColourNames, "blue"), Colour::kBlue);
    EXPECT_FALSE(ara::core::internal::ValueOf(kColourNames, "Red"));
    EXPECT_FALSE(ara::core::internal::ValueOf(kColourNames, "re"));
    EXPECT_FALSE(ara::core::internal::ValueOf(kColourNames, ""));
}
