#include "runtime/map_files.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "base/console.h"
#include "base/numbers.h"
#include "map/map_file.h"
#include "state/shared_state.h"

namespace {

// Takes the map's mutex, waiting at most waitMs when it is not negative.
bool lockMap(OccupancyMap& map, int waitMs) {
  if (waitMs < 0) return map.mutex.lock() == 0;
  return map.mutex.tryLockFor(static_cast<unsigned>(waitMs)) == 0;
}

bool saveMap(OccupancyMap& map, const char* fileName, int waitMs) {
  const std::string path = mapFilePath(fileName);
  if (!lockMap(map, waitMs)) {
    writeLine(stderr, "Saving " + path + " failed: the map was busy");
    return false;
  }
  const bool written = writeMapFile(map, path.c_str());
  const int reason = errno;
  map.mutex.unlock();
  if (!written) writeLine(stderr, "Saving " + path + " failed: " + std::strerror(reason));
  return written;
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// "map_global.ppm.damaged-20240131-235959", with "-2", "-3", ... when that name is taken.
std::string asideName(const std::string& path) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = path + ".damaged-" + stamp;
  std::string name = base;
  for (int n = 2; exists(name); ++n) name = base + "-" + std::to_string(n);
  return name;
}

void keepDamagedGlobalMap(const MapFileProblem& problem) {
  const std::string path = mapFilePath(GLOBAL_MAP_FILE);
  if (!exists(path)) return;
  const std::string aside = asideName(path);
  const std::string failed = "The global map file " + path + " could not be read (" + problem.text() + ")";
  if (std::rename(path.c_str(), aside.c_str()) == 0) {
    writeLine(stderr, failed + "; it is kept as " + aside);
  } else {
    writeLine(stderr, failed + ", and moving it aside failed: " + std::strerror(errno));
  }
}

// The process id of one of the agent's temporary map files, or 0 for any other name.
pid_t tempFileOwner(const std::string& name) {
  for (const char* map : {LOCAL_MAP_FILE, GLOBAL_MAP_FILE}) {
    const std::string prefix = std::string(map) + ".tmp.";
    if (!name.starts_with(prefix)) continue;
    const std::string_view digits = std::string_view(name).substr(prefix.size());
    pid_t pid = 0;
    if (readInteger(digits, pid_t{1}, std::numeric_limits<pid_t>::max(), pid) == NumberCheck::Ok) return pid;
  }
  return 0;
}

bool processGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

bool saveMaps(int waitMs) {
  const bool local = saveMap(*localMap, LOCAL_MAP_FILE, waitMs);
  const bool global = saveMap(*globalMap, GLOBAL_MAP_FILE, waitMs);
  return local && global;
}

void loadMaps() {
  {
    ArLockGuard hold(localMap->mutex);
    localMap->clear();
  }
  writeText(stdout, "\nReading global map. . . ");
  bool read = false;
  MapFileProblem problem;
  {
    ArLockGuard hold(globalMap->mutex);
    read = readGlobalMapFile(problem);
    writeLine(stdout, read ? "Global  map read." : "Reading of the global map failed, continuing with a new map.");
  }
  if (!read) keepDamagedGlobalMap(problem);
}

void removeStaleTempFiles() {
  const std::filesystem::path dir = mapDirectory.empty() ? "." : mapDirectory;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(dir, error), end; !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    const pid_t owner = tempFileOwner(name);
    if (owner == 0 || !processGone(owner)) continue;
    const std::string path = mapFilePath(name.c_str());
    if (std::remove(path.c_str()) == 0) writeLine(stderr, "Removed " + path + ", left by an agent that has ended");
  }
}
