#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vrt/common/serialize/bit_packing.h"
#include "vrt/common/serialize/encoding.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/serialize_payload.h"
#include "vrt/common/serialize/type_traits.h"
#include "vrt/common/serialize_config.h"

namespace vrt::common {

// Signal-based encoding (serialize type 2): each number, bool and byte vector of the record, nested records
// flattened, takes the next signal of the PDU. Strings and vectors of anything but bytes cannot be carried.
namespace detail {
class SignalWriter;
}  // namespace detail

class SignalSerializer : public serialize::Encoder<detail::SignalWriter, SignalSerializeConfig> {
  public:
    // The PDU length, or for a PDU that ends in a dynamic byte vector, that vector's start byte plus its
    // size.
    template <typename T>
    static serialize::SizeResult GetSize(const SignalSerializeConfig* config, const T& record);

  private:
    class Counter;
};

namespace detail {

class SignalWriter : public serialize::Walker<SignalSerializeConfig, serialize::SerializePayload> {
  public:
    using Walker::Walker;

    template <typename T>
    void Walk(const T& record) {
        record.enumerate(*this);
    }

    // A type the encoding cannot carry ends the walk: nothing after it could make the record fit.
    template <typename U>
    void operator()(const U& field) {
        if (unsupported_) {
            return;
        }
        if constexpr (serialize::kIsScalar<U>) {
            WriteScalar(field);
        } else if constexpr (serialize::IsString<U>::value) {
            Unsupported("Not supported data type for signal serialization");
        } else if constexpr (serialize::IsVector<U>::value) {
            if constexpr (std::is_same_v<typename U::value_type, std::uint8_t>) {
                WriteBytes(field);
            } else {
                Unsupported("Only vector with uint8 is supported");
            }
        } else if constexpr (serialize::IsStruct<U>::value) {
            field.enumerate(*this);
        } else {
            static_assert(serialize::kAlwaysFalse<U>, "field type has no signal encoding");
        }
    }

  private:
    using ResultCode = serialize::ResultCode;

    void Unsupported(const char* message) {
        unsupported_ = true;
        result_.SetCode(ResultCode::kUnsupportedType);
        result_.SetMessage(message);
    }

    // The signal the next field takes; null, failed with `message` and `element`, when the PDU has no more.
    const serialize::ISignal* NextSignal(const char* message, const char* element) {
        const serialize::ISignal* signal = config_.GetSignal(index_);
        if (signal == nullptr) {
            result_.SetMessage(message);
            result_.AddDetail("pdu=", config_.GetPduName());
            result_.Fail(ResultCode::kSerializeFailed, element);
        }
        return signal;
    }

    template <typename U>
    void WriteScalar(U value) {
        constexpr std::uint32_t kWidth = 8U * sizeof(U);
        const serialize::ISignal* signal =
            NextSignal("insufficiant signal serialization configuration", "plain_type");
        if (signal == nullptr) {
            return;
        }
        if (signal->GetLength() > kWidth) {
            FailScalar("Invalid iSignal length", *signal, kWidth);
            return;
        }
        std::uint8_t bytes[sizeof(U)];
        serialize::StoreScalar(bytes, value, false);
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            bits |= static_cast<std::uint64_t>(bytes[i]) << (8U * i);
        }
        if (!serialize::PackBits(payload_.Data(), payload_.SizeInBits(), bits, signal->GetPos(),
                                 signal->GetLength(), signal->GetByteOrder())) {
            FailScalar("Bit copy failed", *signal, kWidth);
            return;
        }
        ++index_;
    }

    void FailScalar(const char* message, const serialize::ISignal& signal, std::uint32_t width) {
        result_.SetCode(ResultCode::kSerializeFailed);
        result_.SetMessage(message);
        result_.AddDetail("pdu=", config_.GetPduName());
        result_.AddDetail("iSignal=", signal.GetName());
        result_.AddDetail("dataTypeLen=", width);
    }

    template <typename A>
    void WriteBytes(const std::vector<std::uint8_t, A>& bytes) {
        const serialize::ISignal* signal =
            NextSignal("Insufficiant signal serialization configuration", "vector_type");
        if (signal == nullptr) {
            return;
        }
        const std::uint64_t dataBits = 8U * static_cast<std::uint64_t>(bytes.size());
        if (signal->GetLength() < dataBits) {
            result_.SetMessage("Invalid iSignal length");
            result_.AddDetail("pdu=", config_.GetPduName());
            result_.AddDetail("isignal=", signal->GetName());
            result_.AddDetail("maxLength=", signal->GetLength());
            result_.AddDetail("dataSize=", dataBits);
            result_.Fail(ResultCode::kSerializeFailed, "vector_type");
            return;
        }
        const std::size_t start = signal->GetPos() / 8U;
        bool copied = false;
        if (start <= payload_.Size()) {
            payload_.SetOffset(start);
            payload_.SetPendingPadding(0);
            copied = payload_.Copy(bytes.data(), bytes.size());
        }
        if (!copied) {
            result_.Fail(ResultCode::kSerializeFailed, "vector_with_trivially_copyable_type");
            return;
        }
        ++index_;
    }

    std::size_t index_{0};
    bool unsupported_{false};
};

}  // namespace detail

// Counts the signals a record takes and finds the size of a PDU that ends in a dynamic vector.
class SignalSerializer::Counter {
  public:
    explicit Counter(const SignalSerializeConfig& config) : config_(config) {}

    template <typename U>
    void operator()(const U& field) {
        if (!result_.IsSuccess()) {
            return;
        }
        if constexpr (serialize::kIsScalar<U>) {
            ++count_;
        } else if constexpr (serialize::IsString<U>::value) {
            result_.SetCode(serialize::ResultCode::kUnsupportedType);
            result_.SetMessage("Not supported data type for signal serialization");
        } else if constexpr (serialize::IsVector<U>::value) {
            CountVector(field.size() * sizeof(typename U::value_type));
        } else if constexpr (serialize::IsStruct<U>::value) {
            field.enumerate(*this);
        } else {
            static_assert(serialize::kAlwaysFalse<U>, "field type has no signal encoding");
        }
    }

    serialize::SizeResult Finish() {
        if (!result_.IsSuccess()) {
            return serialize::SizeResult(std::move(result_));
        }
        if (count_ != config_.GetISignalCount()) {
            result_.SetCode(serialize::ResultCode::kSerializeFailed);
            result_.SetMessage("Inconsistent signal serialization configuration");
            result_.AddDetail("dataSignalCount=", count_);
            result_.AddDetail("pduSignalCount=", config_.GetISignalCount());
            result_.AddDetail("pdu=", config_.GetPduName());
            return serialize::SizeResult(std::move(result_));
        }
        return dynamicSize_.value_or(config_.GetPduLength());
    }

  private:
    void CountVector(std::size_t bytes) {
        const serialize::ISignal* signal = config_.GetSignal(count_);
        if (signal != nullptr && !signal->IsDynamic()) {
            result_.SetCode(serialize::ResultCode::kSerializeFailed);
            result_.SetMessage("The vector can be only mapped to the dynamic iSignal");
            result_.AddDetail("vectorSignalPosition=", count_);
            result_.AddDetail("pduSignalCount=", config_.GetISignalCount());
            result_.AddDetail("pdu=", config_.GetPduName());
            return;
        }
        if (signal != nullptr) {
            dynamicSize_ = signal->GetPos() / 8U + bytes;
        }
        ++count_;
    }

    const SignalSerializeConfig& config_;
    serialize::Result result_;
    std::size_t count_{0};
    std::optional<std::size_t> dynamicSize_;
};

template <typename T>
serialize::SizeResult SignalSerializer::GetSize(const SignalSerializeConfig* config, const T& record) {
    if (config == nullptr) {
        return serialize::SizeResult(serialize::EmptyConfiguration());
    }
    Counter counter(*config);
    record.enumerate(counter);
    return counter.Finish();
}

}  // namespace vrt::common
