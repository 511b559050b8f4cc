#pragma once

// The printed result: a table of every figure, the goals, and the one line for scripts.

#include <string>

#include "comparison.h"
#include "path_figures.h"
#include "system_run.h"

namespace camera_bench {

struct SystemPart {
    bool measured{false};  // figures.ok
    std::string status;    // why there are no figures, or notes on how they were taken
    std::string rouDi;     // which RouDi the run used
    SystemFigures figures;
};

// The figures of the last line; NaN for what was not measured.
struct Summary {
    double publishedPercent{0};
    double p50Ms{0};
    double p99Ms{0};
    double cpuPercent{0};
    double rssMb{0};  // peak
    double vsFfmpeg{0};
    double productCpuMs{0};  // the application's CPU per published frame (every thread but vcam_<id>)
    double x264FloorMs{0};   // x264 alone per frame on the same pictures, at the former settings
    double ratio{0};         // productCpuMs / x264FloorMs
    double psnrDb{0};        // our stream against the exact output
};

Summary summarize(const SystemPart& system, const ComparisonFigures& comparison, const PathFigures& path);

// "camera_bench: published_pct=… p50_ms=… p99_ms=… cpu_pct=… rss_mb=… vs_ffmpeg=… product_cpu_ms=…
// x264_floor_ms=… ratio=… psnr_db=…"
std::string summaryLine(const Summary& summary);

void printReport(const SystemPart& system, const ComparisonFigures& comparison, const PathFigures& path,
                 const Summary& summary);

}  // namespace camera_bench
