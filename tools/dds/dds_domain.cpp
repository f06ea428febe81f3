#include "tools/dds/dds_domain.h"

#include <cstdlib>

namespace {

// Text for an XML attribute: the five characters XML reserves, escaped.
std::string xmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

// An interface is named by its address when the text starts with a digit.
std::string interfaceElement(const std::string& interface) {
  const bool address = !interface.empty() && interface[0] >= '0' && interface[0] <= '9';
  return std::string("<NetworkInterface ") + (address ? "address" : "name") + "=\"" + xmlText(interface) + "\"/>";
}

std::string failure(const std::string& what, dds_return_t code) { return what + ": " + dds_strretcode(code); }

}  // namespace

std::string cycloneConfig(const DdsSettings& settings, const char* environmentUri) {
  std::string config;
  if (!settings.configFile.empty()) config = "file://" + settings.configFile;
  else if (environmentUri != nullptr) config = environmentUri;
  std::string fragment;
  if (!settings.interfaces.empty()) {
    fragment += "<General><Interfaces>";
    for (const std::string& i : settings.interfaces) fragment += interfaceElement(i);
    fragment += "</Interfaces></General>";
  }
  if (!settings.peers.empty()) {
    // Unicast discovery reaches a peer's participants at the ports their index gives.
    fragment += "<Discovery><ParticipantIndex>auto</ParticipantIndex><Peers>";
    for (const std::string& p : settings.peers) fragment += "<Peer address=\"" + xmlText(p) + "\"/>";
    fragment += "</Peers></Discovery>";
  }
  if (fragment.empty()) return config;
  if (!config.empty()) config += ",";
  return config + "<CycloneDDS><Domain id=\"any\">" + fragment + "</Domain></CycloneDDS>";
}

DdsParticipant::~DdsParticipant() {
  if (myParticipant > 0) dds_delete(myParticipant);
  if (myDomain > 0) dds_delete(myDomain);
}

bool DdsParticipant::open(const DdsSettings& settings, std::string& error) {
  const std::string config = cycloneConfig(settings, std::getenv("CYCLONEDDS_URI"));
  myDomain = dds_create_domain(settings.domain, config.empty() ? nullptr : config.c_str());
  if (myDomain < 0) {
    error = failure("cannot set up DDS domain " + std::to_string(settings.domain) +
                        " (check the interfaces, peers and configuration file)",
                    myDomain);
    return false;
  }
  myParticipant = dds_create_participant(settings.domain, nullptr, nullptr);
  if (myParticipant < 0) {
    error = failure("cannot join DDS domain " + std::to_string(settings.domain), myParticipant);
    return false;
  }
  return true;
}

namespace {

Qos rosQos(int32_t depth, dds_durability_kind_t durability) {
  Qos qos(dds_create_qos());
  dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  dds_qset_durability(qos.get(), durability);
  dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, depth);
  const dds_data_representation_id_t plainCdr = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(qos.get(), 1, &plainCdr);
  return qos;
}

}  // namespace

Qos latchedQos() { return rosQos(1, DDS_DURABILITY_TRANSIENT_LOCAL); }

Qos streamQos(int32_t depth) { return rosQos(depth, DDS_DURABILITY_VOLATILE); }

dds_entity_t makeTopic(dds_entity_t participant, const dds_topic_descriptor_t* type, const std::string& name,
                       const dds_qos_t* qos, std::string& error) {
  const dds_entity_t topic = dds_create_topic(participant, type, name.c_str(), qos, nullptr);
  if (topic < 0) error = failure("cannot create the DDS topic " + name, topic);
  return topic;
}

dds_entity_t makeWriter(dds_entity_t participant, dds_entity_t topic, const dds_qos_t* qos, std::string& error) {
  const dds_entity_t writer = dds_create_writer(participant, topic, qos, nullptr);
  if (writer < 0) error = failure("cannot create a DDS writer", writer);
  return writer;
}

dds_entity_t makeReader(dds_entity_t participant, dds_entity_t topic, const dds_qos_t* qos, std::string& error) {
  const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
  if (reader < 0) error = failure("cannot create a DDS reader", reader);
  return reader;
}
