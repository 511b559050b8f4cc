#pragma once

#include <cstddef>
#include <cstdint>

#include "vrt/common/serialize/result.h"
#include "vrt/common/serializer.h"

namespace vrt::cm::serialize {

enum class ObjectType : std::uint8_t {
    kVrtObject = 1,  // fields only
    kRawData = 2,    // fields plus a shared-buffer block
};

// A sample on its way through the middleware's send path: serialization writes its fields into the
// message buffer; releasing its data does nothing. Refers to the record, which must outlive it.
template <typename T>
class VrtObject {
  public:
    explicit VrtObject(const T& record) : record_(record) {}

    static constexpr ObjectType GetObjectType() noexcept { return ObjectType::kVrtObject; }

    vrt::common::serialize::Result Serialize(const vrt::common::Serializer<T>& serializer,
                                             std::uint8_t* buffer, std::size_t size) const {
        return serializer.Serialize(record_, buffer, size);
    }
    void ReleaseData() noexcept {}

  private:
    const T& record_;
};

}  // namespace vrt::cm::serialize
