#pragma once

#include <string>

#include "CameraDriving_PubDataWrapper.h"
#include "ap-cm-wrapper/pub/PubWrapper"
#include "ara/log/logger.h"
#include "zem/ap/cameradrivingservice/cameradrivingservice_skeleton.h"
#include "zem/ap/visualization/visualization_skeleton.h"

using VisualizationSkeleton = zem::ap::visualization::skeleton::VisualizationSkeleton;
using CameraDrivingServiceSkeleton = zem::ap::cameradrivingservice::skeleton::CameraDrivingServiceSkeleton;
using PerceptionEvent =
    ara::com::internal::skeleton::event::EventAdapter<perception::Cam2CamPerceptionStruct>;

// The visualization port: sends CameraH265ImageEvent of the visualization instance it creates.
class CamDrv2Visualization_Provide
    : public PubWrapper<VisualizationSkeleton,
                        ara::com::internal::skeleton::event::EventAdapter<CameraH265Image>, CameraH265Image> {
  public:
    CamDrv2Visualization_Provide(const std::string& instanceName, ara::log::Logger& logger)
        : PubWrapper(dataWrapper_, instanceName, logger) {}

    ara::com::internal::skeleton::event::EventAdapter<CameraH265Image>* GetEvent() override {
        return &skeleton_->CameraH265ImageEvent;
    }
    CamDrv2Visualization_PubDataWrapper<CameraH265Image>& GetDataWrapper() { return dataWrapper_; }

  private:
    CamDrv2Visualization_PubDataWrapper<CameraH265Image> dataWrapper_;
};

// The first perception port: creates the camera driving service instance and sends its first event.
class CamDrv2CamDrvPerception_Provide
    : public PubWrapper<CameraDrivingServiceSkeleton, PerceptionEvent, perception::Cam2CamPerceptionStruct> {
  public:
    CamDrv2CamDrvPerception_Provide(const std::string& instanceName, ara::log::Logger& logger)
        : PubWrapper(dataWrapper_, instanceName, logger) {}

    PerceptionEvent* GetEvent() override { return &skeleton_->Cam2CamPerceptionEvent1; }
    CamDrv2CamDrvPerception_PubDataWrapper<perception::Cam2CamPerceptionStruct>& GetDataWrapper() {
        return dataWrapper_;
    }

  private:
    CamDrv2CamDrvPerception_PubDataWrapper<perception::Cam2CamPerceptionStruct> dataWrapper_;
};

// The second to fourth perception ports share the first one's instance, each sending its own event.
class CamDrv2CamDrvPerceptionTwo_Provide
    : public PubWrapper<CameraDrivingServiceSkeleton, PerceptionEvent, perception::Cam2CamPerceptionStruct> {
  public:
    CamDrv2CamDrvPerceptionTwo_Provide(const std::string& instanceName, ara::log::Logger& logger)
        : PubWrapper(dataWrapper_, instanceName, logger) {}

    PerceptionEvent* GetEvent() override { return &skeleton_->Cam2CamPerceptionEvent2; }
    CamDrv2CamDrvPerceptionTwo_PubDataWrapper<perception::Cam2CamPerceptionStruct>& GetDataWrapper() {
        return dataWrapper_;
    }

  private:
    CamDrv2CamDrvPerceptionTwo_PubDataWrapper<perception::Cam2CamPerceptionStruct> dataWrapper_;
};

class CamDrv2CamDrvPerceptionThree_Provide
    : public PubWrapper<CameraDrivingServiceSkeleton, PerceptionEvent, perception::Cam2CamPerceptionStruct> {
  public:
    CamDrv2CamDrvPerceptionThree_Provide(const std::string& instanceName, ara::log::Logger& logger)
        : PubWrapper(dataWrapper_, instanceName, logger) {}

    PerceptionEvent* GetEvent() override { return &skeleton_->Cam2CamPerceptionEvent3; }
    CamDrv2CamDrvPerceptionThree_PubDataWrapper<perception::Cam2CamPerceptionStruct>& GetDataWrapper() {
        return dataWrapper_;
    }

  private:
    CamDrv2CamDrvPerceptionThree_PubDataWrapper<perception::Cam2CamPerceptionStruct> dataWrapper_;
};

class CamDrv2CamDrvPerceptionFour_Provide
    : public PubWrapper<CameraDrivingServiceSkeleton, PerceptionEvent, perception::Cam2CamPerceptionStruct> {
  public:
    CamDrv2CamDrvPerceptionFour_Provide(const std::string& instanceName, ara::log::Logger& logger)
        : PubWrapper(dataWrapper_, instanceName, logger) {}

    PerceptionEvent* GetEvent() override { return &skeleton_->Cam2CamPerceptionEvent4; }
    CamDrv2CamDrvPerceptionFour_PubDataWrapper<perception::Cam2CamPerceptionStruct>& GetDataWrapper() {
        return dataWrapper_;
    }

  private:
    CamDrv2CamDrvPerceptionFour_PubDataWrapper<perception::Cam2CamPerceptionStruct> dataWrapper_;
};

// Owns the five provided ports. When the constructor returns, the visualization instance and the camera
// driving service instance are offered; an exception from the middleware leaves it after the ports built
// so far are destroyed (and their offers stopped). Built on one thread before any port is used.
class GeneralWrapper {
  public:
    explicit GeneralWrapper(ara::log::Logger& logger);
    ~GeneralWrapper() = default;
    GeneralWrapper(const GeneralWrapper&) = delete;
    GeneralWrapper& operator=(const GeneralWrapper&) = delete;

    CamDrv2Visualization_Provide camDrv2Visualization;
    CamDrv2CamDrvPerception_Provide camDrv2CamDrvPerception;
    CamDrv2CamDrvPerceptionTwo_Provide camDrv2CamDrvPerceptionTwo;
    CamDrv2CamDrvPerceptionThree_Provide camDrv2CamDrvPerceptionThree;
    CamDrv2CamDrvPerceptionFour_Provide camDrv2CamDrvPerceptionFour;
};
