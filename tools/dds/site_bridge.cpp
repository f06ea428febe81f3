#include "tools/dds/site_bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ctime>
#include <random>
#include <thread>
#include <utility>

namespace {

constexpr size_t FORWARD_BATCH = 64;
constexpr size_t WHOLE_DATAGRAM = 65536;  // the largest UDP payload over IPv4 fits
constexpr size_t MAX_SOURCES = 4096;
constexpr size_t MAX_SITES = 256;
constexpr int32_t BRIDGE_DEPTH = 256;     // samples kept for retransmission and delivery
// Bytes of datagrams in one sample (a larger datagram goes alone): with BRIDGE_DEPTH it
// bounds what a writer and each reader keep to about 16 MiB, whatever the datagrams.
constexpr size_t SAMPLE_BYTES = 65536;
constexpr size_t TAKE = 16;
constexpr size_t LATENCIES_KEPT = 1 << 18;

int64_t realtimeNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int64_t stampNs(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

std::string endpoint(uint32_t address, uint16_t port) {
  char text[INET_ADDRSTRLEN] = "?";
  in_addr a{address};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return std::string(text) + ":" + std::to_string(port);
}

// Reliable, so that a lossy link between sites loses nothing a retransmission can bring
// back; a bounded history, so that a slow or lost site costs bounded memory and a
// flood cannot stall the writer for long.
Qos bridgeQos() {
  Qos qos(dds_create_qos());
  dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_MSECS(20));
  dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, BRIDGE_DEPTH);
  return qos;
}

int32_t randomStrength() {
  std::random_device random;
  return static_cast<int32_t>(random() & 0x3fffffff) + 1;
}

}  // namespace

SiteSequences::Verdict SiteSequences::accept(const std::string& site, uint64_t writer, uint64_t first,
                                             uint32_t count) {
  Verdict v;
  auto found = mySites.find(site);
  if (found == mySites.end() || found->second.writer != writer) {
    mySites[site] = Next{writer, first + count};
    return v;
  }
  Next& next = found->second;
  if (first > next.sequence) v.lost = first - next.sequence;
  if (first < next.sequence) v.skip = static_cast<uint32_t>(std::min<uint64_t>(count, next.sequence - first));
  next.sequence = std::max(next.sequence, first + count);
  return v;
}

SiteBridge::SiteBridge(BridgeOptions options, BridgeTally& tally)
    : myOptions(std::move(options)),
      myTally(tally),
      mySiteBound(myOptions.siteRate, MAX_SOURCES),
      mySourceBound(myOptions.sourceRate, MAX_SOURCES) {}

SiteBridge::~SiteBridge() {
  if (myWaitset > 0) dds_delete(myWaitset);
}

namespace {

// The socket bridges inject from: address and port reuse, so several bridges on one
// host may share BRIDGE_INJECT_PORT; the group's time-to-live, loopback on.
bool openInjector(GroupSocket& socket, std::string& error) {
  const int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(BRIDGE_INJECT_PORT);
  if (!socket.create() || !socket.reuseAddress() ||
      setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
      bind(socket.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      !socket.setTimeToLive(MCAST_TTL) || !socket.setLoopback(true)) {
    error = "cannot send to the group from port " + std::to_string(BRIDGE_INJECT_PORT);
    return false;
  }
  return true;
}

}  // namespace

bool SiteBridge::open(const DdsSettings& settings, std::string& error) {
  if (myOptions.strength <= 0) myOptions.strength = randomStrength();
  if (!myListener.openForListening(error) || !openInjector(mySender, error)) return false;
  myListener.stampArrivals();
  if (!myParticipant.open(settings, error)) return false;
  const dds_entity_t p = myParticipant.handle();
  const Qos qos = bridgeQos();
  const dds_entity_t topic = makeTopic(p, &mcagent_bridge_Batch_desc, BRIDGE_TOPIC, qos.get(), error);
  if (topic < 0) return false;
  const Qos readerQos(dds_create_qos());
  dds_copy_qos(readerQos.get(), qos.get());
  dds_qset_ignorelocal(readerQos.get(), DDS_IGNORELOCAL_PARTICIPANT);
  myWriter = makeWriter(p, topic, qos.get(), error);
  myReader = makeReader(p, topic, readerQos.get(), error);
  if (myWriter < 0 || myReader < 0) return false;
  myWaitset = dds_create_waitset(p);
  const dds_entity_t condition = dds_create_readcondition(myReader, DDS_ANY_STATE);
  if (myWaitset < 0 || condition < 0 || dds_waitset_attach(myWaitset, condition, 0) != DDS_RETCODE_OK) {
    error = "cannot wait for DDS samples";
    return false;
  }
  return true;
}

void SiteBridge::run(const std::function<bool()>& keepGoing) {
  myStopping = false;
  std::thread injecting([this] { inject(); });
  forward(keepGoing);
  myStopping = true;
  injecting.join();
}

void SiteBridge::forward(const std::function<bool()>& keepGoing) {
  ReceiveBatch batch(FORWARD_BATCH, WHOLE_DATAGRAM);
  while (keepGoing()) {
    const long received = myListener.receiveBatch(batch);
    if (received < 0) {
      std::fprintf(stderr, "agentctl bridge: receiving from the group failed\n");
      return;
    }
    publish(batch, static_cast<size_t>(received), realtimeNs());
    pauseWhenBusy(received, batch);
  }
}

// The datagrams heard that pass, as one batch; nothing for a second makes an empty one.
// The datagrams heard that pass, as samples of at most SAMPLE_BYTES (or one datagram);
// nothing for a second makes an empty one.
void SiteBridge::publish(ReceiveBatch& batch, size_t count, int64_t nowNs) {
  std::vector<mcagent_bridge_Datagram> datagrams;
  size_t bytes = 0;
  int64_t heardNs = nowNs;
  for (size_t i = 0; i < count; ++i) {
    if (!passes(batch, i, nowNs)) continue;
    const size_t length = std::min(batch.length(i), batch.bufferSize());
    if (!datagrams.empty() && bytes + length > SAMPLE_BYTES) {
      write(datagrams, heardNs, nowNs);
      datagrams.clear();
      bytes = 0;
    }
    if (datagrams.empty()) {
      const int64_t stamped = stampNs(batch.arrival(i));
      heardNs = stamped > 0 ? stamped : nowNs;
    }
    const sockaddr_in& from = batch.source(i);
    mcagent_bridge_Datagram d{};
    d.source = from.sin_addr.s_addr;
    d.port = ntohs(from.sin_port);
    d.bytes._buffer = reinterpret_cast<uint8_t*>(batch.data(i));
    d.bytes._length = d.bytes._maximum = static_cast<uint32_t>(length);
    datagrams.push_back(d);
    bytes += length;
  }
  if (!datagrams.empty() || nowNs - myLastPublishNs >= BRIDGE_HEARTBEAT_NS) write(datagrams, heardNs, nowNs);
}

// Whether datagram i is carried: not a bridge's injection, within its sender's bound.
bool SiteBridge::passes(ReceiveBatch& batch, size_t i, int64_t nowNs) {
  const sockaddr_in& from = batch.source(i);
  const uint16_t port = ntohs(from.sin_port);
  ++myTally.heard;
  if (port == BRIDGE_INJECT_PORT) {
    ++myTally.ownSkipped;
    return false;
  }
  const uint64_t source = (uint64_t{from.sin_addr.s_addr} << 16) | port;
  const RateBound::Verdict verdict = mySourceBound.admit(source, nowNs);
  if (verdict == RateBound::Verdict::Pass) return true;
  ++myTally.sourceDropped;
  if (verdict == RateBound::Verdict::FirstDrop) {
    std::fprintf(stderr, "agentctl bridge: dropping datagrams from %s beyond %.0f a second\n",
                 endpoint(from.sin_addr.s_addr, port).c_str(), myOptions.sourceRate);
  }
  return false;
}

// One sample; while standing by, only the heartbeat (no datagrams).
void SiteBridge::write(std::vector<mcagent_bridge_Datagram>& datagrams, int64_t heardNs, int64_t nowNs) {
  if (nowNs < myStandbyUntilNs) {
    myTally.standbyDropped += static_cast<long>(datagrams.size());
    datagrams.clear();
    if (nowNs - myLastPublishNs < BRIDGE_HEARTBEAT_NS) return;
  }
  mcagent_bridge_Batch sample{};
  sample.site = const_cast<char*>(myOptions.site.c_str());
  sample.strength = myOptions.strength;
  sample.first = myNextSequence;
  sample.heard_ns = heardNs;
  sample.datagrams._buffer = datagrams.data();
  sample.datagrams._length = sample.datagrams._maximum = static_cast<uint32_t>(datagrams.size());
  if (dds_write(myWriter, &sample) != DDS_RETCODE_OK) {
    myTally.publishFailed += static_cast<long>(datagrams.size());
  } else {
    myTally.published += static_cast<long>(datagrams.size());
  }
  myNextSequence += datagrams.size();
  myLastPublishNs = nowNs;
}

void SiteBridge::inject() {
  void* samples[TAKE] = {};
  dds_sample_info_t infos[TAKE];
  while (!myStopping) {
    dds_waitset_wait(myWaitset, nullptr, 0, DDS_MSECS(100));
    for (;;) {
      const dds_return_t n = dds_take(myReader, samples, infos, TAKE, TAKE);
      if (n <= 0) break;
      const int64_t nowNs = realtimeNs();
      for (dds_return_t i = 0; i < n; ++i) {
        if (infos[i].valid_data) injectSample(samples[i], infos[i].publication_handle, nowNs);
      }
      dds_return_loan(myReader, samples, n);
    }
  }
}

void SiteBridge::noteStandby(int64_t nowNs) {
  if (nowNs >= myStandbyUntilNs) {
    std::fprintf(stderr, "agentctl bridge: a stronger bridge of site %s is carrying it; standing by\n",
                 myOptions.site.c_str());
  }
  myStandbyUntilNs = nowNs + BRIDGE_STANDBY_NS;
}

// Sites beyond MAX_SITES are not taken: a flood of site names costs bounded memory.
bool SiteBridge::fromStrongest(const std::string& site, int32_t strength, int64_t nowNs) {
  auto found = myStrongest.find(site);
  if (found == myStrongest.end()) {
    if (myStrongest.size() >= MAX_SITES) return false;
    found = myStrongest.emplace(site, Strongest{strength, nowNs}).first;
  }
  Strongest& s = found->second;
  if (strength > s.strength || nowNs - s.heardNs > BRIDGE_STANDBY_NS) s.strength = strength;
  if (strength != s.strength) return false;
  s.heardNs = nowNs;
  return true;
}

void SiteBridge::injectSample(const void* data, uint64_t writer, int64_t nowNs) {
  const auto& sample = *static_cast<const mcagent_bridge_Batch*>(data);
  const std::string site = sample.site != nullptr ? sample.site : "";
  const uint32_t count = sample.datagrams._length;
  if (site == myOptions.site) {
    if (sample.strength > myOptions.strength) noteStandby(nowNs);
    return;
  }
  if (!fromStrongest(site, sample.strength, nowNs)) {
    myTally.weaker += count;
    return;
  }
  if (myKnownSites.try_emplace(site, true).second) std::fprintf(stderr, "agentctl bridge: hearing site %s\n", site.c_str());
  const SiteSequences::Verdict seen = mySequences.accept(site, writer, sample.first, count);
  myTally.lost += static_cast<long>(seen.lost);
  myTally.duplicates += seen.skip;
  myTally.received += count - seen.skip;
  if (nowNs < myStandbyUntilNs) {
    myTally.standbyDropped += count - seen.skip;
    return;
  }
  const uint64_t siteKey = std::hash<std::string>{}(site) >> 1;  // never the overflow key
  std::vector<iovec> datagrams;
  for (uint32_t i = seen.skip; i < count; ++i) {
    const RateBound::Verdict verdict = mySiteBound.admit(siteKey, nowNs);
    if (verdict != RateBound::Verdict::Pass) {
      ++myTally.siteDropped;
      if (verdict == RateBound::Verdict::FirstDrop) {
        std::fprintf(stderr, "agentctl bridge: dropping datagrams from site %s beyond %.0f a second\n", site.c_str(),
                     myOptions.siteRate);
      }
      continue;
    }
    const auto& bytes = sample.datagrams._buffer[i].bytes;
    datagrams.push_back(iovec{bytes._buffer, bytes._length});
  }
  if (datagrams.empty()) return;
  if (sendAll(datagrams)) {
    if (myLatencies.size() < LATENCIES_KEPT) myLatencies.push_back(realtimeNs() - sample.heard_ns);
  }
}

bool SiteBridge::sendAll(const std::vector<iovec>& datagrams) {
  const sockaddr_in group = groupSocketAddress();
  size_t sent = 0;
  for (size_t from = 0; from < datagrams.size(); from += GroupSocket::SEND_BATCH) {
    const size_t n = std::min(GroupSocket::SEND_BATCH, datagrams.size() - from);
    sent += mySender.sendEach(group, datagrams.data() + from, n);
  }
  myTally.injected += static_cast<long>(sent);
  return sent == datagrams.size();
}
