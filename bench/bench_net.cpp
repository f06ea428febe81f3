// The receiver's work per message: reading an own E message and applying it to both
// maps, and reading alone. Messages carry realistic readings: a robot wandering a few
// metres around the origin and sonar points up to 3 m from it. And a large group's
// traffic: the scale model's N agents, a peer table of N entries, readings into the
// global map.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/messages.h"
#include "net/receiver.h"
#include "state/shared_state.h"
#include "tools/lib/load_model.h"

namespace {

constexpr uint32_t NOW = 1'700'000'000;

std::vector<std::string> ownReadings(size_t count) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> position(-3000, 3000);
  std::uniform_real_distribution<double> heading(-180, 180);
  std::uniform_real_distribution<double> range(200, 3000);
  std::vector<std::string> texts;
  char buffer[MSG_BUFFER_SIZE];
  for (size_t i = 0; i < count; ++i) {
    const double rx = position(random), ry = position(random), th = heading(random);
    const double bearing = heading(random) * M_PI / 180, r = range(random);
    const Message m{'E', "alpha", {rx + r * std::cos(bearing), ry + r * std::sin(bearing), rx, ry, th}};
    texts.emplace_back(buffer, static_cast<size_t>(formatMessage(m, buffer, sizeof buffer)));
  }
  return texts;
}

void prepareAgent() {
  createMaps();
  agentId = "alpha";
  peerTable.clear();
  peerTable["alpha"] = PeerEntry{true, ArPose(0, 0, 0), NOW};
}

// The texts as datagrams through the receiver's handler, one per iteration, round robin.
void receiveInTurn(benchmark::State& state, const std::vector<std::string>& texts) {
  char buffer[MSG_BUFFER_SIZE];
  size_t next = 0;
  for (auto _ : state) {
    const std::string& text = texts[next++ % texts.size()];
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    handleDatagram(buffer, text.size() + 1, NOW);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ReceiveOwnReading(benchmark::State& state) {
  prepareAgent();
  receiveInTurn(state, ownReadings(4096));
  destroyMaps();
}
BENCHMARK(BM_ReceiveOwnReading);

// Every message of the scale model's N agents over a number of cycles, as datagram texts.
std::vector<std::string> groupTraffic(int agents, long cycles) {
  const LoadModel model(agents);
  std::vector<std::string> texts;
  char buffer[MSG_BUFFER_SIZE];
  for (long cycle = 0; cycle < cycles; ++cycle) {
    model.playCycle(cycle, [&](const Message& m) {
      texts.emplace_back(buffer, static_cast<size_t>(formatMessage(m, buffer, sizeof buffer)));
    });
  }
  return texts;
}

void BM_ReceiveGroupTraffic(benchmark::State& state) {
  prepareAgent();
  receiveInTurn(state, groupTraffic(static_cast<int>(state.range(0)), 8));
  state.counters["peers"] = static_cast<double>(peerTable.size());
  destroyMaps();
}
BENCHMARK(BM_ReceiveGroupTraffic)->Arg(500)->Arg(2000)->Arg(4000);

void BM_ParseReading(benchmark::State& state) {
  const std::vector<std::string> texts = ownReadings(4096);
  size_t next = 0;
  Message m;
  for (auto _ : state) {
    benchmark::DoNotOptimize(parseMessage(texts[next++ % texts.size()].c_str(), m));
    benchmark::DoNotOptimize(m);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseReading);

void BM_FormatReading(benchmark::State& state) {
  const Message m{'E', "alpha", {1234.5678, -987.125, 10.25, -20.5, 45.125}};
  char buffer[MSG_BUFFER_SIZE];
  for (auto _ : state) {
    benchmark::DoNotOptimize(formatMessage(m, buffer, sizeof buffer));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatReading);

}  // namespace

BENCHMARK_MAIN();
