#include "tests/support/e2e_scenario.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace e2e {

const char* const SCRIPT_PRELUDE = R"SH(
set -u
start_sim() {
  robosim --port 8101 "$@" >sim.out 2>sim.err &
  SIM_PID=$!
  for _ in $(seq 100); do
    if grep -q "listening" sim.err 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "simulator did not start" >&2; cat sim.err >&2; exit 2
}
# start_agent NAME [DIR]: stdin comes from a FIFO kept open by a sleeper, so the agent
# never sees end of input after its name.
start_agent() {
  local name=$1 dir=${2:-$1}
  mkdir -p "$dir"
  mkfifo "$dir/stdin"
  (printf '%s\n' "$name"; exec sleep 100000) >"$dir/stdin" &
  local feeder=$!
  (cd "$dir" && exec agent <stdin >"$OLDPWD/$name.out" 2>"$OLDPWD/$name.err") &
  AGENT_PID=$!
  FEEDERS="${FEEDERS:-} $feeder"
}
wait_for() {
  local file=$1 text=$2 secs=$3
  local end=$(( $(date +%s) + secs ))
  while ! grep -qF -- "$text" "$file" 2>/dev/null; do
    if [ "$(date +%s)" -ge "$end" ]; then echo "timed out waiting for '$text' in $file" >&2; exit 3; fi
    sleep 0.1
  done
}
# wait_after FILE FIRST THEN SECS: waits until a line with THEN follows a line with FIRST
wait_after() {
  local file=$1 first=$2 then=$3 secs=$4
  local end=$(( $(date +%s) + secs ))
  until awk -v a="$first" -v b="$then" 'index($0, a) { seen = 1; next } seen && index($0, b) { found = 1 } END { exit !found }' "$file" 2>/dev/null; do
    if [ "$(date +%s)" -ge "$end" ]; then echo "timed out waiting for '$then' after '$first' in $file" >&2; exit 3; fi
    sleep 0.1
  done
}
wait_exit() {
  local pid=$1 secs=$2
  local end=$(( $(date +%s) + secs ))
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$(date +%s)" -ge "$end" ]; then echo "process $pid still running after $secs s" >&2; exit 4; fi
    sleep 0.1
  done
  wait "$pid"
}
start_exploring() {
  start_agent "$@"
  wait_for "$1.err" "CONTROLER: Run: actErratic" 30
}
# stop_agent NAME: mode 99 to NAME; AGENT_PID's exit status goes to the file "status"
stop_agent() {
  send_msg "M $1 99"
  wait_exit "$AGENT_PID" 20
  echo $? >>status
}
# send_msg TEXT: one datagram (TEXT and its NUL) to the group, as any program on it could.
send_msg() { printf '%s\0' "$1" >/dev/udp/239.0.0.77/60001; }
# count_in FILE TEXT: occurrences of TEXT in FILE
count_in() { local n; n=$(grep -cF -- "$2" "$1" 2>/dev/null) || true; echo "${n:-0}"; }
cleanup() {
  for p in ${FEEDERS:-}; do kill "$p" 2>/dev/null || true; done
  jobs -p | xargs -r kill 2>/dev/null || true
}
trap cleanup EXIT
)SH";

Scenario::Scenario(const std::string& name) {
  myDir = fs::path(MCAGENT_BIN_DIR) / "e2e-runs" / name;
  fs::remove_all(myDir);
  fs::create_directories(myDir);
}

Scenario::~Scenario() {
  if (!myKeep && !::testing::Test::HasFailure()) fs::remove_all(myDir);
}

Result Scenario::run(const std::string& script, int timeoutSec) {
  {
    std::ofstream f(myDir / "scenario.sh");
    f << SCRIPT_PRELUDE << "\n" << script << "\n";
  }
  const std::string bin = MCAGENT_BIN_DIR;
  const char* inherited = std::getenv("PATH");
  testsupport::Launch how;
  how.privateMounts = true;
  how.dir = myDir.string();
  how.env = {{"PATH", bin + "/runtime:" + bin + "/sim:" + bin + "/tests:" + bin + "/tools:" +
                          (inherited != nullptr ? inherited : "/usr/bin:/bin")},
             {"WORLDS", std::string(MCAGENT_SOURCE_DIR) + "/worlds"}};
  how.output = "scenario.log";
  how.timeoutSec = timeoutSec;
  return testsupport::runInPrivateNetwork({"bash", "scenario.sh"}, how);
}

std::string Scenario::read(const std::string& file) const {
  std::ifstream f(myDir / file, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Scenario::exists(const std::string& file) const { return fs::exists(myDir / file); }

int Scenario::count(const std::string& file, const std::string& text) const {
  std::string s = read(file);
  int n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
  return n;
}

}  // namespace e2e
