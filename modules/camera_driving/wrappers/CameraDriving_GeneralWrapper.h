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

// A perception port: sends one of the camera driving service instance's four perception events, from a
// data source whose sequence number runs (the first port) or stays fixed (the others). The first port
// creates the instance; the others share it.
template <PerceptionEvent CameraDrivingServiceSkeleton::*kEvent, bool kSequenceRuns>
class PerceptionPort
    : public PubWrapper<CameraDrivingServiceSkeleton, PerceptionEvent, perception::Cam2CamPerceptionStruct> {
  public:
    using DataWrapper = CamDrvPerception_PubDataWrapper<perception::Cam2CamPerceptionStruct, kSequenceRuns>;

    PerceptionPort(const std::string& instanceName, ara::log::Logger& logger)
        : PubWrapper<CameraDrivingServiceSkeleton, PerceptionEvent, perception::Cam2CamPerceptionStruct>(
              dataWrapper_, instanceName, logger) {}

    PerceptionEvent* GetEvent() override { return &((*this->skeleton_).*kEvent); }
    DataWrapper& GetDataWrapper() { return dataWrapper_; }

  private:
    DataWrapper dataWrapper_;
};

using CamDrv2CamDrvPerception_Provide =
    PerceptionPort<&CameraDrivingServiceSkeleton::Cam2CamPerceptionEvent1, true>;
using CamDrv2CamDrvPerceptionTwo_Provide =
    PerceptionPort<&CameraDrivingServiceSkeleton::Cam2CamPerceptionEvent2, false>;
using CamDrv2CamDrvPerceptionThree_Provide =
    PerceptionPort<&CameraDrivingServiceSkeleton::Cam2CamPerceptionEvent3, false>;
using CamDrv2CamDrvPerceptionFour_Provide =
    PerceptionPort<&CameraDrivingServiceSkeleton::Cam2CamPerceptionEvent4, false>;

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
