#pragma once

#include <cstdint>
#include <string>
#include <tuple>

namespace vrt::cm::proloc {

// The key of one event's process-local memory. Ordered lexicographically by its four fields in order.
struct ProlocEntityIndex {
    std::uint16_t serviceId{65534};
    std::string instanceId{"65534"};
    std::uint32_t entityId{4294967294U};
    std::string vlan;

    friend bool operator<(const ProlocEntityIndex& lhs, const ProlocEntityIndex& rhs) {
        return std::tie(lhs.serviceId, lhs.instanceId, lhs.entityId, lhs.vlan) <
               std::tie(rhs.serviceId, rhs.instanceId, rhs.entityId, rhs.vlan);
    }
    friend bool operator==(const ProlocEntityIndex& lhs, const ProlocEntityIndex& rhs) {
        return std::tie(lhs.serviceId, lhs.instanceId, lhs.entityId, lhs.vlan) ==
               std::tie(rhs.serviceId, rhs.instanceId, rhs.entityId, rhs.vlan);
    }
    friend bool operator!=(const ProlocEntityIndex& lhs, const ProlocEntityIndex& rhs) {
        return !(lhs == rhs);
    }
};

}  // namespace vrt::cm::proloc
