#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <utility>

#include "ap-cm-wrapper/pub/PubWrapper"
#include "impl_type_camerah265image.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "vcu/visual/image.h"

// Data source of the visualization port: the encoded frame a camera worker stored last. The worker writes
// it with publishEncodedImage and publishes under the orchestrator's publishMutex, so GetData never reads
// it while it changes.
template <typename T>
class CamDrv2Visualization_PubDataWrapper : public PubDataWrapper<T> {
  public:
    // Copies the image (header and bytes) and keeps the camera index and key-frame flag for the next publish.
    void publishEncodedImage(vcu::visual::Image& image, unsigned char cameraIndex, bool isKeyFrame) {
        image_ = image;
        cameraIndex_ = cameraIndex;
        isKeyFrame_ = isKeyFrame;
    }
    // The same for an image the caller is done with: its bytes are taken over, not copied.
    void publishEncodedImage(vcu::visual::Image&& image, unsigned char cameraIndex, bool isKeyFrame) {
        image_ = std::move(image);
        cameraIndex_ = cameraIndex;
        isKeyFrame_ = isKeyFrame;
    }

    void GetData(std::unique_ptr<T>& sample) override {
        sample->cameraId = static_cast<std::int8_t>(cameraIndex_);
        sample->typeCode = 20;
        sample->header.sec = static_cast<std::int32_t>(image_.header.stamp.sec);
        sample->header.nsec = static_cast<std::int32_t>(image_.header.stamp.nsec);
        sample->header.frameId = image_.header.frameId;
        sample->data = image_.data;
        sample->isKeyFrame = isKeyFrame_;
        std::cout << "GetData" << std::endl;
    }

  private:
    vcu::visual::Image image_;
    std::uint8_t cameraIndex_{0};
    bool isKeyFrame_{false};
};

// The fields of a perception port's data source, in their order: the first port's running sequence number
// follows the type code, the other ports' fixed one precedes it.
template <bool kSequenceRuns>
struct PerceptionSourceFields {
    Mbuf* mbuf{nullptr};
    std::uint32_t typeCode{0};
    std::uint8_t seq{0};
};
template <>
struct PerceptionSourceFields<false> {
    Mbuf* mbuf{nullptr};
    std::uint8_t seq{0};
    std::uint32_t typeCode{0};
};

// Data source of a perception port. The first port's sequence number runs, one step per publish (wrapping
// from 255 to 0); the second to fourth ports send a fixed one.
template <typename T, bool kSequenceRuns>
class CamDrvPerception_PubDataWrapper : public PubDataWrapper<T> {
  public:
    void GetData(std::unique_ptr<T>& sample) override {
        sample->SetMbufPtr(fields_.mbuf);
        sample->seq = static_cast<std::int8_t>(fields_.seq);
        if constexpr (kSequenceRuns) {
            ++fields_.seq;
        }
        sample->typeCode = static_cast<std::int32_t>(fields_.typeCode);
    }

  private:
    PerceptionSourceFields<kSequenceRuns> fields_;
};

template <typename T>
using CamDrv2CamDrvPerception_PubDataWrapper = CamDrvPerception_PubDataWrapper<T, true>;
template <typename T>
using CamDrv2CamDrvPerceptionTwo_PubDataWrapper = CamDrvPerception_PubDataWrapper<T, false>;
template <typename T>
using CamDrv2CamDrvPerceptionThree_PubDataWrapper = CamDrvPerception_PubDataWrapper<T, false>;
template <typename T>
using CamDrv2CamDrvPerceptionFour_PubDataWrapper = CamDrvPerception_PubDataWrapper<T, false>;
