#pragma once
// What agentctl's DDS programs (the ROS 2 publisher, the site bridge) share: where their
// participant may talk, set up explicitly (a network namespace's own interfaces, unicast
// peers where multicast does not reach), and the quality-of-service profiles they use.
#include <dds/dds.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct DdsSettings {
  uint32_t domain = 0;                  // the DDS domain id (ROS_DOMAIN_ID for ROS 2)
  std::vector<std::string> interfaces;  // interface names or addresses; empty: Cyclone DDS picks one
  std::vector<std::string> peers;       // hosts or addresses for unicast discovery
  std::string configFile;               // a Cyclone DDS XML file read first; empty: CYCLONEDDS_URI if set
};

// Cyclone DDS's configuration for these settings: the user's file (or CYCLONEDDS_URI),
// then an XML fragment with the interfaces and peers, which takes precedence.
std::string cycloneConfig(const DdsSettings& settings, const char* environmentUri);

// A domain and one participant in it, deleted together.
class DdsParticipant {
 public:
  DdsParticipant() = default;
  ~DdsParticipant();
  DdsParticipant(const DdsParticipant&) = delete;
  DdsParticipant& operator=(const DdsParticipant&) = delete;

  // False with a one-line reason.
  bool open(const DdsSettings& settings, std::string& error);
  dds_entity_t handle() const { return myParticipant; }

 private:
  dds_entity_t myDomain = 0;
  dds_entity_t myParticipant = 0;
};

struct QosDeleter {
  void operator()(dds_qos_t* qos) const { dds_delete_qos(qos); }
};
using Qos = std::unique_ptr<dds_qos_t, QosDeleter>;

// ROS 2's profiles, in plain CDR as ROS 2's middlewares write it: the latched one of
// maps (reliable, transient local, the last sample kept), and the default one of
// streams (reliable, volatile, the last depth samples).
Qos latchedQos();
Qos streamQos(int32_t depth);

// A topic, a writer and a reader with a QoS; a negative handle with a reason in error.
dds_entity_t makeTopic(dds_entity_t participant, const dds_topic_descriptor_t* type, const std::string& name,
                       const dds_qos_t* qos, std::string& error);
dds_entity_t makeWriter(dds_entity_t participant, dds_entity_t topic, const dds_qos_t* qos, std::string& error);
dds_entity_t makeReader(dds_entity_t participant, dds_entity_t topic, const dds_qos_t* qos, std::string& error);
