#pragma once

namespace zem::ap::visualization {

// Service descriptor of the visualization service.
class Visualization {
  public:
    static constexpr const char* ServiceIdentifier = "/kestrova/ap/Service/instance/Visualization";
    static constexpr const char* ServiceVersion = "1.1";
};

// Declared by the service interface; this system never offers it.
class VisualizationSoCB {
  public:
    static constexpr const char* ServiceIdentifier = "/kestrova/ap/Service/instance/VisualizationSoCB";
    static constexpr const char* ServiceVersion = "1.1";
};

}  // namespace zem::ap::visualization
