#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "vrt/common/serialize/byte_order.h"
#include "vrt/common/serialize/encoding.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/serialize_payload.h"
#include "vrt/common/serialize/type_traits.h"
#include "vrt/common/serialize_config.h"
#include "vrt/common/shm_deserializer.h"
#include "vrt/common/someip_serialize_supporter.h"
#include "vrt/common/someip_serializer.h"

namespace vrt::common {

// Inverse of SomeipSerializer with the same configuration tree. Decoding stops at the first fault. Every
// length field is checked against the bytes left in its enclosing item before anything is allocated.
//
// As the standard allows, a struct's length field may announce more bytes than its known members take (a
// newer producer's members): they are skipped, as are bytes after the outermost struct. The members of a
// TLV struct with a length field are found by data id in any order, unknown ones skipped; without a length
// field they must come in member order. Wire type 4 is refused.
namespace detail {
class SomeipReader;
}  // namespace detail

class SomeipDeserializer : public serialize::Decoder<detail::SomeipReader, SomeipSerializeConfig> {};

namespace detail {

class SomeipReader : public serialize::ReadWalker<SomeipSerializeConfig> {
  public:
    using ReadWalker::ReadWalker;

    template <typename T>
    void Walk(T& record) {
        const bool withLength = !config_.IsNoLengthTopStruct() && config_.GetStructLength() != 0U;
        Read(serialize::StructField{}, record, config_, withLength ? config_.GetStructLength() : 0U);
    }

  private:
    // Hands the members of a struct without TLV their nodes, in member order.
    class MemberVisitor {
      public:
        MemberVisitor(SomeipReader& reader, const SomeipSerializeConfig& node)
            : reader_(reader), node_(node) {}

        template <typename U>
        void operator()(U& member) {
            if (reader_.failed_) {
                return;
            }
            const SomeipSerializeConfig* child = reader_.ChildNode(node_, next_++);
            if (child != nullptr) {
                reader_.ReadItem(member, *child);
            }
        }

      private:
        SomeipReader& reader_;
        const SomeipSerializeConfig& node_;
        std::size_t next_{0};
    };

    // Finds and decodes the members of a TLV struct whose items lie in [regionStart, regionEnd).
    class TlvMemberVisitor {
      public:
        TlvMemberVisitor(SomeipReader& reader, const SomeipSerializeConfig& node, std::size_t regionStart,
                         std::size_t regionEnd, bool bounded)
            : reader_(reader),
              node_(node),
              regionStart_(regionStart),
              regionEnd_(regionEnd),
              bounded_(bounded),
              searchFrom_(regionStart) {}

        template <typename U>
        void operator()(U& member) {
            if (reader_.failed_) {
                return;
            }
            const SomeipSerializeConfig* child = reader_.ChildNode(node_, next_++);
            if (child == nullptr) {
                return;
            }
            const std::optional<TlvItem> item = reader_.FindTlvItem(
                node_, child->GetDataId(), bounded_ ? regionStart_ : searchFrom_, regionEnd_, !bounded_);
            if (!item) {
                return;
            }
            reader_.ReadTaggedItem(member, *child, *item);
            searchFrom_ = item->end;
        }

        std::size_t ItemsEnd() const noexcept { return searchFrom_; }

      private:
        SomeipReader& reader_;
        const SomeipSerializeConfig& node_;
        std::size_t regionStart_;
        std::size_t regionEnd_;
        bool bounded_;
        std::size_t searchFrom_;
        std::size_t next_{0};
    };

    struct TlvItem {
        std::uint8_t wireType{0};
        std::size_t start{0};  // first byte after the tag
        std::size_t end{0};
    };

    const SomeipSerializeConfig* ChildNode(const SomeipSerializeConfig& node, std::size_t index) {
        const auto child = SomeipSerializeSupporter::MemberNode(node, index);
        if (!child.HasValue()) {
            Fail(child.Error());
            return nullptr;
        }
        return child.Value();
    }

    template <typename U>
    void ReadItem(U& value, const SomeipSerializeConfig& node) {
        Read(serialize::FieldKind<U>{}, value, node, SomeipSerializeSupporter::ConfiguredWidth<U>(node));
        SomeipSerializeSupporter::PadAfter<U>(payload_, node);
    }

    // Scans tags from `from` for the item with dataId. With firstOnly the first tag must be it.
    // Fails, leaving the offset where the scan stopped, when there is none.
    std::optional<TlvItem> FindTlvItem(const SomeipSerializeConfig& structNode, std::uint16_t dataId,
                                       std::size_t from, std::size_t regionEnd, bool firstOnly) {
        const bool bigEndian = structNode.GetByteOrder() == SerializeConfig::kBigEndian;
        const std::uint8_t* bytes = payload_.Data();
        std::size_t pos = from;
        while (pos <= regionEnd && regionEnd - pos >= 2U) {
            const auto tag = static_cast<std::uint16_t>(serialize::LoadUnsigned(bytes + pos, 2, bigEndian));
            const auto wireType = static_cast<std::uint8_t>((tag >> 12U) & 0x7U);
            const auto id = static_cast<std::uint16_t>(tag & SomeipSerializeSupporter::kDataIdMask);
            if ((tag & 0x8000U) != 0U) {
                break;
            }
            const std::size_t start = pos + 2U;
            std::size_t size = 0;
            if (wireType <= 3U) {
                size = std::size_t{1} << wireType;
            } else if (wireType >= 5U) {
                const std::size_t width = wireType == 5U ? 1U : (wireType == 6U ? 2U : 4U);
                if (regionEnd - start < width) {
                    break;
                }
                const std::uint64_t length = serialize::LoadUnsigned(bytes + start, width, bigEndian);
                if (length > regionEnd - start - width) {
                    break;
                }
                size = width + static_cast<std::size_t>(length);
            } else {
                break;  // wire type 4: the width would come from a configuration we cannot know here
            }
            if (size > regionEnd - start) {
                break;
            }
            if (id == dataId) {
                return TlvItem{wireType, start, start + size};
            }
            if (firstOnly) {
                break;
            }
            pos = start + size;
        }
        payload_.SetOffset(std::min(pos, regionEnd));
        Fail("tag_copy");
        return std::nullopt;
    }

    template <typename U>
    void ReadTaggedItem(U& value, const SomeipSerializeConfig& node, const TlvItem& item) {
        const std::size_t savedEnd = payload_.End();
        payload_.SetOffset(item.start);
        payload_.SetPendingPadding(0);
        payload_.SetEnd(item.end);
        if constexpr (serialize::kIsScalar<U>) {
            if (item.wireType != SomeipSerializeSupporter::InlineWireType(sizeof(U))) {
                Fail("tag_copy");
            } else {
                Read(serialize::ScalarField{}, value, node, 0);
            }
        } else {
            if (item.wireType < 5U) {
                Fail("tag_copy");
            } else {
                const std::size_t width = item.wireType == 5U ? 1U : (item.wireType == 6U ? 2U : 4U);
                Read(serialize::FieldKind<U>{}, value, node, width);
            }
        }
        payload_.SetEnd(savedEnd);
        payload_.SetOffset(item.end);
    }

    template <typename U>
    void Read(serialize::ScalarField, U& value, const SomeipSerializeConfig& node, std::size_t) {
        const std::uint8_t* in = payload_.Take(sizeof(U));
        if (in == nullptr ||
            !serialize::LoadScalar(in, value, node.GetByteOrder() == SerializeConfig::kBigEndian)) {
            Fail("trivially_copyable_type");
        }
    }

    // A length field that counts no more bytes than are left.
    std::optional<std::size_t> ReadLength(std::size_t width, const SomeipSerializeConfig& node) {
        const std::optional<std::size_t> length =
            serialize::ReadLengthField(payload_, width, node.GetByteOrder() == SerializeConfig::kBigEndian);
        return length && *length <= payload_.Remaining() ? length : std::nullopt;
    }

    template <typename String>
    void Read(serialize::StringField, String& text, const SomeipSerializeConfig& node, std::size_t width) {
        const std::optional<std::size_t> read = ReadLength(width, node);
        if (!read) {
            Fail("string_type");
            return;
        }
        const std::size_t length = *read;
        const std::uint8_t* in = payload_.Data() + payload_.Offset();
        payload_.SetOffset(payload_.Offset() + length);
        if (node.IsPlainString() || length == 0) {
            text.assign(reinterpret_cast<const char*>(in), length);
            return;
        }
        const auto& bom = SomeipSerializer::kBom;
        if (length < bom.size() + 1U || std::memcmp(in, bom.data(), bom.size()) != 0 ||
            in[length - 1U] != 0U) {
            Fail("string_type");
            return;
        }
        text.assign(reinterpret_cast<const char*>(in + bom.size()), length - bom.size() - 1U);
    }

    template <typename E, typename A>
    void Read(serialize::VectorField, std::vector<E, A>& items, const SomeipSerializeConfig& node,
              std::size_t width) {
        static_assert(!std::is_same_v<E, bool>, "vectors of bool have no encoding");
        if constexpr (serialize::kIsScalar<E>) {
            const std::optional<std::size_t> read = ReadLength(width, node);
            if (!read || *read % sizeof(E) != 0) {
                Fail("vector_with_trivially_copyable_type");
                return;
            }
            const std::size_t length = *read;
            const std::uint8_t* in = payload_.Data() + payload_.Offset();
            payload_.SetOffset(payload_.Offset() + length);
            if constexpr (sizeof(E) == 1U) {
                items.assign(reinterpret_cast<const E*>(in), reinterpret_cast<const E*>(in) + length);
            } else {
                const auto& children = node.GetChildNodeConfigList();
                const SerializeConfig& element =
                    (children.empty() || children.front() == nullptr) ? node : *children.front();
                items.resize(length / sizeof(E));
                for (E& item : items) {
                    serialize::LoadScalar(in, item, element.GetByteOrder() == SerializeConfig::kBigEndian);
                    in += sizeof(E);
                }
            }
        } else {
            const auto& children = node.GetChildNodeConfigList();
            if (children.empty() || children.front() == nullptr) {
                Fail(children.empty() ? "unknown_vector_template_config" : "empty_vector_template_config");
                return;
            }
            const std::optional<std::size_t> length = ReadLength(width, node);
            if (!length) {
                Fail("vector_length_field");
                return;
            }
            const std::size_t savedEnd = payload_.End();
            const std::size_t end = payload_.Offset() + *length;
            payload_.SetEnd(end);
            items.clear();
            while (!failed_ && payload_.Offset() < end) {
                const std::size_t before = payload_.Offset();
                ReadItem(items.emplace_back(), *children.front());
                if (!failed_ && payload_.Offset() == before) {
                    Fail("vector_length_field");
                }
            }
            payload_.SetEnd(savedEnd);
        }
    }

    template <typename U>
    void Read(serialize::StructField, U& record, const SomeipSerializeConfig& node, std::size_t width) {
        const std::size_t savedEnd = payload_.End();
        std::size_t end = savedEnd;
        if (width != 0) {
            const std::optional<std::size_t> length = ReadLength(width, node);
            if (!length) {
                Fail("struct_length_field");
                return;
            }
            end = payload_.Offset() + *length;
            payload_.SetEnd(end);
        }
        if (node.IsTlvEnabled()) {
            // A struct without length field has no padding before its first tag to skip: TLV writes none.
            TlvMemberVisitor members(*this, node, payload_.Offset() + payload_.PendingPadding(), end,
                                     width != 0);
            payload_.SetPendingPadding(0);
            record.enumerate(members);
            if (!failed_) {
                payload_.SetOffset(width != 0 ? end : members.ItemsEnd());
            }
        } else {
            MemberVisitor members(*this, node);
            record.enumerate(members);
        }
        if (width != 0 && !failed_) {
            payload_.SetOffset(end);
            payload_.SetPendingPadding(0);
        }
        payload_.SetEnd(savedEnd);
    }
};

}  // namespace detail

}  // namespace vrt::common
