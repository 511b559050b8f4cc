#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/type_traits.h"
#include "vrt/common/serialize_config.h"
#include "vrt/common/someip_serialize_supporter.h"

namespace vrt::common {

// Merges a failed result into an accumulating one: code and message of the later, elements and details of
// both, in order.
void MergeResult(serialize::Result& into, const serialize::Result& from);

// Checks that hold whatever the record type.
class SerializeConfigValueChecker {
  public:
    // Shared memory and SOME/IP: a configuration must exist (code 3, "Empty configuration") and hold usable
    // values (code 1, "Invalid serialization configuration", one detail per bad value): byte order 0 or 1,
    // string and vector length fields of 1, 2 or 4 bytes, struct length field of 0, 1, 2 or 4 bytes,
    // alignment 0 or a power of two up to 64, struct policy 0 or 1.
    static serialize::Result CheckWithoutType(const SerializeConfig* config);
    // Signal-based: the PDU configuration must exist, every signal be present (code 3) and have byte order 0,
    // 1 or 2 (code 1).
    static serialize::Result CheckWithoutType(const SignalSerializeConfig* config);
    // A SOME/IP struct node: present (code 3), usable values, and with TLV on, members whose data ids fit in
    // 12 bits and are unique within the struct (code 1).
    static serialize::Result CheckStructConfig(const SomeipSerializeConfig* node);
};

class ShmSerializeConfigChecker {
  public:
    template <typename T>
    static serialize::Result Check(const SerializeConfig* config) {
        return SerializeConfigValueChecker::CheckWithoutType(config);
    }
};

// Walks a default-constructed T alongside the configuration tree: every member needs its node, every vector
// node the node of its elements, every struct node a passing CheckStructConfig before its members are
// walked. The walk goes on after a failure; the result carries every failed element.
class SomeipSerializeConfigChecker {
  public:
    template <typename T>
    static serialize::Result Check(const SomeipSerializeConfig* config);

  private:
    class Walker;
};

// Walks a default-constructed T counting the signals its numbers, bools and byte vectors take.
class SignalSerializeConfigChecker {
  public:
    template <typename T>
    static serialize::Result Check(const SignalSerializeConfig* config);

  private:
    class Walker;
};

// Run when an event is initialized, for each of its transports.
class SerializeConfigChecker {
  public:
    template <typename T>
    static serialize::Result Check(const TransportSerializeConfig& config) {
        switch (config.serializeType) {
            case static_cast<std::uint32_t>(SerializeType::kShm):
                return ShmSerializeConfigChecker::Check<T>(config.shmConfig.get());
            case static_cast<std::uint32_t>(SerializeType::kSomeip):
                return SomeipSerializeConfigChecker::Check<T>(config.someipConfig.get());
            case static_cast<std::uint32_t>(SerializeType::kSignal):
                return SignalSerializeConfigChecker::Check<T>(config.signalConfig.get());
            default: {
                serialize::Result result;
                result.SetCode(serialize::ResultCode::kSerializeFailed);
                result.SetMessage("Unkown_serialize_type");
                return result;
            }
        }
    }
};

class SomeipSerializeConfigChecker::Walker {
  public:
    explicit Walker(serialize::Result& result) : result_(result) {}

    template <typename U>
    void CheckStruct(const SomeipSerializeConfig& node) {
        const serialize::Result structResult = SerializeConfigValueChecker::CheckStructConfig(&node);
        if (!structResult.IsSuccess()) {
            MergeResult(result_, structResult);
            return;
        }
        const U probe{};
        Members members(*this, node);
        probe.enumerate(members);
    }

  private:
    using ResultCode = serialize::ResultCode;

    class Members {
      public:
        Members(Walker& walker, const SomeipSerializeConfig& node) : walker_(walker), node_(node) {}

        template <typename U>
        void operator()(const U&) {
            const auto child = SomeipSerializeSupporter::MemberNode(node_, next_++);
            if (!child.HasValue()) {
                walker_.result_.Fail(ResultCode::kConfigMissing, child.Error());
                return;
            }
            walker_.CheckItem<U>(*child.Value());
        }

      private:
        Walker& walker_;
        const SomeipSerializeConfig& node_;
        std::size_t next_{0};
    };

    template <typename U>
    void CheckItem(const SomeipSerializeConfig& node) {
        if constexpr (serialize::IsStruct<U>::value) {
            CheckStruct<U>(node);
        } else {
            const serialize::Result values = SerializeConfigValueChecker::CheckWithoutType(&node);
            if (!values.IsSuccess()) {
                MergeResult(result_, values);
                return;
            }
            if constexpr (serialize::IsVector<U>::value) {
                const auto& children = node.GetChildNodeConfigList();
                if (children.empty()) {
                    result_.Fail(ResultCode::kConfigMissing,
                                 std::string("unknown_") + "vector" + "_template_config");
                } else if (children.front() == nullptr) {
                    result_.Fail(ResultCode::kConfigMissing,
                                 std::string("empty_") + "vector" + "_template_config");
                } else {
                    CheckItem<typename U::value_type>(*children.front());
                }
            }
        }
    }

    serialize::Result& result_;
};

template <typename T>
serialize::Result SomeipSerializeConfigChecker::Check(const SomeipSerializeConfig* config) {
    serialize::Result result = SerializeConfigValueChecker::CheckWithoutType(config);
    if (!result.IsSuccess()) {
        return result;
    }
    Walker(result).CheckStruct<T>(*config);
    return result;
}

class SignalSerializeConfigChecker::Walker {
  public:
    Walker(const SignalSerializeConfig& config, serialize::Result& result)
        : config_(config), result_(result) {}

    // A type the encoding cannot carry ends the walk with code 2.
    template <typename U>
    void operator()(const U& field) {
        using serialize::ResultCode;
        if (result_.GetCode() == ResultCode::kUnsupportedType) {
            return;
        }
        if constexpr (serialize::kIsScalar<U>) {
            if (consumed_ >= config_.GetISignalCount()) {
                result_.SetMessage("insufficiant signal serialization configuration");
                result_.AddDetail("pdu=", config_.GetPduName());
                result_.Fail(ResultCode::kConfigMissing, "plain_type");
                return;
            }
            ++consumed_;
        } else if constexpr (serialize::IsString<U>::value) {
            result_.SetCode(ResultCode::kUnsupportedType);
            result_.SetMessage("Not supported data type for signal serialization");
        } else if constexpr (serialize::IsVector<U>::value) {
            if constexpr (!std::is_same_v<typename U::value_type, std::uint8_t>) {
                result_.SetCode(ResultCode::kUnsupportedType);
                result_.SetMessage("Only vector with uint8 is supported");
            } else if (consumed_ >= config_.GetISignalCount()) {
                result_.SetMessage("Insufficiant signal serialization configuration");
                result_.AddDetail("pdu=", config_.GetPduName());
                result_.Fail(ResultCode::kConfigMissing, "vector_type");
            } else {
                ++consumed_;
            }
        } else if constexpr (serialize::IsStruct<U>::value) {
            field.enumerate(*this);
        } else {
            static_assert(serialize::kAlwaysFalse<U>, "field type has no signal encoding");
        }
    }

    std::size_t Consumed() const noexcept { return consumed_; }

  private:
    const SignalSerializeConfig& config_;
    serialize::Result& result_;
    std::size_t consumed_{0};
};

template <typename T>
serialize::Result SignalSerializeConfigChecker::Check(const SignalSerializeConfig* config) {
    serialize::Result result = SerializeConfigValueChecker::CheckWithoutType(config);
    if (!result.IsSuccess()) {
        return result;
    }
    const T probe{};
    Walker walker(*config, result);
    probe.enumerate(walker);
    if (result.IsSuccess() && walker.Consumed() != config->GetISignalCount()) {
        result.SetCode(serialize::ResultCode::kSerializeFailed);
        result.SetMessage("Signal-based event data is mismatched with the pdu");
        result.AddDetail("eventDataCount=", walker.Consumed());
        result.AddDetail("pduSignalCount=", config->GetISignalCount());
    }
    return result;
}

}  // namespace vrt::common
