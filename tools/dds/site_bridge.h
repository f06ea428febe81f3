#pragma once
// The group carried between sites on DDS. On each site a bridge listens to the local
// group as an agent does and publishes what it hears, in batches, on the DDS topic
// BRIDGE_TOPIC (one instance per site); what other sites' bridges publish it sends to
// the local group, once.
//
// Loops: a bridge sends to its group from the fixed port BRIDGE_INJECT_PORT (outside the
// range the kernel hands out to other sockets) and never forwards a datagram from that
// port, so neither it nor any other bridge on the site carries back what a bridge
// injected, though multicast loopback brings it to them all.
// Duplicates: every bridge has a random strength and sends it with each sample. Of several
// bridges of one site, the others hear the strongest and stand by: they publish only
// their heartbeat and inject nothing until it has been silent for BRIDGE_STANDBY_NS; and a
// receiver takes a site's datagrams only from the strongest of its bridges heard within
// that time, so that nothing goes twice while they find each other. Every bridge
// publishes at least once a second, so a quiet site's bridges find each other too.
// Sequence numbers let the receivers count what was lost.
// Bounds: per local sender and per far site (RateBound), with the drops counted and one
// line when a source starts dropping.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "group_bridge.h"
#include "net/group_socket.h"
#include "tools/dds/dds_domain.h"
#include "tools/dds/rate_bound.h"

constexpr const char* BRIDGE_TOPIC = "mcagent_group";
constexpr uint16_t BRIDGE_INJECT_PORT = 31001;
constexpr int64_t BRIDGE_HEARTBEAT_NS = 1'000'000'000;
constexpr int64_t BRIDGE_STANDBY_NS = 3'000'000'000;

struct BridgeOptions {
  std::string site;               // this site's name; bridges of one site share it
  double sourceRate = 1000;       // datagrams a second from one local sender
  double siteRate = 20000;        // datagrams a second from one far site
  int32_t strength = 0;           // among the site's bridges; 0 picks a random one
};

// What a bridge did, for its summary line.
struct BridgeTally {
  std::atomic<long> heard{0}, published{0}, ownSkipped{0}, sourceDropped{0}, publishFailed{0};
  std::atomic<long> received{0}, injected{0}, lost{0}, duplicates{0}, siteDropped{0}, standbyDropped{0};
  std::atomic<long> weaker{0};  // datagrams from a site's weaker bridge, not taken
};

// Keeps each far site's sequence: which of a batch's datagrams are new, and how many
// went missing before it. A batch from another writer (another bridge took over, or it
// restarted) starts the count afresh.
class SiteSequences {
 public:
  struct Verdict {
    uint32_t skip = 0;  // the batch's first datagrams already seen
    uint64_t lost = 0;  // datagrams missing before the batch
  };
  Verdict accept(const std::string& site, uint64_t writer, uint64_t first, uint32_t count);
  size_t sites() const { return mySites.size(); }

 private:
  struct Next {
    uint64_t writer;
    uint64_t sequence;
  };
  std::map<std::string, Next, std::less<>> mySites;
};

class SiteBridge {
 public:
  SiteBridge(BridgeOptions options, BridgeTally& tally);
  ~SiteBridge();
  SiteBridge(const SiteBridge&) = delete;
  SiteBridge& operator=(const SiteBridge&) = delete;

  // Joins the group (listening, and sending from BRIDGE_INJECT_PORT) and the DDS domain.
  bool open(const DdsSettings& settings, std::string& error);
  // Carries the group both ways while keepGoing(), called between reads of the group
  // (at least every RECV_TIMEOUT_MS), says so.
  void run(const std::function<bool()>& keepGoing);
  // Latencies in ns, heard on a far site to sent here, of the batches injected.
  std::vector<int64_t> latencies() const { return myLatencies; }

 private:
  void forward(const std::function<bool()>& keepGoing);
  void inject();
  void publish(ReceiveBatch& batch, size_t count, int64_t nowNs);
  bool passes(ReceiveBatch& batch, size_t i, int64_t nowNs);
  void write(std::vector<mcagent_bridge_Datagram>& datagrams, int64_t heardNs, int64_t nowNs);
  void injectSample(const void* sample, uint64_t writer, int64_t nowNs);
  bool sendAll(const std::vector<iovec>& datagrams);
  void noteStandby(int64_t nowNs);
  // Whether a sample of a far site with this strength comes from its strongest bridge.
  bool fromStrongest(const std::string& site, int32_t strength, int64_t nowNs);

  BridgeOptions myOptions;
  BridgeTally& myTally;
  DdsParticipant myParticipant;
  dds_entity_t myWriter = 0, myReader = 0, myWaitset = 0;
  GroupSocket myListener, mySender;
  std::atomic<bool> myStopping{false};
  uint64_t myNextSequence = 0;
  int64_t myLastPublishNs = 0;
  // The injecting side's own state (its thread only).
  RateBound mySiteBound;
  SiteSequences mySequences;
  std::atomic<int64_t> myStandbyUntilNs{0};  // written by the injecting side, read by both
  struct Strongest {
    int32_t strength;
    int64_t heardNs;
  };
  std::map<std::string, Strongest, std::less<>> myStrongest;
  std::map<std::string, bool, std::less<>> myKnownSites;
  std::vector<int64_t> myLatencies;
  // The forwarding side's (the calling thread's).
  RateBound mySourceBound;
};
