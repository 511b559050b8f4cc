#include "camera_driving.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

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

void CameraDriving::prepare(boost::property_tree::ptree& configuration, std::shared_ptr<CameraPool> pool,
                            const std::vector<vcu::camera::CameraAccessConfig>& cameras) {
    // The preprocessor reads each frame as an NV12 picture of the configured input size: any other size
    // would give a sheared picture or a read past the frame.
    for (unsigned char index = 0; index < kCameraCount; ++index) {
        const std::string section = sectionName(index);
        const unsigned id = static_cast<unsigned>(index) + kFirstCameraId;
        const auto width = configuration.get<std::uint32_t>(section + ".inputImageWidth");
        const auto height = configuration.get<std::uint32_t>(section + ".inputImageHeight");
        for (const vcu::camera::CameraAccessConfig& camera : cameras) {
            if (camera.cameraId != static_cast<std::int32_t>(id) ||
                (static_cast<std::int64_t>(width) == camera.width &&
                 static_cast<std::int64_t>(height) == camera.height)) {
                continue;
            }
            const std::string problem = "camera " + std::to_string(id) + ": section [" + section +
                                        "] keys inputImageWidth and " + "inputImageHeight give " +
                                        std::to_string(width) + " x " + std::to_string(height) +
                                        ", but the camera delivers " + std::to_string(camera.width) + " x " +
                                        std::to_string(camera.height) + " frames";
            logger.LogError(ARA_LOG_HERE) << problem;
            throw CameraStartError(problem);
        }
    }

    config = configuration;
    counts.fill(FrameCounts{});
    generalWrapper = std::make_unique<GeneralWrapper>(logger);

    for (unsigned char index = 0; index < kCameraCount; ++index) {
        const std::string section = sectionName(index);
        const auto width = config.get<std::uint32_t>(section + ".outputImageWidth");
        const auto height = config.get<std::uint32_t>(section + ".outputImageHeight");
        mbufModules[index].init(true, 20, width * height * 3U);
    }

    std::lock_guard<std::mutex> lock(lifecycleMutex);
    cameraPool = std::move(pool);
    cameraHardware = std::make_unique<CameraHardware>(cameraPool, kFirstCameraId);
}

void CameraDriving::init(boost::property_tree::ptree& configuration) {
    prepare(configuration, std::make_shared<CameraPool>(), camera_configs);
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (stopping()) {
            return;
        }
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
    const int failed = failedCamera.load();
    if (failed >= 0) {
        throw CameraStartError("the preprocessor of camera " + std::to_string(failed + kFirstCameraId) +
                               " could not be set up (see the PRE log)");
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

bool CameraDriving::setUpCamera(CamPreprocess& preprocess, unsigned char index) {
    const unsigned id = static_cast<unsigned>(index) + kFirstCameraId;
    try {
        const int initResult = preprocess.init(config, kFirstCameraId);
        if (initResult != 0) {
            logger.LogError(ARA_LOG_HERE) << "camera " << id << ": preprocessor set-up failed with value 0x"
                                          << ara::log::HexFormat(initResult);
            return false;
        }
    } catch (const std::exception& error) {
        logger.LogError(ARA_LOG_HERE) << "camera " << id << ": preprocessor set-up refused: " << error.what();
        return false;
    }
    const unsigned char allocateResult = preprocess.allocateMemory();
    if (allocateResult != 0) {
        logger.LogError(ARA_LOG_HERE)
            << "camera " << id << ": preprocessor memory allocation failed with value 0x"
            << ara::log::HexFormat(allocateResult);
        return false;
    }
    return true;
}

void CameraDriving::threadsFunction(unsigned char index) {
    CamPreprocess preprocess(index);
    if (!setUpCamera(preprocess, index)) {
        // Like a camera that cannot be started: the whole process ends (init reports it).
        int none = -1;
        failedCamera.compare_exchange_strong(none, index);
        requestStop();
        return;
    }

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
            << "get YUV buffer failed in camera " << index << " with value 0x" << ara::log::HexFormat(result);
        dropFrame(index, "no YUV buffer");
    } else if (size < inputPictureBytes(preprocess)) {
        // The preprocessor reads a whole picture of its configured size from the frame.
        dropFrame(index, "its YUV buffer is smaller than the configured input picture");
    } else {
        preprocess.setFrameAuxiliaryInfo(newest.auxiliaryInfo);
        // The buffers and the encoder channel were made for the configured output size.
        const mpu_vpc_pic_info& output = preprocess.cropResize().dest_pic_info;
        preprocess.changeResizeSize(output.picture_width, output.picture_height);
        // A failed stage leaves the previous frame (or nothing) in the picture the encoder would read.
        if (preprocess.runPreprocessPipeline(false) != 0) {
            dropFrame(index, "a preprocessing stage failed");
        } else if (preprocess.runEncoderPipeline(&stream) != 0) {
            logger.LogError(ARA_LOG_HERE) << "encoder pipeline failed";
            dropFrame(index, "the encoder failed");
        } else if (!publishFrame(*stream, index, newest.auxiliaryInfo)) {
            dropFrame(index, "it could not be published");
        }
    }

    frames.clear();
    stream.reset();
}

void CameraDriving::dropFrame(unsigned char index, const char* reason) {
    ++counts[index].dropped;
    ++droppedSinceLog[index];
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDropLog[index] >= std::chrono::seconds(1)) {
        logger.LogWarn(ARA_LOG_HERE) << "camera " << static_cast<unsigned>(index) + kFirstCameraId
                                     << ": frame dropped (" << reason << "); " << droppedSinceLog[index]
                                     << " dropped since the last report, " << counts[index].dropped
                                     << " in all";
        droppedSinceLog[index] = 0;
        lastDropLog[index] = now;
    }
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

    // The encoder decides which frames are key frames (its GOP length is the camera's encoderGopNumber); a
    // frame it encoded but that was not published must not shift the flags.
    const bool isKeyFrame = pack.key_frame != 0;
    const std::size_t bytes = image.data.size();
    CamDrv2Visualization_Provide& port = generalWrapper->camDrv2Visualization;
    // The image is not used again: the data source takes its bytes over instead of copying them, so that
    // they are copied once more only, into the sample (and then serialized).
    port.GetDataWrapper().publishEncodedImage(std::move(image), index, isKeyFrame);
    port.Publish();
    ++counts[index].published;
    if (frameObserver != nullptr) {
        frameObserver->onFramePublished(index, frame, now, isKeyFrame, bytes);
    }
    logger.LogInfo(ARA_LOG_HERE) << "encoder pipeline completed successfully with id: " << index;
    return true;
}
