// Process-local delivery: from Send on the event to LoadData on an in-process client, for a 20 kB
// CameraH265Image (one copy into the shared sample, no serialization).
#include <benchmark/benchmark.h>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/log/logging.h"
#include "com_test_support.h"
#include "impl_type_camerah265image.h"

namespace {

using ara::com::internal::skeleton::SkeletonAdapter;
using ara::com::internal::skeleton::event::EventAdapter;

void StoreToLoad(benchmark::State& state) {
    vrt::cm::test::ScopedManifest manifest(vrt::cm::test::Manifest(
        vrt::cm::test::EventEntry(35045, "CameraH265ImageEvent", vrt::cm::test::ProlocOnly())));
    const vrt::cm::type::ServiceIdentifierType service("/kestrova/ap/Service/instance/Visualization");
    SkeletonAdapter skeleton(service, ara::core::InstanceSpecifier("bench/port"),
                             vrt::cm::type::MethodCallProcessingMode::kEvent);
    EventAdapter<CameraH265Image> event(skeleton.GetSkeleton(), 35045, service,
                                        ara::core::InstanceSpecifier("bench/port"));
    if (!event.Initialize().HasValue()) {
        state.SkipWithError("event initialization failed");
        return;
    }
    skeleton.OfferService();
    auto memory = event.ProlocMemory();
    memory->EnableEventClient(1, 16, nullptr);
    CameraH265Image image;
    image.typeCode = 20;
    image.data.assign(static_cast<std::size_t>(state.range(0)), 0x5A);
    image.header.frameId = "vcu_camera_instance_71";

    for (auto _ : state) {
        event.Send(image);
        auto sample = memory->LoadData(1);
        benchmark::DoNotOptimize(sample->data.data());
        memory->ReturnLoan(1, reinterpret_cast<const unsigned char*>(sample.get()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(StoreToLoad)->Arg(20 * 1024)->Arg(150 * 1024)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    // Keep the middleware's per-event info lines out of the figures.
    ara::log::CreateLogger("CM", "Communication middleware", ara::log::LogLevel::kWarn);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
