#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vrt/cm/serialize/vrt_object.h"
#include "vrt/cm/utils/dp_adapter_handler.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serializer.h"

struct Mbuf;

namespace vrt::cm::serialize {

// A sample that carries a shared-buffer block alongside its serialized fields. The fields go to the
// object's private data, not to the message buffer; the block travels by its handle. Once attached, the
// middleware owns the block: releasing the object's data frees it (at most once); destroying the object
// does not. Not thread-safe: one send path uses an object at a time.
class DpRawDataObjectBase {
  public:
    // Upper bound of the private data; a record that needs more does not belong on this path.
    static constexpr std::size_t kMaxPrivateDataSize = 64U * 1024U;

    explicit DpRawDataObjectBase(std::shared_ptr<utils::DpAdapterHandler> handler);
    virtual ~DpRawDataObjectBase() = default;
    DpRawDataObjectBase(const DpRawDataObjectBase&) = delete;
    DpRawDataObjectBase& operator=(const DpRawDataObjectBase&) = delete;

    static constexpr ObjectType GetObjectType() noexcept { return ObjectType::kRawData; }

    // Where `size` bytes of private data go. On success `destination` names them (the object's own storage,
    // sized to `size`); on failure the result says why and `destination` is null.
    virtual vrt::common::serialize::Result SerializePrivateData(std::size_t size, std::uint8_t*& destination);
    const std::vector<std::uint8_t>& GetPrivateData() const noexcept { return privateData_; }

    void AttachMbuf(Mbuf* mbuf) noexcept { mbuf_ = mbuf; }
    Mbuf* GetMbuf() const noexcept { return mbuf_; }

    // Frees the attached block, if any, and detaches it, so that a second release frees nothing.
    void ReleaseData();

  private:
    std::shared_ptr<utils::DpAdapterHandler> handler_;
    Mbuf* mbuf_{nullptr};
    std::vector<std::uint8_t> privateData_;
};

class DpRawDataObject : public DpRawDataObjectBase {
  public:
    using DpRawDataObjectBase::DpRawDataObjectBase;

    // The block goes with the message by its handle, so attaching it to the message has nothing to do.
    vrt::common::serialize::Result AttachToMessage() const { return {}; }
};

// The raw-data object of a record type with GetMbufPtr(): takes the record's block on construction.
template <typename T>
class AraDpRawDataObject : public DpRawDataObject {
  public:
    AraDpRawDataObject(const T& record, std::shared_ptr<utils::DpAdapterHandler> handler)
        : DpRawDataObject(std::move(handler)), record_(record) {
        AttachMbuf(record.GetMbufPtr());
    }

    // Serializes the fields into the private data, `size` (the payload size) being the limit. The message
    // buffer is left alone; a failure to get the private data is returned unchanged.
    vrt::common::serialize::Result Serialize(const vrt::common::Serializer<T>& serializer,
                                             std::uint8_t* /*messageBuffer*/, std::size_t size) {
        std::uint8_t* destination = nullptr;
        vrt::common::serialize::Result place = SerializePrivateData(size, destination);
        if (!place.IsSuccess()) {
            return place;
        }
        return serializer.Serialize(record_, destination, size);
    }

  private:
    const T& record_;
};

}  // namespace vrt::cm::serialize
