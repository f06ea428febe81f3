// Writing and reading the same plain PPM map file with our writer and reader and with
// netpbm's plain-format writer (ppm_writeppm, forceplain) and reader (ppm_readppm).
// Both sides do the whole job: map cells to a file and a file to map cells.
extern "C" {
#include <netpbm/ppm.h>
}
#include <unistd.h>

#include <string>

#include "bench/map_bench_support.h"
#include "map/map_file.h"

namespace {

// Image row r holds x = maxx - 1 - r; column c holds y = maxy - 1 - c.
int32_t xOfRow(const OccupancyMap& m, int r) { return m.maxx - 1 - r; }
int32_t yOfColumn(const OccupancyMap& m, int c) { return m.maxy - 1 - c; }

void mapToPixels(const OccupancyMap& m, pixel** pixels, int cols, int rows) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const MapCell cell = m.cellValue(xOfRow(m, r), yOfColumn(m, c));
      PPM_ASSIGN(pixels[r][c], cell & CELL_OCCUPANCY, (cell & CELL_UNKNOWN) ? 0 : 63, (cell >> 8) & 0x7F);
    }
  }
}

void pixelsToMap(pixel** pixels, int cols, int rows, OccupancyMap& m) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const pixel& p = pixels[r][c];
      m.cellAt(xOfRow(m, r), yOfColumn(m, c)) = static_cast<MapCell>(
          (PPM_GETR(p) & 0xFF) | ((PPM_GETB(p) & 0x5F) << 8) | (PPM_GETG(p) == 0 ? CELL_UNKNOWN : 0));
    }
  }
}

void BM_OursWrite(benchmark::State& state) {
  OccupancyMap map = mapbench::builtInMap();
  mapbench::fillMap(map, static_cast<int>(state.range(0)));
  const std::string file = mapbench::benchFile("ours");
  for (auto _ : state) {
    if (!writeMapFile(map, file.c_str())) state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations() * mapbench::cellCount(map));
  unlink(file.c_str());
}

// The same steps as ours: cells to text, flushed to the disk, closed.
void BM_NetpbmWrite(benchmark::State& state) {
  OccupancyMap map = mapbench::builtInMap();
  mapbench::fillMap(map, static_cast<int>(state.range(0)));
  const std::string file = mapbench::benchFile("netpbm");
  const int cols = map.miny + map.maxy - 1, rows = map.minx + map.maxx - 1;
  for (auto _ : state) {
    pixel** pixels = ppm_allocarray(cols, rows);
    mapToPixels(map, pixels, cols, rows);
    FILE* f = std::fopen(file.c_str(), "wb");
    ppm_writeppm(f, pixels, cols, rows, 255, 1);
    std::fflush(f);
    fsync(fileno(f));
    std::fclose(f);
    ppm_freearray(pixels, rows);
  }
  state.SetItemsProcessed(state.iterations() * mapbench::cellCount(map));
  unlink(file.c_str());
}

void BM_OursRead(benchmark::State& state) {
  const std::string file = mapbench::writeFilledMap(static_cast<int>(state.range(0)), "read");
  OccupancyMap map = mapbench::builtInMap();
  for (auto _ : state) {
    if (!readMapFile(map, file.c_str())) state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations() * mapbench::cellCount(map));
  unlink(file.c_str());
}

// netpbm reads the very file our writer made (its comment lines are plain PPM comments).
void BM_NetpbmRead(benchmark::State& state) {
  const std::string file = mapbench::writeFilledMap(static_cast<int>(state.range(0)), "read");
  OccupancyMap map = mapbench::builtInMap();
  mapbench::fillMap(map, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    FILE* f = std::fopen(file.c_str(), "rb");
    int cols = 0, rows = 0;
    pixval maxval = 0;
    pixel** pixels = ppm_readppm(f, &cols, &rows, &maxval);
    std::fclose(f);
    pixelsToMap(pixels, cols, rows, map);
    ppm_freearray(pixels, rows);
  }
  state.SetItemsProcessed(state.iterations() * mapbench::cellCount(map));
  unlink(file.c_str());
}

BENCHMARK(BM_OursWrite)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NetpbmWrite)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursRead)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NetpbmRead)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  pm_init(argv[0], 0);
  benchmark::Initialize(&argc, argv);
  mapbench::RatioReporter reporter({{"BM_OursWrite/249", "BM_NetpbmWrite/249"},
                                    {"BM_OursWrite/1000", "BM_NetpbmWrite/1000"},
                                    {"BM_OursRead/249", "BM_NetpbmRead/249"},
                                    {"BM_OursRead/1000", "BM_NetpbmRead/1000"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
