// The SOME/IP receive-path fuzzer's seeds and every input it ever crashed on, replayed in every build.
#include <gtest/gtest.h>

#include "fuzz_inputs.h"
#include "someip_receive_fuzz.h"

namespace {

TEST(SomeipFuzzRegressionsTest, ReceivePathInputs) {
    const auto inputs = vrt::fuzz::Inputs(VRT_COM_FUZZ_INPUT_DIR, "someip_receive");
    EXPECT_FALSE(inputs.empty());
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.string());
        const auto bytes = vrt::fuzz::Read(path);
        EXPECT_EQ(vrt::cm::someip::fuzz::FuzzSomeipReceive(bytes.data(), bytes.size()), 0);
    }
}

}  // namespace
