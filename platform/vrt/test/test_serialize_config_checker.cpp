#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "perception/impl_type_cam2camperceptionstruct.h"
#include "perception/impl_type_lidar2lidarperception.h"
#include "serialize_test_support.h"
#include "vrt/common/serialize_config_checker.h"

namespace vrt::common::test {
namespace {

using serialize::ISignal;
using serialize::ResultCode;
using Elements = std::vector<std::string>;

TEST(SerializeConfigCheckerTest, UnknownSerializeType) {
    TransportSerializeConfig transport = ShmTransport();
    transport.serializeType = 3;
    const auto result = SerializeConfigChecker::Check<CameraH265Image>(transport);
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetMessage(), "Unkown_serialize_type");
}

TEST(SerializeConfigCheckerTest, SharedMemoryChecksValuesOnly) {
    EXPECT_TRUE(SerializeConfigChecker::Check<CameraH265Image>(ShmTransport()).IsSuccess());

    TransportSerializeConfig missing;
    const auto empty = SerializeConfigChecker::Check<CameraH265Image>(missing);
    EXPECT_EQ(empty.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(empty.GetMessage(), "Empty configuration");

    const auto bad = SerializeConfigChecker::Check<CameraH265Image>(ShmTransport(3, 8));
    EXPECT_EQ(bad.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(bad.GetMessage(), "Invalid serialization configuration");
    EXPECT_EQ(bad.GetDetails(), (std::vector<std::string>{"stringLength=8", "vectorLength=3"}));
}

TEST(SomeipSerializeConfigCheckerTest, AcceptsACompleteTreeForEveryRecord) {
    for (const bool tlv : {false, true}) {
        SomeipValues values;
        values.tlv = tlv;
        EXPECT_TRUE(SerializeConfigChecker::Check<CameraH265Image>(SomeipTransport<CameraH265Image>(values)));
        EXPECT_TRUE(SerializeConfigChecker::Check<perception::Cam2CamPerceptionStruct>(
            SomeipTransport<perception::Cam2CamPerceptionStruct>(values)));
        EXPECT_TRUE(SerializeConfigChecker::Check<perception::LiDAR2LiDARPerception>(
            SomeipTransport<perception::LiDAR2LiDARPerception>(values)));
    }
}

// A copy of node with its first `keep` children, the rest dropped.
std::shared_ptr<SomeipSerializeConfig> Truncated(const SomeipSerializeConfig& node, std::size_t keep) {
    auto copy = std::make_shared<SomeipSerializeConfig>(static_cast<const SerializeConfig&>(node));
    for (std::size_t i = 0; i < keep; ++i) {
        copy->AddChildNodeConfig(node.GetChildNodeConfigList()[i]);
    }
    return copy;
}

// A copy of node whose child at index is replaced.
std::shared_ptr<SomeipSerializeConfig> Replaced(const SomeipSerializeConfig& node, std::size_t index,
                                                const std::shared_ptr<SomeipSerializeConfig>& replacement) {
    auto copy = std::make_shared<SomeipSerializeConfig>(static_cast<const SerializeConfig&>(node));
    const auto& children = node.GetChildNodeConfigList();
    for (std::size_t i = 0; i < children.size(); ++i) {
        copy->AddChildNodeConfig(i == index ? replacement : children[i]);
    }
    return copy;
}

// Checks type T against a transport configuration of SOME/IP (type 1) or signal (type 2) serialization.
template <typename T>
serialize::Result CheckTransport(std::shared_ptr<const SomeipSerializeConfig> someip,
                                 std::shared_ptr<const SignalSerializeConfig> signal) {
    TransportSerializeConfig transport;
    transport.serializeType = someip ? 1 : 2;
    transport.someipConfig = std::move(someip);
    transport.signalConfig = std::move(signal);
    return SerializeConfigChecker::Check<T>(transport);
}

serialize::Result CheckImage(std::shared_ptr<const SomeipSerializeConfig> root) {
    return CheckTransport<CameraH265Image>(std::move(root), nullptr);
}

TEST(SomeipSerializeConfigCheckerTest, MissingAndEmptyMemberNodes) {
    const auto full = MakeUniformSomeipConfig<CameraH265Image>(MakeValues({}));

    const auto fewer = CheckImage(Truncated(*full, 3));
    EXPECT_EQ(fewer.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(fewer.GetErrorElements(),
              (Elements{"inconsistent_serialization_node_config", "inconsistent_serialization_node_config"}));

    const auto empty = CheckImage(Replaced(*full, 1, nullptr));
    EXPECT_EQ(empty.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(empty.GetErrorElements(), (Elements{"empty_serialization_node_config"}));
}

TEST(SomeipSerializeConfigCheckerTest, VectorNodesNeedTheirElementNode) {
    const auto full = MakeUniformSomeipConfig<CameraH265Image>(MakeValues({}));
    auto vectorNode = Truncated(*full->GetChildNodeConfigList()[2], 0);
    const auto root = Replaced(*full, 2, vectorNode);
    const auto unknown = CheckImage(root);
    EXPECT_EQ(unknown.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(unknown.GetErrorElements(), (Elements{"unknown_vector_template_config"}));

    vectorNode->AddChildNodeConfig(nullptr);
    const auto empty = CheckImage(root);
    EXPECT_EQ(empty.GetErrorElements(), (Elements{"empty_vector_template_config"}));
}

TEST(SomeipSerializeConfigCheckerTest, StructCheckRunsBeforeItsMembersAreWalked) {
    const auto full = MakeUniformSomeipConfig<CameraH265Image>(MakeValues({}));
    auto header = Truncated(*full->GetChildNodeConfigList()[3], 0);  // no member nodes at all...
    header->SetStructLength(3);                                      // ...and an unusable length width
    const auto result = CheckImage(Replaced(*full, 3, header));
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetMessage(), "Invalid serialization configuration");
    EXPECT_EQ(result.GetDetails(), (std::vector<std::string>{"structLength=3"}));
    EXPECT_TRUE(result.GetErrorElements().empty());  // the header's members were never looked at
}

TEST(SomeipSerializeConfigCheckerTest, TlvDataIdsMustBeUniqueWithinAStruct) {
    SomeipValues values;
    values.tlv = true;
    const auto root = MakeUniformSomeipConfig<CameraH265Image>(MakeValues(values));
    root->GetChildNodeConfigList()[4]->SetDataId(1);
    const auto result = CheckImage(root);
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetDetails(), (std::vector<std::string>{"duplicateDataId=1"}));
}

std::shared_ptr<SignalSerializeConfig> PduWith(std::size_t signals) {
    auto pdu = std::make_shared<SignalSerializeConfig>("Pdu7", 64);
    for (std::size_t i = 0; i < signals; ++i) {
        pdu->AddSignal(std::make_shared<ISignal>("s" + std::to_string(i), 8 * i, 8, 1, false));
    }
    return pdu;
}

template <typename T>
serialize::Result CheckSignal(std::shared_ptr<const SignalSerializeConfig> pdu) {
    return CheckTransport<T>(nullptr, std::move(pdu));
}

TEST(SignalSerializeConfigCheckerTest, NeitherSystemEventCanTravelAsSignals) {
    for (const std::size_t signals : {0U, 5U, 8U}) {
        const auto image = CheckSignal<CameraH265Image>(PduWith(signals));
        EXPECT_EQ(image.GetCode(), ResultCode::kUnsupportedType) << signals;
        EXPECT_EQ(image.GetMessage(), "Not supported data type for signal serialization") << signals;
        const auto perception = CheckSignal<perception::Cam2CamPerceptionStruct>(PduWith(signals));
        EXPECT_EQ(perception.GetCode(), ResultCode::kUnsupportedType) << signals;
    }
    const auto cloud = CheckSignal<perception::LiDAR2LiDARPerception>(PduWith(3));
    EXPECT_EQ(cloud.GetCode(), ResultCode::kUnsupportedType);
    EXPECT_EQ(cloud.GetMessage(), "Only vector with uint8 is supported");
}

struct NumbersAndBytes {
    std::int32_t a{0};
    bool b{false};
    std::vector<std::uint8_t> c;
    template <typename V>
    void enumerate(V& visitor) const {
        visitor(a);
        visitor(b);
        visitor(c);
    }
};

TEST(SignalSerializeConfigCheckerTest, CountsTheSignalsTheRecordTakes) {
    EXPECT_TRUE(CheckSignal<NumbersAndBytes>(PduWith(3)).IsSuccess());

    const auto tooFew = CheckSignal<NumbersAndBytes>(PduWith(1));
    EXPECT_EQ(tooFew.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(tooFew.GetMessage(), "Insufficiant signal serialization configuration");
    EXPECT_EQ(tooFew.GetErrorElements(), (Elements{"plain_type", "vector_type"}));
    EXPECT_EQ(tooFew.GetDetails(), (std::vector<std::string>{"pdu=Pdu7", "pdu=Pdu7"}));

    const auto none = CheckSignal<NumbersAndBytes>(PduWith(0));
    EXPECT_EQ(none.GetErrorElements(), (Elements{"plain_type", "plain_type", "vector_type"}));

    const auto tooMany = CheckSignal<NumbersAndBytes>(PduWith(4));
    EXPECT_EQ(tooMany.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(tooMany.GetMessage(), "Signal-based event data is mismatched with the pdu");
    EXPECT_EQ(tooMany.GetDetails(), (std::vector<std::string>{"eventDataCount=3", "pduSignalCount=4"}));

    const auto noPdu = CheckSignal<NumbersAndBytes>(nullptr);
    EXPECT_EQ(noPdu.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(noPdu.GetMessage(), "Empty configuration");
}

struct OnlyNumber {
    std::int8_t a{0};
    template <typename V>
    void enumerate(V& visitor) const {
        visitor(a);
    }
};

TEST(SignalSerializeConfigCheckerTest, PlainOnlyShortageUsesItsOwnMessage) {
    const auto plain = CheckSignal<OnlyNumber>(PduWith(0));
    EXPECT_EQ(plain.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(plain.GetMessage(), "insufficiant signal serialization configuration");
    EXPECT_EQ(plain.GetErrorElements(), (Elements{"plain_type"}));
}

}  // namespace
}  // namespace vrt::common::test
