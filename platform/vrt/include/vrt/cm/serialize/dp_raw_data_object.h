#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "vrt/cm/serialize/data_container.h"
#include "vrt/cm/serialize/vrt_object.h"
#include "vrt/cm/utils/dp_adapter_handler.h"
#include "vrt/common/serialize/result.h"
#include "vrt/common/serializer.h"

struct Mbuf;

namespace vrt::cm::serialize {

// Whether records of type T carry a shared-buffer block (a `Mbuf* GetMbufPtr() const`), and so travel as
// raw-data objects.
template <typename T, typename = void>
struct CarriesMbuf : std::false_type {};
template <typename T>
struct CarriesMbuf<T, std::void_t<decltype(std::declval<const T&>().GetMbufPtr())>>
    : std::is_same<decltype(std::declval<const T&>().GetMbufPtr()), Mbuf*> {};
template <typename T>
inline constexpr bool kCarriesMbuf = CarriesMbuf<T>::value;

// A sample that carries a shared-buffer block alongside its serialized fields. The fields go to the
// object's private data, not to the message buffer; the block travels by its handle.
//
// Once attached, the middleware owns the block: releasing the object's data frees it, at most once, and
// destroying the object never does. Shares of the data (ShareData) hold the free back: a block released
// while a share lives is freed when the last share goes, on the thread that drops it. The handler reports
// the free's status. Not thread-safe, except that shares may be dropped on any thread.
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

    // Attaches `mbuf` (null detaches) in place of the block attached before, which is detached unfreed.
    void AttachMbuf(Mbuf* mbuf);
    Mbuf* GetMbuf() const noexcept;

    // A share of the attached block that keeps it from being freed while it lives; null without a block.
    // Taking a share transfers nothing: without ReleaseData the block is never freed.
    std::shared_ptr<const void> ShareData() const noexcept;

    // Frees the attached block, if any (or leaves that to the last outstanding share), and detaches it, so
    // that a second release frees nothing.
    void ReleaseData() noexcept;

  private:
    class AttachedBlock;

    std::shared_ptr<utils::DpAdapterHandler> handler_;
    std::shared_ptr<AttachedBlock> block_;
    std::vector<std::uint8_t> privateData_;
};

class DpRawDataObject : public DpRawDataObjectBase {
  public:
    using DpRawDataObjectBase::DpRawDataObjectBase;

    // The block goes with the message by its handle, so attaching it to the message has nothing to do.
    vrt::common::serialize::Result AttachToMessage() const { return {}; }
};

// The raw-data object of a record type with GetMbufPtr(): takes the record's block on construction. Refers
// to the record, which must outlive it, and to the event's data container, if any.
template <typename T>
class AraDpRawDataObject : public DpRawDataObject {
  public:
    AraDpRawDataObject(const T& record, std::shared_ptr<utils::DpAdapterHandler> handler,
                       DataContainer<T>* container = nullptr)
        : DpRawDataObject(std::move(handler)), record_(record), container_(container) {
        AttachMbuf(record.GetMbufPtr());
    }

    DataContainer<T>* GetDataContainer() const noexcept { return container_; }

    // Hands one shared copy of the record to the data container. The copy holds a share of the block, so
    // the block outlives every receiver's reference to the copy. Returns the copy's address, or null when
    // there is no container or nobody took the copy.
    const T* StoreToContainer() const {
        if (container_ == nullptr) {
            return nullptr;
        }
        struct SharedRecord {
            T record;
            std::shared_ptr<const void> block;
        };
        auto shared = std::make_shared<SharedRecord>(SharedRecord{record_, ShareData()});
        T* record = &shared->record;
        return container_->StoreData(std::shared_ptr<T>(std::move(shared), record));
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
    DataContainer<T>* container_;
};

}  // namespace vrt::cm::serialize
