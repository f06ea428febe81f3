#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "aria/aria.h"
#include "base/way_status.h"
#include "net/mcast_socket.h"
#include "net/messages.h"
#include "net/senders.h"
#include "state/shared_state.h"
#include "tests/support/private_network.h"
#include "tests/support/sim_robot.h"

namespace {

using testsupport::inPrivateNetwork;
using testsupport::rerunInPrivateNetwork;
using testsupport::Route;
using Clock = std::chrono::steady_clock;

struct Arrival {
  double ms;  // since the senders started
  Message message;
  std::string text;
};

// A robot in a 4 m box on the simulator, installed as the agent's robot and sonar, the
// way the robot set-up leaves them.
class InstalledRobot {
 public:
  bool start() {
    if (!mySim.connectAndRun()) return false;
    robot = &mySim.robot;
    sonar = &mySim.sonar;
    return true;
  }
  ~InstalledRobot() {
    robot = nullptr;
    sonar = nullptr;
  }

 private:
  testsupport::SimRobot mySim{"box -2000 -2000 2000 2000\nstart 0 0 0\n"};
};

// Datagrams on the socket until `end`, with their arrival times after `start`.
void collect(const GroupSocket& socket, Clock::time_point start, Clock::time_point end,
             std::vector<Arrival>& arrivals) {
  char buffer[MSG_BUFFER_SIZE];
  while (Clock::now() < end) {
    const long n = socket.receive(buffer, sizeof buffer - 1);
    if (n <= 0) continue;
    buffer[n] = '\0';
    Arrival a;
    a.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    a.text = buffer;
    EXPECT_TRUE(parseMessage(a.text.c_str(), a.message)) << a.text;
    EXPECT_EQ(a.message.name, "alpha");
    a.message.name = {};  // it points into text, which moves with the vector
    EXPECT_EQ(static_cast<size_t>(n), a.text.size() + 1) << "text and NUL, nothing more";
    arrivals.push_back(a);
  }
}

std::vector<double> timesOf(const std::vector<Arrival>& arrivals, char type) {
  std::vector<double> times;
  for (const Arrival& a : arrivals) {
    if (a.message.type == type) times.push_back(a.ms);
  }
  return times;
}

void expectPeriod(const std::vector<double>& times, double period, const char* what) {
  for (size_t i = 1; i < times.size(); ++i) {
    const double gap = times[i] - times[i - 1];
    EXPECT_GT(gap, period * 0.8) << what << " " << i;
    EXPECT_LT(gap, period * 1.6) << what << " " << i;
  }
}

TEST(SenderRates, ADEverySecondAndASensorCycleEveryHalfSecondEndingWithItsP) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
  InstalledRobot simulated;
  ASSERT_TRUE(simulated.start());
  ASSERT_EQ(setupNetwork(), 0);
  agentId = "alpha";
  setExitFlag(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // some sonar readings first

  wayReports.post(WAY_HEADING, ArPose(1500, -200));  // an exploring behaviour's target

  const Clock::time_point start = Clock::now();
  std::thread poseSender(poseSenderThread);
  std::thread sensorSender(sensorSenderThread);
  std::vector<Arrival> arrivals;
  std::thread collector(collect, std::cref(mcastSocket), start, start + std::chrono::milliseconds(4500), std::ref(arrivals));
  std::this_thread::sleep_until(start + std::chrono::milliseconds(2200));
  wayReports.post(WAY_GAVE_UP, ArPose(1500, -200));  // the behaviour gives it up and ends
  wayReports.endCurrent();
  std::this_thread::sleep_until(start + std::chrono::milliseconds(3200));
  setExitFlag(1);
  sensorSender.join();
  poseSender.join();
  collector.join();

  const std::vector<double> d = timesOf(arrivals, 'D');
  ASSERT_GE(d.size(), 3u);
  EXPECT_LT(d[0], 200) << "the first D goes out at once";
  expectPeriod(d, 1000, "D");

  const std::vector<double> p = timesOf(arrivals, 'P');
  ASSERT_GE(p.size(), 5u);
  EXPECT_GT(p[0], 400) << "a sensor cycle starts with its sleep";
  expectPeriod(p, 500, "P");

  // Every E or O belongs to the cycle its following P closes; the last message of the
  // sensor sender is a P, since a begun cycle always completes.
  size_t readings = 0;
  char lastSensorType = 0;
  for (const Arrival& a : arrivals) {
    if (a.message.type == 'E' || a.message.type == 'O') ++readings;
    if (a.message.type != 'D') lastSensorType = a.message.type;
  }
  EXPECT_GT(readings, 0u) << "the sonar sees the box";
  EXPECT_EQ(lastSensorType, 'P');

  // The way status follows the P of the first cycle, again every second while it holds;
  // the give-up goes out once in the next cycle, and nothing after it.
  std::vector<double> heading, gaveUp;
  for (const Arrival& a : arrivals) {
    if (a.message.type != 'T') continue;
    EXPECT_EQ(a.message.reals[0], 1500) << a.text;
    (a.message.values[0] == WAY_HEADING ? heading : gaveUp).push_back(a.ms);
  }
  ASSERT_GE(heading.size(), 2u);
  EXPECT_LT(heading[0] - p[0], 100);
  expectPeriod(heading, 1000, "T");
  ASSERT_EQ(gaveUp.size(), 1u);
  EXPECT_GT(gaveUp[0], 2200);
  EXPECT_LT(gaveUp[0], 2200 + 700);
  EXPECT_LT(heading.back(), gaveUp[0]);
  for (const Arrival& a : arrivals) {
    if (a.message.type != 'E') continue;
    EXPECT_LT(std::abs(a.message.reals[0]), 2200) << a.text;
    EXPECT_LT(std::abs(a.message.reals[1]), 2200) << a.text;
  }
  mcastSocket.close();
}

}  // namespace
