#include "vrt/cm/serialize/dp_raw_data_object.h"

#include <utility>

#include "hal_buff/hal_buff.h"

namespace vrt::cm {

std::int32_t utils::DpAdapterHandler::MbufFree(Mbuf* mbuf) {
    return halMbufFree(mbuf);
}

namespace serialize {

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

void DpRawDataObjectBase::ReleaseData() {
    Mbuf* mbuf = std::exchange(mbuf_, nullptr);
    if (mbuf != nullptr && handler_ != nullptr) {
        handler_->MbufFree(mbuf);
    }
}

}  // namespace serialize
}  // namespace vrt::cm
