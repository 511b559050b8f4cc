#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "vrt/common/serialize/type_traits.h"
#include "vrt/common/serialize_config.h"

namespace vrt::common {

// Builds the SOME/IP configuration tree of record type T with every node holding `values`, the members of
// each struct numbered 0, 1, 2, ... as their TLV data ids. What a deployment with one setting for the whole
// event amounts to.
template <typename T>
std::shared_ptr<SomeipSerializeConfig> MakeUniformSomeipConfig(const SerializeConfig& values);

namespace detail {

template <typename U>
std::shared_ptr<SomeipSerializeConfig> MakeUniformNode(const SerializeConfig& values, std::uint16_t dataId);

template <typename T>
class UniformMembers {
  public:
    UniformMembers(SomeipSerializeConfig& node, const SerializeConfig& values)
        : node_(node), values_(values) {}

    template <typename U>
    void operator()(const U&) {
        node_.AddChildNodeConfig(MakeUniformNode<U>(values_, next_++));
    }

  private:
    SomeipSerializeConfig& node_;
    const SerializeConfig& values_;
    std::uint16_t next_{0};
};

template <typename U>
std::shared_ptr<SomeipSerializeConfig> MakeUniformNode(const SerializeConfig& values, std::uint16_t dataId) {
    auto node = std::make_shared<SomeipSerializeConfig>(values);
    node->SetDataId(dataId);
    if constexpr (serialize::IsStruct<U>::value) {
        const U probe{};
        UniformMembers<U> members(*node, values);
        probe.enumerate(members);
    } else if constexpr (serialize::IsVector<U>::value) {
        node->AddChildNodeConfig(MakeUniformNode<typename U::value_type>(values, 0));
    }
    return node;
}

}  // namespace detail

template <typename T>
std::shared_ptr<SomeipSerializeConfig> MakeUniformSomeipConfig(const SerializeConfig& values) {
    return detail::MakeUniformNode<T>(values, values.GetDataId());
}

}  // namespace vrt::common
