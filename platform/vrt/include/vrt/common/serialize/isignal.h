#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vrt::common::serialize {

// One signal of a PDU: where its bits sit and how they are ordered. Immutable value type.
class ISignal {
  public:
    enum ByteOrder : std::uint8_t {
        kMostSignificantFirst = 0,      // the position names the signal's most significant bit
        kLeastSignificantFirst = 1,     // the position names the signal's least significant bit
        kLeastSignificantFirstAlt = 2,  // treated as kLeastSignificantFirst
    };

    ISignal(std::string name, std::uint32_t pos, std::uint32_t length, std::uint8_t byteOrder, bool dynamic)
        : name_(std::move(name)), pos_(pos), length_(length), byteOrder_(byteOrder), dynamic_(dynamic) {}

    const std::string& GetName() const noexcept { return name_; }
    std::uint32_t GetPos() const noexcept { return pos_; }        // start position in bits
    std::uint32_t GetLength() const noexcept { return length_; }  // length in bits
    std::uint8_t GetByteOrder() const noexcept { return byteOrder_; }
    bool IsDynamic() const noexcept { return dynamic_; }

  private:
    std::string name_;
    std::uint32_t pos_;
    std::uint32_t length_;
    std::uint8_t byteOrder_;
    bool dynamic_;
};

}  // namespace vrt::common::serialize
