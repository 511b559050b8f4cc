#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "vrt/common/serialize/byte_order.h"
#include "vrt/common/serialize/encoding.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/serialize_payload.h"
#include "vrt/common/serialize/type_traits.h"
#include "vrt/common/serialize_config.h"

namespace vrt::common {

// Shared-memory encoding (serialize type 0): reader and writer share the host, so numbers keep their
// in-memory bytes (host byte order), length fields are host-order unsigned integers, and nothing is padded.
namespace detail {
class ShmWriter;
}  // namespace detail

class ShmSerializer : public serialize::Encoder<detail::ShmWriter, SerializeConfig> {
  public:
    // A struct goes as one block of its in-memory bytes only when the configuration allows it, the type says
    // it is plain, and it is not the outermost struct under struct policy 1.
    template <typename U>
    static bool IsBlockCopied(const SerializeConfig& config, bool outermost) {
        return config.IsDirectlyCopy() && serialize::IsPlaneStruct<U>() &&
               !(config.GetStructPolicy() == 1U && outermost);
    }
};

namespace detail {

class ShmWriter : public serialize::Walker<SerializeConfig, serialize::SerializePayload> {
  public:
    using Walker::Walker;

    template <typename T>
    void Walk(const T& record) {
        WriteStruct(record, true);
    }

    template <typename U>
    void operator()(const U& field) {
        Write(serialize::FieldKind<U>{}, field);
    }

  private:
    template <typename U>
    void Write(serialize::ScalarField, const U& value) {
        if (!payload_.Copy(&value, sizeof(U))) {
            result_.Fail(serialize::ResultCode::kSerializeFailed, "trivially_copyable_type");
        }
    }

    template <typename U>
    void Write(serialize::StructField, const U& record) {
        WriteStruct(record, false);
    }

    template <typename U>
    void WriteStruct(const U& record, bool outermost) {
        if constexpr (std::is_trivially_copyable_v<U>) {
            if (ShmSerializer::IsBlockCopied<U>(config_, outermost)) {
                if (!payload_.Copy(&record, sizeof(U))) {
                    result_.Fail(serialize::ResultCode::kSerializeFailed, "struct_plain_type");
                }
                return;
            }
        }
        record.enumerate(*this);
    }

    template <typename String>
    void Write(serialize::StringField, const String& text) {
        if (!WritePrefixedBytes(config_.GetStringLength(), text.size(), text.data(), text.size())) {
            result_.Fail(serialize::ResultCode::kSerializeFailed, "string_type");
        }
    }

    template <typename E, typename A>
    void Write(serialize::VectorField, const std::vector<E, A>& items) {
        if constexpr (serialize::kIsScalar<E> && !std::is_same_v<E, bool>) {
            if (!WritePrefixedBytes(config_.GetVectorLength(), items.size(), items.data(),
                                    items.size() * sizeof(E))) {
                result_.Fail(serialize::ResultCode::kSerializeFailed, "vector_with_trivially_copyable_type");
            }
        } else {
            if (!WritePrefixedBytes(config_.GetVectorLength(), items.size(), nullptr, 0)) {
                result_.Fail(serialize::ResultCode::kSerializeFailed, "vector_length_field");
                return;
            }
            for (const E& item : items) {
                (*this)(item);
            }
        }
    }

    bool WritePrefixedBytes(std::size_t width, std::uint64_t count, const void* bytes,
                            std::size_t byteCount) {
        return serialize::WritePrefixed(payload_, width, count, bytes, byteCount,
                                        serialize::kHostIsBigEndian);
    }
};

}  // namespace detail

}  // namespace vrt::common
