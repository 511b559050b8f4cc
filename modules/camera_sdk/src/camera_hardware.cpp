#include "camera_hardware.h"

#include <utility>

#include "ara/log/logging.h"

CameraHardware::CameraHardware(std::shared_ptr<CameraPool> pool, unsigned char firstCameraId)
    : logger(ara::log::CreateLogger("KRV_CAMERA", "Kestrova Camera Module", ara::log::LogLevel::kDebug)),
      running(false),
      getDataTimeout(1000),
      camStartId(firstCameraId),
      cameraPool(std::move(pool)) {}

CameraHardware::~CameraHardware() {
    if (readDataThread.joinable()) {
        stop();
    }
}

void CameraHardware::init(std::vector<vcu::camera::CameraAccessConfig>& configs) {
    vcu::VcuMbufSysInit();
    const int result = vcu::camera::CameraInit(configs);
    if (result != 0) {
        logger.LogFatal(ARA_LOG_HERE) << "Camera init failed";
        return;
    }
    logger.LogDebug(ARA_LOG_HERE) << "Camera init completed";
    started = true;
    running = true;
    readDataThread = std::thread(&CameraHardware::runCameras, this);
    logger.LogDebug(ARA_LOG_HERE) << "Camera read data thread created";
}

void CameraHardware::stop() {
    running = false;
    // Only the cameras this object started are stopped; the service's stop also ends the thread's wait.
    if (started.exchange(false)) {
        vcu::camera::CameraDeinit();
    }
    if (readDataThread.joinable()) {
        readDataThread.join();
    }
}

void CameraHardware::runCameras() {
    logger.LogDebug(ARA_LOG_HERE) << "Thread start running";
    while (running) {
        const size_t count = getCameraImagesArrayVector(cameraPool->images);
        logger.LogDebug(ARA_LOG_HERE) << "number of ready camera: " << static_cast<unsigned char>(count);
    }
}

unsigned char CameraHardware::getRawId(unsigned char id) {
    // With a first id of 0 the platform id already is the index.
    return camStartId == 0 ? id : static_cast<unsigned char>(id % camStartId);
}

size_t CameraHardware::getCameraImagesArrayVector(std::array<CameraImageResult, 4>& images) {
    logger.LogDebug(ARA_LOG_HERE) << "Attempt to getting camera IDs via CameraWaitEvents method. camStartId: "
                                  << static_cast<unsigned char>(camStartId);
    const std::vector<unsigned int> cameraIds = vcu::camera::CameraWaitEvents(-1);
    if (cameraIds.empty()) {
        // An empty list is expected while stopping: the service's stop ends the wait.
        if (running) {
            logger.LogError(ARA_LOG_HERE) << "No Camera Ready";
        }
        return 0;
    }
    for (const unsigned int id : cameraIds) {
        const unsigned char index = getRawId(static_cast<unsigned char>(id & 0xFFU));
        if (index >= images.size()) {
            logger.LogError(ARA_LOG_HERE)
                << "Camera " << id << " skipped: its index " << index << " is outside the frame pool";
            continue;
        }
        std::lock_guard<std::mutex> lock(cameraPool->mutexes[index]);
        CameraImageResult& image = images[index];
        const auto status = static_cast<unsigned char>(
            vcu::camera::CameraGetData(id, image.cameraDataVector, getDataTimeout));
        if (status != 0) {
            if (!running) {
                break;  // the service was stopped under this pass; the rest of the list is stale
            }
            logger.LogError(ARA_LOG_HERE) << "Camera" << id << "failed to get data with error " << status;
            continue;
        }
        image.cameraId = id;
        cameraPool->imageReady[index] = true;
        cameraPool->conditions[index].notify_one();
        logger.LogDebug(ARA_LOG_HERE) << "Camera " << id << " Image successfully pushed to the vector";
    }
    return cameraIds.size();
}

unsigned char CameraHardware::getCameraYUVBuffer(void** slot, unsigned long& size,
                                                 vcu::camera::CameraData& frame) {
    if (slot == nullptr) {
        return 1;
    }
    return frame.buffers[vcu::camera::CameraData::kPictureBuffer].GetBuffData(*slot, size) ? 0 : 1;
}
