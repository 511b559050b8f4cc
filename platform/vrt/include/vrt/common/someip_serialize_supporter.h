#pragma once

#include <cstddef>
#include <cstdint>

#include "ara/core/result.h"
#include "vrt/common/serialize/type_traits.h"
#include "vrt/common/serialize_config.h"

namespace vrt::common {

// The SOME/IP rules that are the same for every record: alignment padding and TLV tags.
//
// TLV tag (2 bytes): bit 15 reserved (0), bits 14..12 the wire type, bits 11..0 the member's data id.
// Wire types: 0, 1, 2, 3 for members of 1, 2, 4, 8 bytes; 5, 6, 7 for a complex member (string, vector,
// struct) whose length field that follows the tag is 1, 2, 4 bytes wide. Type 4 ("width as configured") is
// never written, and read only for members whose configuration gives the width.
class SomeipSerializeSupporter {
  public:
    static constexpr std::uint16_t kDataIdMask = 0x0FFFU;

    // Width of the length field `node` configures for a field of type U (none for numbers).
    template <typename U>
    static std::size_t ConfiguredWidth(const SomeipSerializeConfig& node) noexcept {
        if constexpr (serialize::kIsScalar<U>) {
            return 0;
        } else if constexpr (serialize::IsString<U>::value) {
            return node.GetStringLength();
        } else if constexpr (serialize::IsVector<U>::value) {
            return node.GetVectorLength();
        } else {
            return node.GetStructLength();
        }
    }

    // After a vector or struct whose node has TLV off, padding to the node's alignment is left pending.
    template <typename U, typename Payload>
    static void PadAfter(Payload& payload, const SomeipSerializeConfig& node) noexcept {
        if constexpr (serialize::IsVector<U>::value || serialize::IsStruct<U>::value) {
            if (!node.IsTlvEnabled()) {
                payload.SetPendingPadding(
                    GetAlignmentPaddingSize(payload.Offset(), node.GetAlignmentBytes()));
            }
        }
    }

    // The node of member `index` of a struct's node, or the error element naming why the tree has none.
    static ara::core::Result<const SomeipSerializeConfig*, const char*> MemberNode(
        const SomeipSerializeConfig& node, std::size_t index) {
        using R = ara::core::Result<const SomeipSerializeConfig*, const char*>;
        const auto& children = node.GetChildNodeConfigList();
        if (index >= children.size()) {
            return R::FromError("inconsistent_serialization_node_config");
        }
        if (children[index] == nullptr) {
            return R::FromError("empty_serialization_node_config");
        }
        return R::FromValue(children[index].get());
    }

    // Bytes to skip after an item that ends at `offset` (counted from the start of the payload) so that the
    // next item starts on a multiple of `alignment`. Alignment 0 or 1 means none.
    static std::size_t GetAlignmentPaddingSize(std::size_t offset, std::size_t alignment) noexcept {
        if (alignment <= 1U) {
            return 0;
        }
        const std::size_t rest = offset % alignment;
        return rest == 0 ? 0 : alignment - rest;
    }

    // Width of the length field of a complex member in TLV mode: the configured 1, 2 or 4, and 4 when the
    // configuration has none (a TLV member must always carry its length so that a reader can skip it).
    static std::size_t GetTlvLengthFieldSize(std::size_t configuredWidth) noexcept {
        return (configuredWidth == 1U || configuredWidth == 2U || configuredWidth == 4U) ? configuredWidth
                                                                                         : 4U;
    }

    // Wire type of a fixed-size member of `size` bytes; 0xFF for a size that has none.
    static std::uint8_t InlineWireType(std::size_t size) noexcept {
        switch (size) {
            case 1:
                return 0;
            case 2:
                return 1;
            case 4:
                return 2;
            case 8:
                return 3;
            default:
                return 0xFFU;
        }
    }

    // Wire type of a complex member whose length field is `lengthFieldSize` bytes (1, 2 or 4).
    static std::uint8_t ComplexWireType(std::size_t lengthFieldSize) noexcept {
        return lengthFieldSize == 1U ? 5U : (lengthFieldSize == 2U ? 6U : 7U);
    }

    static std::uint16_t MakeTag(std::uint8_t wireType, std::uint16_t dataId) noexcept {
        return static_cast<std::uint16_t>(((wireType & 0x7U) << 12U) | (dataId & kDataIdMask));
    }
    static std::uint16_t GetInlineTypeTlvTag(std::size_t size, const SerializeConfig& node) noexcept {
        return MakeTag(InlineWireType(size), node.GetDataId());
    }
    static std::uint16_t GetComplexTypeTlvTag(std::size_t lengthFieldSize,
                                              const SerializeConfig& node) noexcept {
        return MakeTag(ComplexWireType(lengthFieldSize), node.GetDataId());
    }
};

}  // namespace vrt::common
