#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "perception/impl_type_cam2camperceptionstruct.h"
#include "serialize_test_support.h"
#include "vrt/common/serializer.h"

namespace vrt::common::test {
namespace {

using serialize::ISignal;
using serialize::ResultCode;

struct Inner {
    std::int8_t x{0};
    bool flag{false};
    template <typename V>
    void enumerate(V& visitor) const {
        visitor(x);
        visitor(flag);
    }
};
// A record a PDU can carry: numbers, a nested record and trailing bytes.
struct SignalRecord {
    std::int32_t value{0};
    Inner inner;
    std::vector<std::uint8_t> bytes;
    template <typename V>
    void enumerate(V& visitor) const {
        visitor(value);
        visitor(inner);
        visitor(bytes);
    }
};

struct PduBuilder {
    std::shared_ptr<SignalSerializeConfig> config;
    explicit PduBuilder(std::uint32_t length)
        : config(std::make_shared<SignalSerializeConfig>("Pdu1", length)) {}
    PduBuilder& Add(const char* name, std::uint32_t pos, std::uint32_t length, std::uint8_t order,
                    bool dynamic = false) {
        config->AddSignal(std::make_shared<ISignal>(name, pos, length, order, dynamic));
        return *this;
    }
    TransportSerializeConfig Transport() const {
        TransportSerializeConfig transport;
        transport.serializeType = 2;
        transport.signalConfig = config;
        return transport;
    }
};

PduBuilder StandardPdu() {
    PduBuilder pdu(8);
    pdu.Add("value", 7, 16, ISignal::kMostSignificantFirst)   // bytes 0-1, big-endian
        .Add("x", 16, 8, ISignal::kLeastSignificantFirst)     // byte 2
        .Add("flag", 24, 1, ISignal::kLeastSignificantFirst)  // bit 0 of byte 3
        .Add("bytes", 32, 32, ISignal::kLeastSignificantFirst, true);
    return pdu;
}

SignalRecord MakeRecord() {
    SignalRecord record;
    record.value = 0x1234;
    record.inner.x = -2;
    record.inner.flag = true;
    record.bytes = {0xDE, 0xAD};
    return record;
}

TEST(SignalSerializerTest, PacksEachFieldIntoItsSignal) {
    const Serializer<SignalRecord> sut(StandardPdu().Transport());
    Bytes pdu(8, 0x00);
    const auto result = sut.Serialize(MakeRecord(), pdu.data(), pdu.size());
    ASSERT_TRUE(result.IsSuccess()) << result;
    EXPECT_EQ(pdu, (Bytes{0x12, 0x34, 0xFE, 0x01, 0xDE, 0xAD, 0x00, 0x00}));
}

TEST(SignalSerializerTest, SizeOfAPduEndingInADynamicVector) {
    const Serializer<SignalRecord> sut(StandardPdu().Transport());
    EXPECT_EQ(sut.GetSize(MakeRecord()).Value(), 4U + 2U);

    PduBuilder fixed(8);
    fixed.Add("value", 0, 32, 1).Add("x", 32, 8, 1).Add("flag", 40, 8, 1).Add("bytes", 48, 16, 1, false);
    const auto notDynamic = Serializer<SignalRecord>(fixed.Transport()).GetSize(MakeRecord());
    ASSERT_FALSE(notDynamic.HasValue());
    EXPECT_EQ(notDynamic.Error().GetMessage(), "The vector can be only mapped to the dynamic iSignal");
    EXPECT_EQ(notDynamic.Error().GetDetails(),
              (std::vector<std::string>{"vectorSignalPosition=3", "pduSignalCount=4", "pdu=Pdu1"}));

    PduBuilder extra = StandardPdu();
    extra.Add("spare", 60, 4, 1);
    const auto inconsistent = Serializer<SignalRecord>(extra.Transport()).GetSize(MakeRecord());
    ASSERT_FALSE(inconsistent.HasValue());
    EXPECT_EQ(inconsistent.Error().GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(inconsistent.Error().GetMessage(), "Inconsistent signal serialization configuration");
    EXPECT_EQ(inconsistent.Error().GetDetails(),
              (std::vector<std::string>{"dataSignalCount=4", "pduSignalCount=5", "pdu=Pdu1"}));
}

TEST(SignalSerializerTest, RunningOutOfSignals) {
    PduBuilder pdu(8);
    pdu.Add("value", 0, 32, 1);
    const Serializer<SignalRecord> sut(pdu.Transport());
    Bytes buffer(8, 0);
    const auto result = sut.Serialize(MakeRecord(), buffer.data(), buffer.size());
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    // The last failure names the message; every failure adds its element and detail.
    EXPECT_EQ(result.GetMessage(), "Insufficiant signal serialization configuration");
    EXPECT_EQ(result.GetErrorElements(),
              (std::vector<std::string>{"plain_type", "plain_type", "vector_type"}));
    EXPECT_EQ(result.GetDetails(), (std::vector<std::string>{"pdu=Pdu1", "pdu=Pdu1", "pdu=Pdu1"}));

    PduBuilder empty(8);
    const auto plain = Serializer<Inner>(empty.Transport()).Serialize(Inner{}, buffer.data(), buffer.size());
    EXPECT_EQ(plain.GetMessage(), "insufficiant signal serialization configuration");
}

TEST(SignalSerializerTest, AFailedSignalIsNotConsumed) {
    PduBuilder pdu(8);
    pdu.Add("value", 0, 33, 1).Add("x", 8, 8, 1).Add("flag", 16, 8, 1).Add("bytes", 24, 8, 1, true);
    Bytes buffer(8, 0);
    const auto result = Serializer<SignalRecord>(pdu.Transport()).Serialize(MakeRecord(), buffer.data(), 8);
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetMessage(), "Invalid iSignal length");
    // value, x and flag all meet the 33-bit signal; the bytes then take it.
    EXPECT_EQ(result.GetDetails(), (std::vector<std::string>{"pdu=Pdu1", "iSignal=value", "dataTypeLen=32",
                                                             "pdu=Pdu1", "iSignal=value", "dataTypeLen=8",
                                                             "pdu=Pdu1", "iSignal=value", "dataTypeLen=8"}));
    EXPECT_TRUE(result.GetErrorElements().empty());
    EXPECT_EQ(buffer, (Bytes{0xDE, 0xAD, 0, 0, 0, 0, 0, 0}));
}

TEST(SignalSerializerTest, VectorLongerThanItsSignal) {
    PduBuilder pdu(8);
    pdu.Add("value", 0, 32, 1).Add("x", 32, 8, 1).Add("flag", 40, 8, 1).Add("bytes", 48, 8, 1, true);
    Bytes buffer(8, 0);
    const auto result = Serializer<SignalRecord>(pdu.Transport()).Serialize(MakeRecord(), buffer.data(), 8);
    EXPECT_EQ(result.GetMessage(), "Invalid iSignal length");
    EXPECT_EQ(result.GetDetails(),
              (std::vector<std::string>{"pdu=Pdu1", "isignal=bytes", "maxLength=8", "dataSize=16"}));
    EXPECT_EQ(result.GetErrorElements(), (std::vector<std::string>{"vector_type"}));
}

struct ValueAndBytes {
    std::int32_t value{0x0102};
    std::vector<std::uint8_t> bytes{1, 2};
    template <typename V>
    void enumerate(V& visitor) const {
        visitor(value);
        visitor(bytes);
    }
};

TEST(SignalSerializerTest, BitCopyFailureAndBytesThatDoNotFit) {
    PduBuilder pdu(4);
    pdu.Add("value", 24, 16, 1);  // runs past the 32-bit PDU; the bytes then meet it too and overflow
    Bytes buffer(4, 0);
    const auto result =
        Serializer<ValueAndBytes>(pdu.Transport()).Serialize(ValueAndBytes{}, buffer.data(), 4);
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetMessage(), "Bit copy failed");
    EXPECT_EQ(result.GetDetails(), (std::vector<std::string>{"pdu=Pdu1", "iSignal=value", "dataTypeLen=32"}));
    EXPECT_EQ(result.GetErrorElements(), (std::vector<std::string>{"vector_with_trivially_copyable_type"}));
    EXPECT_EQ(buffer, Bytes(4, 0));

    PduBuilder beyond(4);
    beyond.Add("value", 0, 16, 1).Add("bytes", 48, 16, 1, true);
    const auto outside =
        Serializer<ValueAndBytes>(beyond.Transport()).Serialize(ValueAndBytes{}, buffer.data(), 4);
    EXPECT_EQ(outside.GetErrorElements(), (std::vector<std::string>{"vector_with_trivially_copyable_type"}));
}

TEST(SignalSerializerTest, StringsCannotBeCarried) {
    const Serializer<CameraH265Image> sut(StandardPdu().Transport());
    Bytes buffer(8, 0);
    const auto result = sut.Serialize(MakeImage(), buffer.data(), buffer.size());
    EXPECT_EQ(result.GetCode(), ResultCode::kUnsupportedType);
    EXPECT_EQ(result.GetMessage(), "Not supported data type for signal serialization");
}

}  // namespace
}  // namespace vrt::common::test
