#pragma once

#include <cstdint>
#include <iostream>
#include <memory>

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

// Data source of the first perception port: its sequence number runs, one step per publish.
template <typename T>
class CamDrv2CamDrvPerception_PubDataWrapper : public PubDataWrapper<T> {
  public:
    void GetData(std::unique_ptr<T>& sample) override {
        sample->SetMbufPtr(mbuf_);
        sample->seq = static_cast<std::int8_t>(seq_);
        ++seq_;  // wraps from 255 to 0
        sample->typeCode = static_cast<std::int32_t>(typeCode_);
    }

  private:
    Mbuf* mbuf_{nullptr};
    std::uint32_t typeCode_{0};
    std::uint8_t seq_{0};
};

// Data source of the second to fourth perception ports: a fixed sequence number.
template <typename T>
class CamDrv2CamDrvPerceptionFixedSeq_PubDataWrapper : public PubDataWrapper<T> {
  public:
    void GetData(std::unique_ptr<T>& sample) override {
        sample->SetMbufPtr(mbuf_);
        sample->seq = static_cast<std::int8_t>(seq_);
        sample->typeCode = static_cast<std::int32_t>(typeCode_);
    }

  private:
    Mbuf* mbuf_{nullptr};
    std::uint8_t seq_{0};
    std::uint32_t typeCode_{0};
};

template <typename T>
class CamDrv2CamDrvPerceptionTwo_PubDataWrapper : public CamDrv2CamDrvPerceptionFixedSeq_PubDataWrapper<T> {};
template <typename T>
class CamDrv2CamDrvPerceptionThree_PubDataWrapper : public CamDrv2CamDrvPerceptionFixedSeq_PubDataWrapper<T> {
};
template <typename T>
class CamDrv2CamDrvPerceptionFour_PubDataWrapper : public CamDrv2CamDrvPerceptionFixedSeq_PubDataWrapper<T> {
};
