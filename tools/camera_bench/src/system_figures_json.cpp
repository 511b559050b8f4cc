// The four-camera run's figures as JSON, the form in which a measuring child hands them to its parent.
#include <limits>
#include <nlohmann/json.hpp>

#include "system_run.h"

// In the types' own namespace, where the JSON library looks for them.
namespace camera_tools {

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Distribution, count, min, mean, p50, p90, p99, p999, max)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(MemoryBreakdown, anonymous, file, shared, highWater)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(ContextSwitches, voluntary, involuntary)

}  // namespace camera_tools

namespace camera_bench {

namespace {

// NaN (a figure that could not be measured) has no JSON form: it is written as null and read back as NaN.
void nullToNan(nlohmann::json& value) {
    if (value.is_null()) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else if (value.is_structured()) {
        for (nlohmann::json& element : value) {
            nullToNan(element);
        }
    }
}

}  // namespace

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(CameraFigures, captured, delivered, droppedNoBuffer, droppedOverrun,
                                   sourceErrors, published, keyFrames, bytes, p50Ms, p99Ms, maxMs)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(ThreadFigures, name, role, tid, corePercent)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(SystemFigures, ok, error, warmupSeconds, windowSeconds, cpuCount, cameras,
                                   captured, published, publishedPercent, due, publishedOfDuePercent,
                                   unrecorded, latencyMs, keyFrameLatencyMs, otherFrameLatencyMs,
                                   sliceSeconds, sliceP99Ms, sliceSkipped, sliceOtherLoadPercent, cpuPercent,
                                   userPercent, systemPercent, otherLoadPercent, stealPercent,
                                   processCpuSeconds, captureCpuSeconds, applicationSwitches, stageCpuSeconds,
                                   stageRuns, captureCorePercent, workerCorePercent, otherCorePercent,
                                   threads, threadsSeen, rssStartMb, rssPeakMb, rssEndMb, memoryEnd)

std::string systemFiguresToJson(const SystemFigures& figures) {
    return nlohmann::json(figures).dump();
}

BenchResult<SystemFigures> systemFiguresFromJson(const std::string& text) {
    using Read = BenchResult<SystemFigures>;
    try {
        nlohmann::json parsed = nlohmann::json::parse(text);
        nullToNan(parsed);
        return Read::FromValue(parsed.get<SystemFigures>());
    } catch (const nlohmann::json::exception& failure) {
        return Read::FromError({BenchErrc::kFormat, failure.what()});
    }
}

}  // namespace camera_bench
