#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "vrt/common/serialize/byte_order.h"
#include "vrt/common/serialize/encoding.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/serialize_payload.h"
#include "vrt/common/serialize/type_traits.h"
#include "vrt/common/serialize_config.h"
#include "vrt/common/someip_serialize_supporter.h"

namespace vrt::common {

// SOME/IP encoding (serialize type 1), driven by a configuration tree whose root describes the outermost
// struct. Every item is written with the settings of its own node: numbers and length fields in the node's
// byte order; strings, vectors and structs with the node's length-field widths; after a vector or struct
// whose node has TLV off, padding to the node's alignment (counted from the start of the payload) is left
// pending and skipped before the next write. The members of a struct whose node has TLV on are each
// preceded by a tag (see SomeipSerializeSupporter) in the struct node's byte order.
namespace detail {
class SomeipWriter;
}  // namespace detail

class SomeipSerializer : public serialize::Encoder<detail::SomeipWriter, SomeipSerializeConfig> {
  public:
    // Bytes a string takes after its length field: with the byte-order mark and terminating zero of the
    // standard's UTF-8 strings, or just its characters in the plain form.
    static std::size_t GetStringContentSize(std::size_t length, bool plain) noexcept {
        return plain ? length : length + kBom.size() + 1U;
    }

    static constexpr std::array<std::uint8_t, 3> kBom{0xEFU, 0xBBU, 0xBFU};
};

namespace detail {

class SomeipWriter : public serialize::Walker<SomeipSerializeConfig, serialize::SerializePayload> {
  public:
    using Walker::Walker;

    template <typename T>
    void Walk(const T& record) {
        const bool withLength = !config_.IsNoLengthTopStruct() && config_.GetStructLength() != 0U;
        Write(serialize::StructField{}, record, config_, withLength ? config_.GetStructLength() : 0U);
    }

  private:
    using ResultCode = serialize::ResultCode;

    // Hands the members of one struct their nodes, in member order.
    class MemberVisitor {
      public:
        MemberVisitor(SomeipWriter& writer, const SomeipSerializeConfig& node)
            : writer_(writer), node_(node) {}

        template <typename U>
        void operator()(const U& member) {
            const auto child = SomeipSerializeSupporter::MemberNode(node_, next_++);
            if (!child.HasValue()) {
                writer_.result_.Fail(ResultCode::kSerializeFailed, child.Error());
            } else if (node_.IsTlvEnabled()) {
                writer_.WriteTagged(member, *child.Value(), node_.GetByteOrder());
            } else {
                writer_.WriteItem(member, *child.Value());
            }
        }

      private:
        SomeipWriter& writer_;
        const SomeipSerializeConfig& node_;
        std::size_t next_{0};
    };

    template <typename U>
    void WriteItem(const U& value, const SomeipSerializeConfig& node) {
        Write(serialize::FieldKind<U>{}, value, node, SomeipSerializeSupporter::ConfiguredWidth<U>(node));
        SomeipSerializeSupporter::PadAfter<U>(payload_, node);
    }

    template <typename U>
    void WriteTagged(const U& value, const SomeipSerializeConfig& node, std::uint8_t tagByteOrder) {
        std::uint16_t tag = 0;
        std::size_t width = 0;
        if constexpr (serialize::kIsScalar<U>) {
            tag = SomeipSerializeSupporter::GetInlineTypeTlvTag(sizeof(U), node);
        } else {
            width = SomeipSerializeSupporter::GetTlvLengthFieldSize(
                SomeipSerializeSupporter::ConfiguredWidth<U>(node));
            tag = SomeipSerializeSupporter::GetComplexTypeTlvTag(width, node);
        }
        std::uint8_t tagBytes[2];
        serialize::StoreUnsigned(tagBytes, tag, 2, tagByteOrder == SerializeConfig::kBigEndian);
        if (!payload_.Copy(tagBytes, sizeof(tagBytes))) {
            result_.Fail(ResultCode::kSerializeFailed, "tag_copy");
            return;
        }
        Write(serialize::FieldKind<U>{}, value, node, width);
    }

    template <typename U>
    void Write(serialize::ScalarField, U value, const SomeipSerializeConfig& node, std::size_t) {
        const std::optional<std::size_t> at = payload_.Reserve(sizeof(U));
        if (!at) {
            result_.Fail(ResultCode::kSerializeFailed, "trivially_copyable_type");
            return;
        }
        if (std::uint8_t* out = payload_.At(*at); out != nullptr) {
            serialize::StoreScalar(out, value, node.GetByteOrder() == SerializeConfig::kBigEndian);
        }
    }

    template <typename String>
    void Write(serialize::StringField, const String& text, const SomeipSerializeConfig& node,
               std::size_t width) {
        const bool plain = node.IsPlainString();
        const std::size_t content = SomeipSerializer::GetStringContentSize(text.size(), plain);
        std::uint8_t* out = ReservePrefixed(
            width, content, node.GetByteOrder() == SerializeConfig::kBigEndian, "string_type");
        if (out == nullptr) {
            return;
        }
        if (!plain) {
            std::memcpy(out, SomeipSerializer::kBom.data(), SomeipSerializer::kBom.size());
            out += SomeipSerializer::kBom.size();
        }
        if (!text.empty()) {
            std::memcpy(out, text.data(), text.size());
        }
        if (!plain) {
            out[text.size()] = 0;
        }
    }

    template <typename E, typename A>
    void Write(serialize::VectorField, const std::vector<E, A>& items, const SomeipSerializeConfig& node,
               std::size_t width) {
        const bool bigEndian = node.GetByteOrder() == SerializeConfig::kBigEndian;
        if constexpr (serialize::kIsScalar<E> && !std::is_same_v<E, bool>) {
            // The length field counts bytes, which for the byte vectors of the records is the element count.
            const std::size_t bytes = items.size() * sizeof(E);
            std::uint8_t* out =
                ReservePrefixed(width, bytes, bigEndian, "vector_with_trivially_copyable_type");
            if (out == nullptr) {
                return;
            }
            if constexpr (sizeof(E) == 1U) {
                if (bytes != 0) {
                    std::memcpy(out, items.data(), bytes);
                }
            } else {
                const SomeipSerializeConfig* element = ElementNode(node);
                const bool elementBigEndian =
                    element != nullptr ? element->GetByteOrder() == SerializeConfig::kBigEndian : bigEndian;
                for (const E& item : items) {
                    serialize::StoreScalar(out, item, elementBigEndian);
                    out += sizeof(E);
                }
            }
        } else {
            const auto& children = node.GetChildNodeConfigList();
            if (children.empty() || children.front() == nullptr) {
                result_.Fail(ResultCode::kSerializeFailed, children.empty() ? "unknown_vector_template_config"
                                                                            : "empty_vector_template_config");
                return;
            }
            const SomeipSerializeConfig& element = *children.front();
            const std::optional<std::size_t> lengthAt = ReserveLengthField(width);
            if (!lengthAt) {
                result_.Fail(ResultCode::kSerializeFailed, "vector_length_field");
                return;
            }
            const std::size_t start = payload_.Offset();
            for (const E& item : items) {
                WriteItem(item, element);
            }
            PatchLength(*lengthAt, width, payload_.Offset() - start, bigEndian, "vector_length_field");
        }
    }

    template <typename U>
    void Write(serialize::StructField, const U& record, const SomeipSerializeConfig& node,
               std::size_t width) {
        std::optional<std::size_t> lengthAt;
        if (width != 0 && !(lengthAt = ReserveLengthField(width))) {
            result_.Fail(ResultCode::kSerializeFailed, "struct_length_field");
            return;
        }
        const std::size_t start = payload_.Offset();
        MemberVisitor members(*this, node);
        record.enumerate(members);
        if (lengthAt) {
            PatchLength(*lengthAt, width, payload_.Offset() - start,
                        node.GetByteOrder() == SerializeConfig::kBigEndian, "struct_length_field");
        }
    }

    // Where the `bytes` bytes after a length field that counts them go; null when the payload only counts or
    // when the item does not fit (failed as `element`).
    std::uint8_t* ReservePrefixed(std::size_t width, std::size_t bytes, bool bigEndian, const char* element) {
        const serialize::PrefixedItem prefixed =
            serialize::ReservePrefixed(payload_, width, bytes, bytes, bigEndian);
        if (!prefixed.fits) {
            result_.Fail(ResultCode::kSerializeFailed, element);
        }
        return prefixed.content;
    }

    // Room for a length field that is filled in once its item is written; none when the width is not 1, 2 or
    // 4 or the payload is full.
    std::optional<std::size_t> ReserveLengthField(std::size_t width) {
        return MaxLengthFieldValue(width) == 0 ? std::nullopt : payload_.Reserve(width);
    }

    void PatchLength(std::size_t at, std::size_t width, std::size_t value, bool bigEndian,
                     const char* element) {
        if (value > serialize::MaxLengthFieldValue(width)) {
            result_.Fail(ResultCode::kSerializeFailed, element);
            return;
        }
        if (std::uint8_t* out = payload_.At(at); out != nullptr) {
            serialize::StoreUnsigned(out, value, width, bigEndian);
        }
    }

    static const SomeipSerializeConfig* ElementNode(const SomeipSerializeConfig& node) {
        const auto& children = node.GetChildNodeConfigList();
        return children.empty() ? nullptr : children.front().get();
    }
    static std::uint64_t MaxLengthFieldValue(std::size_t width) {
        return serialize::MaxLengthFieldValue(width);
    }
};

}  // namespace detail

}  // namespace vrt::common
