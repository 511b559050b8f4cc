#include "vrt/common/serialize_config_checker.h"

#include <bitset>
#include <string>

namespace vrt::common {
namespace {

using serialize::Result;
using serialize::ResultCode;

bool IsLengthWidth(std::uint8_t width) {
    return width == 1U || width == 2U || width == 4U;
}

bool IsAlignment(std::uint8_t alignment) {
    return alignment <= 64U && (alignment & static_cast<std::uint8_t>(alignment - 1U)) == 0U;
}

Result InvalidValues() {
    Result result;
    result.SetCode(ResultCode::kSerializeFailed);
    result.SetMessage("Invalid serialization configuration");
    return result;
}

Result Missing(const char* message) {
    Result result;
    result.SetCode(ResultCode::kConfigMissing);
    result.SetMessage(message);
    return result;
}

}  // namespace

void MergeResult(Result& into, const Result& from) {
    if (from.IsSuccess()) {
        return;
    }
    into.SetCode(from.GetCode());
    into.SetMessage(from.GetMessage());
    for (const auto& element : from.GetErrorElements()) {
        into.AddErrorElement(element);
    }
    for (const auto& detail : from.GetDetails()) {
        into.AddDetail(detail);
    }
}

Result SerializeConfigValueChecker::CheckWithoutType(const SerializeConfig* config) {
    if (config == nullptr) {
        return Missing("Empty configuration");
    }
    Result result = InvalidValues();
    bool valid = true;
    auto reject = [&](const char* key, std::uint64_t value) {
        valid = false;
        result.AddDetail(key, value);
    };
    if (config->GetByteOrder() > SerializeConfig::kLittleEndian) {
        reject("byteOrder=", config->GetByteOrder());
    }
    if (!IsLengthWidth(config->GetStringLength())) {
        reject("stringLength=", config->GetStringLength());
    }
    if (!IsLengthWidth(config->GetVectorLength())) {
        reject("vectorLength=", config->GetVectorLength());
    }
    if (config->GetStructLength() != 0U && !IsLengthWidth(config->GetStructLength())) {
        reject("structLength=", config->GetStructLength());
    }
    if (!IsAlignment(config->GetAlignmentBytes())) {
        reject("alignmentBytes=", config->GetAlignmentBytes());
    }
    if (config->GetStructPolicy() > 1U) {
        reject("structPolicy=", config->GetStructPolicy());
    }
    return valid ? Result{} : result;
}

Result SerializeConfigValueChecker::CheckWithoutType(const SignalSerializeConfig* config) {
    if (config == nullptr) {
        return Missing("Empty configuration");
    }
    for (std::size_t i = 0; i < config->GetISignalCount(); ++i) {
        const serialize::ISignal* signal = config->GetSignal(i);
        if (signal == nullptr) {
            Result result = Missing("Empty signal configuration");
            result.AddDetail("pdu=", config->GetPduName());
            result.AddDetail("signalIndex=", i);
            return result;
        }
        if (signal->GetByteOrder() > serialize::ISignal::kLeastSignificantFirstAlt) {
            Result result = InvalidValues();
            result.AddDetail("pdu=", config->GetPduName());
            result.AddDetail("iSignal=", signal->GetName());
            result.AddDetail("byteOrder=", signal->GetByteOrder());
            return result;
        }
    }
    return Result{};
}

Result SerializeConfigValueChecker::CheckStructConfig(const SomeipSerializeConfig* node) {
    if (node == nullptr) {
        Result result;
        result.Fail(ResultCode::kConfigMissing, "empty_serialization_node_config");
        return result;
    }
    Result result = CheckWithoutType(node);
    if (!result.IsSuccess() || !node->IsTlvEnabled()) {
        return result;
    }
    std::bitset<SomeipSerializeConfig::kMaxDataId + 1U> seen;
    for (const auto& child : node->GetChildNodeConfigList()) {
        if (child == nullptr) {
            continue;  // reported by the member walk
        }
        const std::uint16_t id = child->GetDataId();
        if (id > SomeipSerializeConfig::kMaxDataId || seen.test(id)) {
            Result bad = InvalidValues();
            bad.AddDetail(id > SomeipSerializeConfig::kMaxDataId ? "dataIdOutOfRange=" : "duplicateDataId=",
                          id);
            return bad;
        }
        seen.set(id);
    }
    return result;
}

}  // namespace vrt::common
