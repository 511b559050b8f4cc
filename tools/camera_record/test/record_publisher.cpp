// The publisher side of the recorder's process-level tests: publishes the four cameras' encoded test
// pattern on the visualization image event, the way the application does, from another process.
//
//   record_publisher <frames per camera> <gop> <fps> <width> <height> [--pause-after N MS]
//                    [--drop CAMERA FIRST LAST]
//
// Frame i of every camera carries frame code i and the key-frame flag of i % gop == 0; stamps are the
// real-time clock when the frame is sent. Waits up to 10 s for a subscriber first. --pause-after sends
// nothing for MS milliseconds after frame N (a publisher that falls silent and comes back); --drop leaves
// out frames FIRST to LAST of the camera with index CAMERA (a lossy link that costs one camera frames, with
// no gap in the event's sequence). Configuration
// from CM_CONFIG_FILE_PATH; RouDi must run. Exit status 0 when every frame was sent.
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "impl_type_camerah265image.h"
#include "record_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const vrt::cm::type::ServiceIdentifierType kService("/kestrova/ap/Service/instance/Visualization");
constexpr std::uint32_t kImageEvent = 35045;
constexpr int kCameras = 4;

int Number(const char* text) {
    return std::atoi(text);
}

// What the publisher does besides sending every frame in rhythm.
struct Deviations {
    int pauseAfter{-1};
    std::chrono::milliseconds pause{0};
    int dropCamera{-1};
    int dropFirst{0};
    int dropLast{-1};
};

bool ReadDeviations(int argc, char** argv, Deviations& deviations) {
    for (int i = 6; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--pause-after" && i + 2 < argc) {
            deviations.pauseAfter = Number(argv[i + 1]);
            deviations.pause = std::chrono::milliseconds(Number(argv[i + 2]));
            i += 2;
        } else if (option == "--drop" && i + 3 < argc) {
            deviations.dropCamera = Number(argv[i + 1]);
            deviations.dropFirst = Number(argv[i + 2]);
            deviations.dropLast = Number(argv[i + 3]);
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Deviations deviations;
    if (argc < 6 || !ReadDeviations(argc, argv, deviations)) {
        std::cerr << "usage: record_publisher <frames> <gop> <fps> <width> <height> [--pause-after N MS]\n"
                     "                        [--drop CAMERA FIRST LAST]\n";
        return 64;
    }
    const int frames = Number(argv[1]);
    const int gop = Number(argv[2]);
    const auto interval = std::chrono::microseconds(1000000 / Number(argv[3]));
    const int width = Number(argv[4]);
    const int height = Number(argv[5]);

    // Every camera the same pattern: the recorder must keep them apart by their camera index alone.
    const auto encoded =
        camera_record::test::EncodePattern(camera_record::VideoCodec::kH264, width, height, frames, gop);
    if (static_cast<int>(encoded.size()) != frames) {
        std::cout << "encoding failed" << std::endl;
        return 2;
    }

    ara::com::internal::skeleton::SkeletonAdapter skeleton(
        kService, ara::core::InstanceSpecifier("camera_drv/record_publisher"),
        vrt::cm::type::MethodCallProcessingMode::kEvent);
    ara::com::internal::skeleton::event::EventAdapter<CameraH265Image> event(
        skeleton.GetSkeleton(), kImageEvent, kService,
        ara::core::InstanceSpecifier("camera_drv/record_publisher"));
    if (!event.Initialize().HasValue()) {
        std::cout << "initialize failed" << std::endl;
        return 2;
    }
    skeleton.OfferService();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!event.HasRemoteSubscribers() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!event.HasRemoteSubscribers()) {
        std::cout << "no subscriber" << std::endl;
        return 2;
    }

    auto next = Clock::now();
    for (int i = 0; i < frames; ++i) {
        for (int camera = 0; camera < kCameras; ++camera) {
            if (camera == deviations.dropCamera && i >= deviations.dropFirst && i <= deviations.dropLast) {
                continue;
            }
            auto image = std::make_unique<CameraH265Image>();
            image->typeCode = 20;
            image->cameraId = static_cast<std::int8_t>(camera);
            image->data = encoded[static_cast<std::size_t>(i)].bytes;
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            image->header.sec = static_cast<std::int32_t>(now.tv_sec);
            image->header.nsec = static_cast<std::int32_t>(now.tv_nsec);
            image->header.frameId = "vcu_camera_instance_71";
            image->isKeyFrame = i % gop == 0;
            event.Send(std::move(image));
        }
        next += interval;
        if (i == deviations.pauseAfter) {
            std::cout << "pausing after frame " << i << std::endl;
            next += deviations.pause;
        }
        std::this_thread::sleep_until(next);
    }
    std::cout << "sent " << frames << " frames per camera" << std::endl;
    // Stays until the subscriber is gone, so that nothing it still reads is withdrawn.
    const auto lingerEnd = Clock::now() + std::chrono::seconds(30);
    while (event.HasRemoteSubscribers() && Clock::now() < lingerEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    skeleton.StopOfferService();
    return 0;
}
