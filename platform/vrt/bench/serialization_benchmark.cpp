// Throughput of encoding and decoding one CameraH265Image against a plain memcpy of the same bytes, and the
// heap allocations each call makes (the "allocs" counter; expected 0 once the target vectors have grown).

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "impl_type_camerah265image.h"
#include "vrt/common/deserializer.h"
#include "vrt/common/serializer.h"
#include "vrt/common/someip_config_builder.h"

namespace {
std::atomic<std::uint64_t> gAllocations{0};
}  // namespace

// Counting replacements of the global allocation functions. GCC cannot see that this delete pairs with the
// malloc of this new and warns at every inlined call site.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
#pragma GCC diagnostic pop

namespace {

using vrt::common::Deserializer;
using vrt::common::SerializeConfig;
using vrt::common::Serializer;
using vrt::common::TransportSerializeConfig;

TransportSerializeConfig Transport(int type) {
    TransportSerializeConfig transport;
    transport.serializeType = static_cast<std::uint32_t>(type);
    SerializeConfig values;
    values.SetStructLength(4);
    transport.shmConfig = std::make_shared<SerializeConfig>(values);
    transport.someipConfig = vrt::common::MakeUniformSomeipConfig<CameraH265Image>(values);
    return transport;
}

CameraH265Image MakeImage(std::size_t bytes) {
    CameraH265Image image;
    image.typeCode = 20;
    image.cameraId = 1;
    image.data.assign(bytes, 0x5A);
    image.header.frameId = "vcu_camera_instance_71";
    return image;
}

// Runs `step` once per iteration; reports `bytes` handled and the heap allocations per iteration.
template <typename Step>
void Measure(benchmark::State& state, std::size_t bytes, Step&& step) {
    const std::uint64_t before = gAllocations.load();
    for (auto _ : state) {
        step();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(gAllocations.load() - before),
                                                  benchmark::Counter::kAvgIterations);
}

void BM_Memcpy(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> source(bytes, 0x5A);
    std::vector<std::uint8_t> destination(bytes);
    Measure(state, bytes, [&] {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
    });
}

// memcpy into a destination at an odd offset, as the data bytes land inside an encoded payload.
void BM_MemcpyUnaligned(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> source(bytes, 0x5A);
    std::vector<std::uint8_t> destination(bytes + 64);
    Measure(state, bytes, [&] {
        std::memcpy(destination.data() + 13, source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
    });
}

void BM_GetSize(benchmark::State& state) {
    const Serializer<CameraH265Image> sut(Transport(static_cast<int>(state.range(1))));
    const CameraH265Image image = MakeImage(static_cast<std::size_t>(state.range(0)));
    Measure(state, 0, [&] {
        auto size = sut.GetSize(image);
        benchmark::DoNotOptimize(size);
    });
}

void BM_Serialize(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const Serializer<CameraH265Image> sut(Transport(static_cast<int>(state.range(1))));
    const CameraH265Image image = MakeImage(bytes);
    std::vector<std::uint8_t> buffer(sut.GetSize(image).Value());
    Measure(state, bytes, [&] {
        auto result = sut.Serialize(image, buffer.data(), buffer.size());
        benchmark::DoNotOptimize(result);
    });
}

void BM_Deserialize(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const auto transport = Transport(static_cast<int>(state.range(1)));
    const Serializer<CameraH265Image> serializer(transport);
    const Deserializer<CameraH265Image> sut(transport);
    const CameraH265Image image = MakeImage(bytes);
    std::vector<std::uint8_t> buffer(serializer.GetSize(image).Value());
    if (!serializer.Serialize(image, buffer.data(), buffer.size())) {
        state.SkipWithError("serialize failed");
        return;
    }
    CameraH265Image target;  // reused, as a subscriber reuses its sample
    Measure(state, bytes, [&] {
        auto result = sut.Deserialize(target, buffer.data(), buffer.size());
        benchmark::DoNotOptimize(result);
    });
}

// Second argument: serialize type (0 shared memory, 1 SOME/IP).
BENCHMARK(BM_Memcpy)->Arg(20 * 1024)->Arg(200 * 1024);
BENCHMARK(BM_MemcpyUnaligned)->Arg(20 * 1024)->Arg(200 * 1024);
BENCHMARK(BM_GetSize)->ArgsProduct({{20 * 1024}, {0, 1}});
BENCHMARK(BM_Serialize)->ArgsProduct({{20 * 1024, 200 * 1024}, {0, 1}});
BENCHMARK(BM_Deserialize)->ArgsProduct({{20 * 1024, 200 * 1024}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();
