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
#include "vrt/common/shm_serializer.h"

namespace vrt::common {

// Inverse of ShmSerializer with the same configuration. Decoding stops at the first fault; every length is
// checked against the bytes left before anything is allocated, and the payload must be used up exactly.
namespace detail {
class ShmReader;
}  // namespace detail

class ShmDeserializer : public serialize::Decoder<detail::ShmReader, SerializeConfig> {};

namespace detail {

class ShmReader : public serialize::ReadWalker<SerializeConfig> {
  public:
    using ReadWalker::ReadWalker;

    template <typename T>
    void Walk(T& record) {
        ReadStruct(record, true);
        if (!failed_ && payload_.Remaining() != 0) {
            Fail("trailing_data");
        }
    }

    template <typename U>
    void operator()(U& field) {
        if (!failed_) {
            Read(serialize::FieldKind<U>{}, field);
        }
    }

  private:
    template <typename U>
    void Read(serialize::ScalarField, U& value) {
        const std::uint8_t* in = payload_.Take(sizeof(U));
        if (in == nullptr || !serialize::LoadScalar(in, value, serialize::kHostIsBigEndian)) {
            Fail("trivially_copyable_type");
        }
    }

    template <typename String>
    void Read(serialize::StringField, String& text) {
        const std::optional<std::size_t> length = ReadLength(config_.GetStringLength());
        const std::uint8_t* in = length ? TakeBytes(*length) : nullptr;
        if (in == nullptr) {
            Fail("string_type");
            return;
        }
        text.assign(reinterpret_cast<const char*>(in), *length);
    }

    template <typename U>
    void Read(serialize::StructField, U& record) {
        ReadStruct(record, false);
    }

    template <typename U>
    void ReadStruct(U& record, bool outermost) {
        if constexpr (std::is_trivially_copyable_v<U>) {
            if (ShmSerializer::IsBlockCopied<U>(config_, outermost)) {
                const std::uint8_t* in = payload_.Take(sizeof(U));
                if (in == nullptr) {
                    Fail("struct_plain_type");
                    return;
                }
                std::memcpy(&record, in, sizeof(U));
                return;
            }
        }
        record.enumerate(*this);
    }

    template <typename E, typename A>
    void Read(serialize::VectorField, std::vector<E, A>& items) {
        static_assert(!std::is_same_v<E, bool>, "vectors of bool have no encoding");
        const std::optional<std::size_t> length = ReadLength(config_.GetVectorLength());
        if (!length) {
            Fail("vector_with_trivially_copyable_type");
            return;
        }
        const std::size_t count = *length;
        if constexpr (serialize::kIsScalar<E>) {
            const std::uint8_t* in =
                count > payload_.Remaining() / sizeof(E) ? nullptr : TakeBytes(count * sizeof(E));
            if (in == nullptr) {
                Fail("vector_with_trivially_copyable_type");
                return;
            }
            items.resize(count);
            if (count != 0) {
                std::memcpy(items.data(), in, count * sizeof(E));
            }
        } else {
            // Every element takes at least one byte, so the count cannot ask for more than the payload holds.
            if (count > payload_.Remaining()) {
                Fail("vector_length_field");
                return;
            }
            items.clear();
            for (std::size_t i = 0; i < count && !failed_; ++i) {
                const std::size_t before = payload_.Offset();
                (*this)(items.emplace_back());
                if (!failed_ && payload_.Offset() == before) {
                    Fail("vector_length_field");
                }
            }
        }
    }

    std::optional<std::size_t> ReadLength(std::size_t width) {
        return serialize::ReadLengthField(payload_, width, serialize::kHostIsBigEndian);
    }

    // The next `n` bytes; null when fewer are left.
    const std::uint8_t* TakeBytes(std::size_t n) {
        static const std::uint8_t kNothing = 0;
        return n == 0 ? &kNothing : payload_.Take(n);
    }
};

}  // namespace detail

}  // namespace vrt::common
