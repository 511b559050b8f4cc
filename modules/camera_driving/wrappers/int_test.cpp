#include "int_test.h"

#include <chrono>
#include <thread>

#include "CameraDriving_GeneralWrapper.h"
#include "ara/log/logging.h"

void setup_test() {
    ara::log::InitLogging("Camera", "driving_TEST", ara::log::LogLevel::kVerbose,
                          ara::log::LogMode::kConsole | ara::log::LogMode::kRemote, "");
    ara::log::Logger& logger =
        ara::log::CreateLogger("main", "camera driving sample context", ara::log::LogLevel::kVerbose);
    logger.LogInfo(ARA_LOG_HERE) << "Let's produce some camera data...";
    GeneralWrapper wrapper(logger);
    while (true) {
        wrapper.camDrv2Visualization.Publish();
        wrapper.camDrv2CamDrvPerception.Publish();
        wrapper.camDrv2CamDrvPerceptionTwo.Publish();
        wrapper.camDrv2CamDrvPerceptionThree.Publish();
        wrapper.camDrv2CamDrvPerceptionFour.Publish();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}
