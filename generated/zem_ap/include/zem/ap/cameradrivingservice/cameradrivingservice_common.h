#pragma once

namespace zem::ap::cameradrivingservice {

// Service descriptor of the camera driving service.
class CameraDrivingService {
  public:
    static constexpr const char* ServiceIdentifier = "/kestrova/ap/Service/instance/CameraDrivingService";
    static constexpr const char* ServiceVersion = "1.1";
};

}  // namespace zem::ap::cameradrivingservice
