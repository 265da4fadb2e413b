// Frame rendering of the simulated camera. A frame is rendered inside every
// simulated bulk read, so this is the simulator's hot path.

#include <benchmark/benchmark.h>

#include <vector>

#include "sim/frame_generator.h"
#include "sim/star_field.h"

namespace {

sim::FrameConditions Full(bool ten) {
  sim::FrameConditions c;
  c.sensor.depth = ten ? 9 : 8;
  c.exposureS = 0.2;
  return c;
}

void StarFrame(benchmark::State& state) {
  const bool ten = state.range(0) != 0;
  const bool moving = state.range(1) != 0;
  sim::StarFieldConfig config;
  config.colour = true;
  sim::StarField field(config);
  sim::FrameConditions c = Full(ten);
  std::vector<uint8_t> out(c.sensor.FrameBytes());
  for (auto _ : state) {
    if (moving) c.offsetX += 0.01;  // a guide move: the light is rebuilt
    ++c.frameNumber;
    field.Configure(c);
    benchmark::DoNotOptimize(field.Generate(out.data(), out.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(StarFrame)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"ten_bit", "guide_move"})
    ->Unit(benchmark::kMillisecond);

void TestPatternFrame(benchmark::State& state) {
  auto gen = sim::MakeTestPattern();
  const sim::FrameConditions c = Full(state.range(0) != 0);
  std::vector<uint8_t> out(c.sensor.FrameBytes());
  gen->Configure(c);
  for (auto _ : state) benchmark::DoNotOptimize(gen->Generate(out.data(), out.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(TestPatternFrame)->Arg(0)->Arg(1)->ArgName("ten_bit")->Unit(benchmark::kMillisecond);

}  // namespace
