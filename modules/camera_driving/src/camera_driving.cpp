#include "camera_driving.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "ara/log/logging.h"
#include "camera_configs.h"
#include "vcu/os/clock.h"
#include "vcu/visual/image.h"

namespace {

std::int64_t steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string sectionName(unsigned char index) {
    return "cam_" + std::to_string(static_cast<unsigned>(index) + CameraDriving::kFirstCameraId);
}

// Bytes of an NV12 picture of the preprocessor's input size, which the camera frame must hold.
std::uint64_t inputPictureBytes(const CamPreprocess& preprocess) {
    const mpu_vpc_pic_info& input = preprocess.inputPicture();
    return std::uint64_t{input.picture_width_stride} * input.picture_height_stride * 3 / 2;
}

}  // namespace

Timer::Timer(const std::string& timerName, float* elapsedMs)
    : name(timerName), startUs(0), endUs(0), result(elapsedMs) {
    startUs = steadyMicroseconds();
}

Timer::~Timer() {
    endUs = steadyMicroseconds();
    const auto elapsedUs = static_cast<std::uint64_t>(endUs - startUs);
    if (result != nullptr) {
        *result = static_cast<float>(elapsedUs) / 1000.0F;
    }
}

CameraDriving::CameraDriving()
    : logger(ara::log::CreateLogger("C_D", "Kestrova Camera Driving Module", ara::log::LogLevel::kDebug)) {}

CameraDriving::~CameraDriving() {
    // init joins the workers; this covers an init left by an exception after they started.
    requestStop();
    for (auto& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    cameraHardware.reset();
    for (auto thread = threads.rbegin(); thread != threads.rend(); ++thread) {
        *thread = std::thread();
    }
    cameraPool.reset();
    config.clear();
}

void CameraDriving::init(boost::property_tree::ptree& configuration) {
    config = configuration;
    frameCounters.fill(0);

    generalWrapper = std::make_unique<GeneralWrapper>(logger);

    for (unsigned char index = 0; index < kCameraCount; ++index) {
        const std::string section = sectionName(index);
        const auto width = config.get<std::uint32_t>(section + ".outputImageWidth");
        const auto height = config.get<std::uint32_t>(section + ".outputImageHeight");
        mbufModules[index].init(true, 20, width * height * 3U);
    }

    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (stopping()) {
            return;
        }
        cameraPool = std::make_shared<CameraPool>();
        cameraHardware = std::make_unique<CameraHardware>(cameraPool, kFirstCameraId);
        cameraHardware->init(camera_configs);
        if (!cameraHardware->isStarted()) {
            throw CameraStartError("the cameras could not be started (see the KRV_CAMERA log)");
        }
    }

    for (unsigned char index = 0; index < kCameraCount; ++index) {
        threads[index] = std::thread(&CameraDriving::threadsFunction, this, index);
        if (index == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

void CameraDriving::requestStop() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    stopRequested.store(true, std::memory_order_release);
    if (cameraPool) {
        for (unsigned char index = 0; index < kCameraCount; ++index) {
            // Taking the camera's lock orders the flag before the worker's next look at it.
            { std::lock_guard<std::mutex> cameraLock(cameraPool->mutexes[index]); }
            cameraPool->conditions[index].notify_all();
        }
    }
    if (cameraHardware) {
        cameraHardware->stop();
    }
}

void CameraDriving::threadsFunction(unsigned char index) {
    const std::string section = sectionName(index);
    gopNumbers[index] = config.get<std::uint32_t>(section + ".encoderGopNumber");

    CamPreprocess preprocess(index);
    preprocess.init(config, kFirstCameraId);
    preprocess.allocateMemory();

    const std::string timerName = "test" + std::to_string(static_cast<unsigned>(index));
    CameraPool& pool = *cameraPool;
    while (!stopping()) {
        float elapsed = 0.0F;
        {
            Timer timer(timerName, &elapsed);
            std::unique_lock<std::mutex> lock(pool.mutexes[index]);
            pool.conditions[index].wait(lock, [&] { return pool.imageReady[index] || stopping(); });
            if (!pool.imageReady[index]) {
                break;
            }
            runPipelines(preprocess, index);
            pool.imageReady[index] = false;
            lock.unlock();
        }
        logger.LogDebug(ARA_LOG_HERE) << "Runtime " << timerName << ": " << elapsed << " milliseconds.";
    }
}

void CameraDriving::runPipelines(CamPreprocess& preprocess, unsigned char index) {
    std::vector<vcu::camera::CameraData>& frames = cameraPool->images[index].cameraDataVector;
    if (frames.empty()) {
        // The acquisition stores at least one frame before it sets the flag; nothing to process otherwise.
        logger.LogWarn(ARA_LOG_HERE) << "woken without a frame in camera " << index;
        return;
    }
    vcu::camera::CameraData& newest = frames.back();

    std::shared_ptr<mpu_venc_stream> stream;
    unsigned long size = 0;
    const unsigned char result =
        cameraHardware->getCameraYUVBuffer(preprocess.getInputAddress(), size, newest);
    if (result != 0) {
        logger.LogError(ARA_LOG_HERE)
            << "get YUV buffer failed in camera " << index << " with value 0x" << result;
    } else if (size < inputPictureBytes(preprocess)) {
        // The preprocessor reads a whole picture of its configured size from the frame.
        logger.LogError(ARA_LOG_HERE)
            << "frame of camera " << index << " dropped: its YUV buffer holds " << size
            << " bytes, the configured input picture needs " << inputPictureBytes(preprocess);
    } else {
        preprocess.setFrameAuxiliaryInfo(newest.auxiliaryInfo);
        preprocess.changeResizeSize(1280, 720);
        preprocess.runPreprocessPipeline(false);
        if (preprocess.runEncoderPipeline(&stream) != 0) {
            logger.LogError(ARA_LOG_HERE) << "encoder pipeline failed";
        } else {
            publishFrame(*stream, index, newest.auxiliaryInfo);
        }
    }

    frames.clear();
    stream.reset();
}

bool CameraDriving::publishFrame(const mpu_venc_stream& stream, unsigned char index,
                                 const vcu::camera::CameraAuxiliaryInfo& frame) {
    std::lock_guard<std::mutex> lock(publishMutex);
    timespec now{};
    if (vcu::os::ClockGetTime(vcu::os::kPlatformClock, &now) != 0) {
        logger.LogError(ARA_LOG_HERE) << "platform clock read failed: " << std::strerror(errno)
                                      << "; frame of camera " << index << " not published";
        return false;
    }

    vcu::visual::Image image;
    const mpu_venc_pack& pack = stream.pack[0];
    image.data.assign(pack.addr + pack.offset, pack.addr + pack.len);
    image.header.frameId = "vcu_camera_instance_71";
    image.header.stamp.sec = static_cast<std::uint32_t>(now.tv_sec);
    image.header.stamp.nsec = static_cast<std::uint32_t>(now.tv_nsec);

    std::uint32_t& counter = frameCounters[index];
    const std::uint32_t gop = gopNumbers[index];
    // A GOP of 0 flags only the first frame: the counter leaves 0 after it and never comes back.
    const bool isKeyFrame = gop == 0 ? counter == 0 : counter % gop == 0;
    if (counter == gop) {
        counter = 0;
    }
    CamDrv2Visualization_Provide& port = generalWrapper->camDrv2Visualization;
    port.GetDataWrapper().publishEncodedImage(image, index, isKeyFrame);
    port.Publish();
    ++counter;
    if (frameObserver != nullptr) {
        frameObserver->onFramePublished(index, frame, now, isKeyFrame, image.data.size());
    }
    logger.LogInfo(ARA_LOG_HERE) << "encoder pipeline completed successfully with id: " << index;
    return true;
}
