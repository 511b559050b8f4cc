#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vrt/cm/serialize/data_container.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serializer.h"

namespace vrt::cm::serialize {

enum class ObjectType : std::uint8_t {
    kVrtObject = 1,  // fields only
    kRawData = 2,    // fields plus a shared-buffer block
};

// A sample on its way through the middleware's send path: serialization writes its fields into the
// message buffer; releasing its data does nothing. Refers to the record, which must outlive it, and to the
// event's data container, if any. Not thread-safe: one send uses an object at a time.
template <typename T>
class VrtObject {
  public:
    explicit VrtObject(const T& record, DataContainer<T>* container = nullptr)
        : record_(record), container_(container) {}

    static constexpr ObjectType GetObjectType() noexcept { return ObjectType::kVrtObject; }

    DataContainer<T>* GetDataContainer() const noexcept { return container_; }

    // Hands one shared copy of the record to the data container. Its address, or null when there is no
    // container or nobody took the copy (then none is made).
    const T* StoreToContainer() const {
        return container_ == nullptr || !container_->TakesData()
                   ? nullptr
                   : container_->StoreData(std::make_shared<T>(record_));
    }

    vrt::common::serialize::Result Serialize(const vrt::common::Serializer<T>& serializer,
                                             std::uint8_t* buffer, std::size_t size) const {
        return serializer.Serialize(record_, buffer, size);
    }
    void ReleaseData() noexcept {}

  private:
    const T& record_;
    DataContainer<T>* container_;
};

}  // namespace vrt::cm::serialize
