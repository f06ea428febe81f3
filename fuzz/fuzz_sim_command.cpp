// Bytes from a client into one simulator session: framing, handshake, every command, with
// simulation ticks and SIPs in between. The first byte picks the chunk size and whether
// the session is opened before the fuzzed bytes arrive.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/session.h"
#include "sim/simulation.h"

namespace {

constexpr char kWorld[] =
    "box -2000 -4000 7000 4000\n"
    "wall 2000 -1000 2000 1000\n"
    "start 0 0 0\n"
    "start 600 0 0\n";

constexpr uint8_t kHandshake[] = {0xFA, 0xFB, 3, 0, 0, 0, 0xFA, 0xFB, 3, 1, 0, 1,
                                  0xFA, 0xFB, 3, 2, 0, 2, 0xFA, 0xFB, 3, 1, 0, 1};

sim::World parsedWorld() {
  sim::World world;
  std::string error;
  if (!sim::parseWorld(kWorld, world, error)) std::abort();
  return world;
}

void check(const sim::Robot& robot, const sim::Session& session) {
  if (session.pendingOutput().size() > sim::Session::kMaxOutput) std::abort();
  if (!std::isfinite(robot.x) || !std::isfinite(robot.y) || !std::isfinite(robot.model.thDeg())) std::abort();
  if (std::fabs(robot.model.vel()) > 2200 || std::fabs(robot.model.rotVelDeg()) > 500) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const sim::World world = parsedWorld();
  sim::Simulation simulation(world, sim::SimOptions{});
  sim::Robot& robot = simulation.addRobot();
  simulation.addRobot();  // a neighbour to bump into
  sim::Session session(simulation, robot);
  const size_t chunk = (data[0] >> 1) % 32 + 1;
  if (data[0] & 1) session.receive(kHandshake, sizeof kHandshake);
  ++data;
  --size;
  while (size > 0) {
    const size_t n = std::min(chunk, size);
    session.receive(data, n);
    data += n;
    size -= n;
    for (int t = 0; t < 3; ++t) {
      robot.lastPacketTick = simulation.ticks();
      simulation.tick();
    }
    if (simulation.ticks() % sim::kTicksPerSip < 3) session.sendSip();
    check(robot, session);
    session.consumeOutput(session.pendingOutput().size());
  }
  return 0;
}
