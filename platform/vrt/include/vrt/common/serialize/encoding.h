#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
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

// What every walk over a record holds: its configuration, the payload it writes or reads, and the result
// it reports into.
template <typename Config, typename Payload>
class Walker {
  public:
    Walker(const Config& config, Payload& payload, Result& result)
        : config_(config), payload_(payload), result_(result) {}

  protected:
    const Config& config_;
    Payload& payload_;
    Result& result_;
};

// A decoding walk: it stops at its first fault, which it reports as a malformed payload.
template <typename Config>
class ReadWalker : public Walker<Config, DeserializePayload> {
  public:
    using Walker<Config, DeserializePayload>::Walker;

  protected:
    void Fail(const char* element) {
        if (!failed_) {
            failed_ = true;
            FailMalformed(this->result_, element, this->payload_.Offset());
        }
    }

    bool failed_{false};
};

// Runs a walk (`Walk(record)` of a walker made from configuration, payload and result) where there is a
// configuration.
template <typename WalkerType, typename Config, typename Record, typename Payload>
Result RunWalk(const Config* config, Record& record, Payload& payload) {
    if (config == nullptr) {
        return EmptyConfiguration();
    }
    Result result;
    WalkerType walker(*config, payload, result);
    walker.Walk(record);
    return result;
}

// The entry points of an encoding whose writer is `Writer`. GetSize runs it over a payload that only counts.
template <typename Writer, typename Config>
class Encoder {
  public:
    template <typename T>
    static Result Serialize(const Config* config, const T& record, SerializePayload& payload) {
        return RunWalk<Writer>(config, record, payload);
    }

    template <typename T>
    static SizeResult GetSize(const Config* config, const T& record) {
        auto counter = SerializePayload::Counter();
        Result result = RunWalk<Writer>(config, record, counter);
        if (!result.IsSuccess()) {
            return SizeResult(std::move(result));
        }
        return counter.Offset();
    }
};

// The entry point of a decoding whose reader is `Reader`.
template <typename Reader, typename Config>
class Decoder {
  public:
    template <typename T>
    static Result Deserialize(const Config* config, T& record, DeserializePayload& payload) {
        return RunWalk<Reader>(config, record, payload);
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
    const std::optional<std::size_t> at =
        count > MaxLengthFieldValue(width) ? std::nullopt : payload.Reserve(width + contentBytes);
    if (!at) {
        return {};
    }
    std::uint8_t* out = payload.At(*at);
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

// A length field of `width` bytes read from the payload; none when the width is not 1, 2 or 4 or the field
// is not there.
inline std::optional<std::size_t> ReadLengthField(DeserializePayload& payload, std::size_t width,
                                                  bool bigEndian) noexcept {
    const std::uint8_t* in = MaxLengthFieldValue(width) == 0 ? nullptr : payload.Take(width);
    if (in == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(LoadUnsigned(in, width, bigEndian));
}

}  // namespace vrt::common::serialize
