#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "vrt/common/serialize/byte_order.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/serialize_payload.h"

// What the encodings (shared memory, SOME/IP, signals) share: their entry points, their failures and the
// writing of length-prefixed items.
namespace vrt::common::serialize {

inline Result EmptyConfiguration() {
    return Result::Failure(ResultCode::kConfigMissing, "Empty configuration");
}

// First failure of a decode: the bytes do not form a payload of the expected shape.
inline void FailMalformed(Result& result, const char* element, std::size_t offset) {
    result.SetCode(ResultCode::kSerializeFailed);
    result.SetMessage("Malformed payload");
    result.AddErrorElement(element);
    result.AddDetail("offset=", offset);
}

// The entry points of an encoding. `Encoding::Writer` is made from (configuration, payload, result) and
// walks a record with WriteRecord; GetSize runs it over a payload that only counts. Without a configuration
// both fail.
template <typename Encoding, typename Config>
class Encoder {
  public:
    template <typename T>
    static Result Serialize(const Config* config, const T& record, SerializePayload& payload) {
        if (config == nullptr) {
            return EmptyConfiguration();
        }
        Result result;
        typename Encoding::Writer writer(*config, payload, result);
        writer.WriteRecord(record);
        return result;
    }

    template <typename T>
    static SizeResult GetSize(const Config* config, const T& record) {
        if (config == nullptr) {
            return SizeResult(EmptyConfiguration());
        }
        Result result;
        auto counter = SerializePayload::Counter();
        typename Encoding::Writer writer(*config, counter, result);
        writer.WriteRecord(record);
        if (!result.IsSuccess()) {
            return SizeResult(std::move(result));
        }
        return counter.Offset();
    }
};

// The entry point of a decoding: `Decoding::Reader`, made from (configuration, payload, result), fills a
// record with ReadRecord.
template <typename Decoding, typename Config>
class Decoder {
  public:
    template <typename T>
    static Result Deserialize(const Config* config, T& record, DeserializePayload& payload) {
        if (config == nullptr) {
            return EmptyConfiguration();
        }
        Result result;
        typename Decoding::Reader reader(*config, payload, result);
        reader.ReadRecord(record);
        return result;
    }
};

// A length field and the bytes it counts, reserved as one item so that one that does not fit leaves
// nothing behind.
struct PrefixedItem {
    bool fits{false};
    std::uint8_t* content{nullptr};  // after the length field; null when the payload only counts
};

// Reserves a `width`-byte length field holding `count`, followed by `contentBytes` bytes for the caller to
// fill. Does not fit when `count` exceeds the width or the whole exceeds the payload.
inline PrefixedItem ReservePrefixed(SerializePayload& payload, std::size_t width, std::uint64_t count,
                                    std::size_t contentBytes, bool bigEndian) noexcept {
    std::size_t at = 0;
    if (count > MaxLengthFieldValue(width) || !payload.Reserve(width + contentBytes, at)) {
        return {};
    }
    std::uint8_t* out = payload.At(at);
    if (out == nullptr) {
        return PrefixedItem{true, nullptr};
    }
    StoreUnsigned(out, count, width, bigEndian);
    return PrefixedItem{true, out + width};
}

// A length field holding `count` and then `byteCount` bytes copied from `bytes`.
inline bool WritePrefixed(SerializePayload& payload, std::size_t width, std::uint64_t count,
                          const void* bytes, std::size_t byteCount, bool bigEndian) noexcept {
    const PrefixedItem item = ReservePrefixed(payload, width, count, byteCount, bigEndian);
    if (item.content != nullptr && byteCount != 0) {
        std::memcpy(item.content, bytes, byteCount);
    }
    return item.fits;
}

}  // namespace vrt::common::serialize
