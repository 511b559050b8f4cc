#include "CameraDriving_GeneralWrapper.h"

GeneralWrapper::GeneralWrapper(ara::log::Logger& logger)
    : camDrv2Visualization("camera_drv/camera_drv/CamDrv2VisualizationPPort", logger),
      camDrv2CamDrvPerception("camera_drv/camera_drv/CamDrv2CamDrvPerceptionPPort", logger),
      camDrv2CamDrvPerceptionTwo("camera_drv/camera_drv/CamDrv2CamDrvPerceptionTwoPPort", logger),
      camDrv2CamDrvPerceptionThree("camera_drv/camera_drv/CamDrv2CamDrvPerceptionThreePPort", logger),
      camDrv2CamDrvPerceptionFour("camera_drv/camera_drv/CamDrv2CamDrvPerceptionFourPPort", logger) {
    camDrv2Visualization.Init(false);
    camDrv2CamDrvPerception.Init(false);
    camDrv2CamDrvPerceptionTwo.Init(camDrv2CamDrvPerception.GetSkeleton(), false);
    camDrv2CamDrvPerceptionThree.Init(camDrv2CamDrvPerception.GetSkeleton(), false);
    camDrv2CamDrvPerceptionFour.Init(camDrv2CamDrvPerception.GetSkeleton(), false);
}
