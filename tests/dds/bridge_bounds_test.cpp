// The bridge's bounds and bookkeeping: the per-source rate bound and the far sites'
// sequences.
#include <gtest/gtest.h>

#include "tools/dds/rate_bound.h"
#include "tools/dds/site_bridge.h"

namespace {

constexpr int64_t MS = 1'000'000;

long passed(RateBound& bound, uint64_t source, int count, int64_t atNs) {
  long n = 0;
  for (int i = 0; i < count; ++i) n += bound.admit(source, atNs) == RateBound::Verdict::Pass;
  return n;
}

}  // namespace

// Half a second's worth passes at once, then the rate; one FirstDrop per flood, another
// only after a calm spell; other sources keep their own bucket; a full table makes new
// sources share one bucket rather than grow.
TEST(BridgeBounds, RateBoundPerSource) {
  RateBound bound(100, 3);
  EXPECT_EQ(passed(bound, 1, 80, 0), 50);
  EXPECT_EQ(bound.admit(1, 0), RateBound::Verdict::Drop);  // the first drop was among the 80
  EXPECT_EQ(passed(bound, 1, 30, 100 * MS), 10);
  EXPECT_EQ(passed(bound, 2, 50, 100 * MS), 50);
  EXPECT_EQ(bound.dropped(), 30 + 1 + 20);
  EXPECT_EQ(passed(bound, 3, 1, 100 * MS) + passed(bound, 4, 1, 100 * MS) + passed(bound, 5, 1, 100 * MS), 3);
  EXPECT_LE(bound.sources(), 4u);
  EXPECT_EQ(passed(bound, 1, 50, 100 * MS + RateBound::CALM_NS + MS), 50);
  EXPECT_EQ(bound.admit(1, 100 * MS + RateBound::CALM_NS + MS), RateBound::Verdict::FirstDrop);
}

// Each far site's datagrams counted once: a repeated batch is skipped, a gap is counted
// lost, and a batch from another writer of the site starts afresh.
TEST(BridgeBounds, SiteSequencesSkipRepeatsAndCountGaps) {
  struct Row {
    const char* site;
    uint64_t writer, first;
    uint32_t count, skip;
    uint64_t lost;
  };
  const Row rows[] = {
      {"A", 1, 0, 10, 0, 0},    {"A", 1, 10, 5, 0, 0}, {"A", 1, 12, 5, 3, 0}, {"A", 1, 20, 1, 0, 3},
      {"B", 7, 500, 2, 0, 0},   {"A", 1, 3, 2, 2, 0},  {"A", 2, 0, 4, 0, 0},  {"A", 2, 4, 0, 0, 0},
  };
  SiteSequences sequences;
  for (const Row& r : rows) {
    const SiteSequences::Verdict v = sequences.accept(r.site, r.writer, r.first, r.count);
    EXPECT_EQ(v.skip, r.skip) << r.site << " " << r.first;
    EXPECT_EQ(v.lost, r.lost) << r.site << " " << r.first;
  }
  EXPECT_EQ(sequences.sites(), 2u);
}
