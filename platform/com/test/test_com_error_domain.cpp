// The middleware's error domain, and results that carry its codes.
#include <gtest/gtest.h>

#include <string>

#include "ara/core/core_error_domain.h"
#include "ara/core/result.h"
#include "vrt/cm/type/com_error_domain.h"

namespace {

using ara::core::CoreErrc;
using vrt::cm::type::ComErrc;

TEST(ComErrorDomainTest, NamesIdAndMessages) {
    const auto& sut = vrt::cm::type::GetComErrorDomain();
    EXPECT_STREQ(sut.Name(), "Com");
    EXPECT_EQ(sut.Id(), 0x8000000000001267ULL);
    const std::pair<int, const char*> messages[] = {
        {0, "ok"},
        {1, "kServiceNotAvailable"},
        {2, "kMaxSamplesExceeded"},
        {3, "kNetworkBindingFailure"},
        {4, "kGrantEnforcementError"},
        {11, "kServiceNotOffered"},
        {14, "kCommunicationStackError"},
        {17, "kWrongMethodCallProcessingMode"},
        {19, "kCouldNotExecute"},
        {5, ""},
        {-1, ""},
        {1000, ""},
    };
    for (const auto& [code, message] : messages) {
        EXPECT_STREQ(sut.Message(code), message) << code;
    }
}

TEST(ComErrorDomainTest, ErrorCodeThrowsComException) {
    const ara::core::ErrorCode sut = ComErrc::kNetworkBindingFailure;
    EXPECT_EQ(sut.Value(), 3);
    EXPECT_EQ(sut.Message(), "kNetworkBindingFailure");
    EXPECT_NE(sut, ara::core::ErrorCode(CoreErrc::kInvalidArgument));
    EXPECT_NE(sut, ara::core::ErrorCode(3, ara::core::GetCoreErrorDomain()));
    try {
        sut.ThrowAsException();
    } catch (const vrt::cm::type::ComException& e) {
        EXPECT_EQ(e.Error(), ComErrc::kNetworkBindingFailure);
        EXPECT_STREQ(e.what(), "kNetworkBindingFailure");
        return;
    }
    ADD_FAILURE() << "no ComException";
}

TEST(ResultTest, HoldsValueOrError) {
    ara::core::Result<std::string> value("frame");
    ASSERT_TRUE(value.HasValue());
    EXPECT_EQ(value.Value(), "frame");
    EXPECT_EQ(value.ValueOrThrow(), "frame");

    auto error = ara::core::Result<std::string>::FromError(ComErrc::kServiceNotOffered);
    ASSERT_FALSE(error);
    EXPECT_EQ(error.Error(), ComErrc::kServiceNotOffered);
    EXPECT_EQ(error.ValueOr("none"), "none");
    EXPECT_THROW(error.ValueOrThrow(), vrt::cm::type::ComException);

    ara::core::Result<void> ok;
    EXPECT_TRUE(ok.HasValue());
    EXPECT_NO_THROW(ok.ValueOrThrow());
    auto failed = ara::core::Result<void>::FromError(ComErrc::kNetworkBindingFailure);
    EXPECT_FALSE(failed.HasValue());
    EXPECT_THROW(failed.ValueOrThrow(), vrt::cm::type::ComException);
}

}  // namespace
