#include "vrt/cm/serialize/dp_raw_data_object.h"

#include <utility>

#include "hal_buff/hal_buff.h"

namespace vrt::cm {

std::int32_t utils::DpAdapterHandler::MbufFree(Mbuf* mbuf) {
    return halMbufFree(mbuf);
}

namespace serialize {

// The attached block, shared by its object and the shares of the object's data. Whoever drops the last
// reference frees the block, provided the object released its data first.
class DpRawDataObjectBase::AttachedBlock {
  public:
    AttachedBlock(Mbuf* mbuf, std::shared_ptr<utils::DpAdapterHandler> handler) noexcept
        : mbuf_(mbuf), handler_(std::move(handler)) {}
    ~AttachedBlock() {
        // The release happens before the last reference goes; the reference count orders the two.
        if (released_ && handler_ != nullptr) {
            handler_->MbufFree(mbuf_);
        }
    }
    AttachedBlock(const AttachedBlock&) = delete;
    AttachedBlock& operator=(const AttachedBlock&) = delete;

    Mbuf* Get() const noexcept { return mbuf_; }
    void MarkReleased() noexcept { released_ = true; }

  private:
    Mbuf* mbuf_;
    std::shared_ptr<utils::DpAdapterHandler> handler_;
    bool released_{false};
};

DpRawDataObjectBase::DpRawDataObjectBase(std::shared_ptr<utils::DpAdapterHandler> handler)
    : handler_(std::move(handler)) {}

vrt::common::serialize::Result DpRawDataObjectBase::SerializePrivateData(std::size_t size,
                                                                         std::uint8_t*& destination) {
    destination = nullptr;
    vrt::common::serialize::Result result;
    if (size > kMaxPrivateDataSize) {
        result.SetCode(vrt::common::serialize::ResultCode::kSerializeFailed);
        result.SetMessage("Private data too large");
        result.AddDetail("size=", size);
        return result;
    }
    // One extra byte keeps the address valid for a record of size 0.
    privateData_.assign(size + 1U, 0);
    privateData_.resize(size);
    destination = privateData_.data();
    return result;
}

void DpRawDataObjectBase::AttachMbuf(Mbuf* mbuf) {
    block_ = mbuf == nullptr ? nullptr : std::make_shared<AttachedBlock>(mbuf, handler_);
}

Mbuf* DpRawDataObjectBase::GetMbuf() const noexcept {
    return block_ == nullptr ? nullptr : block_->Get();
}

std::shared_ptr<const void> DpRawDataObjectBase::ShareData() const noexcept {
    return block_;
}

void DpRawDataObjectBase::ReleaseData() noexcept {
    if (block_ != nullptr) {
        block_->MarkReleased();
        block_.reset();
    }
}

}  // namespace serialize
}  // namespace vrt::cm
