#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vrt/common/serialize/isignal.h"

namespace vrt::common {

// How a transport turns an event into bytes.
enum class SerializeType : std::uint32_t {
    kShm = 0,     // shared memory on the same host
    kSomeip = 1,  // SOME/IP
    kSignal = 2,  // fields packed into the signals of one PDU
};

// Settings of one encoding (shared memory), or of one node of a SOME/IP configuration tree. Plain value
// type; once handed to a serializer it must not change.
class SerializeConfig {
  public:
    static constexpr std::uint8_t kBigEndian = 0;
    static constexpr std::uint8_t kLittleEndian = 1;
    static constexpr std::uint16_t kMaxDataId = 0x0FFFU;  // TLV data ids have 12 bits

    SerializeConfig() = default;
    virtual ~SerializeConfig() = default;
    SerializeConfig(const SerializeConfig&) = default;
    SerializeConfig& operator=(const SerializeConfig&) = default;

    std::uint8_t GetByteOrder() const noexcept { return byteOrder_; }
    std::uint8_t GetStringLength() const noexcept { return stringLength_; }
    std::uint8_t GetVectorLength() const noexcept { return vectorLength_; }
    std::uint8_t GetStructLength() const noexcept { return structLength_; }
    std::uint8_t GetAlignmentBytes() const noexcept { return alignmentBytes_; }
    bool IsDirectlyCopy() const noexcept { return directlyCopy_; }
    std::uint8_t GetStructPolicy() const noexcept { return structPolicy_; }
    bool IsTlvEnabled() const noexcept { return tlvEnabled_; }
    bool IsNoLengthTopStruct() const noexcept { return noLengthTopStruct_; }
    // SOME/IP strings without byte-order mark and terminating zero (the form of older deployments).
    bool IsPlainString() const noexcept { return plainString_; }
    // SOME/IP TLV data id of the member this node describes (12 bits).
    std::uint16_t GetDataId() const noexcept { return dataId_; }

    void SetByteOrder(std::uint8_t value) noexcept { byteOrder_ = value; }
    void SetStringLength(std::uint8_t value) noexcept { stringLength_ = value; }
    void SetVectorLength(std::uint8_t value) noexcept { vectorLength_ = value; }
    void SetStructLength(std::uint8_t value) noexcept { structLength_ = value; }
    void SetAlignmentBytes(std::uint8_t value) noexcept { alignmentBytes_ = value; }
    void SetDirectlyCopy(bool value) noexcept { directlyCopy_ = value; }
    void SetStructPolicy(std::uint8_t value) noexcept { structPolicy_ = value; }
    void SetTlvEnabled(bool value) noexcept { tlvEnabled_ = value; }
    void SetNoLengthTopStruct(bool value) noexcept { noLengthTopStruct_ = value; }
    void SetPlainString(bool value) noexcept { plainString_ = value; }
    void SetDataId(std::uint16_t value) noexcept { dataId_ = value; }

  private:
    std::uint8_t byteOrder_{kBigEndian};
    std::uint8_t stringLength_{4};
    std::uint8_t vectorLength_{4};
    std::uint8_t structLength_{0};
    std::uint8_t alignmentBytes_{0};
    bool directlyCopy_{false};
    std::uint8_t structPolicy_{0};
    bool tlvEnabled_{false};
    bool noLengthTopStruct_{false};
    bool plainString_{false};
    std::uint16_t dataId_{0};
};

// A node of a SOME/IP configuration tree. A struct node has one child per member, in member order; a vector
// node has one child, the configuration of its elements; other nodes have none.
class SomeipSerializeConfig : public SerializeConfig {
  public:
    using NodeList = std::vector<std::shared_ptr<SomeipSerializeConfig>>;

    SomeipSerializeConfig() = default;
    explicit SomeipSerializeConfig(const SerializeConfig& values) : SerializeConfig(values) {}

    const NodeList& GetChildNodeConfigList() const noexcept { return children_; }
    void AddChildNodeConfig(std::shared_ptr<SomeipSerializeConfig> child) {
        children_.push_back(std::move(child));
    }

  private:
    NodeList children_;
};

// The PDU of a signal-based transport and its signals, in field order.
class SignalSerializeConfig {
  public:
    SignalSerializeConfig(std::string pduName, std::uint32_t pduLength)
        : pduName_(std::move(pduName)), pduLength_(pduLength) {}

    const std::string& GetPduName() const noexcept { return pduName_; }
    std::uint32_t GetPduLength() const noexcept { return pduLength_; }  // bytes
    std::size_t GetISignalCount() const noexcept { return signals_.size(); }
    // Null when index is out of range.
    const serialize::ISignal* GetSignal(std::size_t index) const noexcept {
        return index < signals_.size() ? signals_[index].get() : nullptr;
    }
    void AddSignal(std::shared_ptr<const serialize::ISignal> signal) {
        signals_.push_back(std::move(signal));
    }

  private:
    std::string pduName_;
    std::uint32_t pduLength_;
    std::vector<std::shared_ptr<const serialize::ISignal>> signals_;
};

// What the service deployment gives one transport of one event: the serialize type and the configuration of
// that type (the other two pointers are ignored). The type is kept as the raw number of the deployment so
// that an out-of-range value reaches the serializer and checker, which report it.
struct TransportSerializeConfig {
    std::uint32_t serializeType{static_cast<std::uint32_t>(SerializeType::kShm)};
    std::shared_ptr<const SerializeConfig> shmConfig;
    std::shared_ptr<const SomeipSerializeConfig> someipConfig;  // node of the outermost struct
    std::shared_ptr<const SignalSerializeConfig> signalConfig;
};

}  // namespace vrt::common
