#include "graph/calculators/callback_packet_calculator.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/status_builder.h"
#include "graph/calculator.h"
#include "graph/calculators/callback_packet_calculator.pb.h"

namespace kaldren {
namespace {

using pellumo::CallbackPacketCalculatorOptions;
using PacketCallback = std::function<void(const Packet&)>;

// A kind of target and its address.
using Target = std::pair<int, const void*>;

struct Targets {
  std::mutex mutex;
  std::set<Target> registered;
};

// Lives for the process: registrations are never undone.
Targets& GetTargets() {
  static Targets* const targets = new Targets;
  return *targets;
}

void DumpToVector(std::vector<Packet>* dumped, const Packet& packet) {
  dumped->push_back(packet);
}

void DumpPostStreamPacket(Packet* post_stream_packet, const Packet& packet) {
  if (packet.Timestamp() == Timestamp::PostStream()) *post_stream_packet = packet;
}

}  // namespace

void RegisterCallbackPacketTarget(pellumo::CallbackPacketCalculatorOptions::PointerType type,
                                  const void* target) {
  CHECK(target != nullptr);
  Targets& targets = GetTargets();
  std::lock_guard<std::mutex> lock(targets.mutex);
  targets.registered.emplace(type, target);
}

bool IsRegisteredCallbackPacketTarget(
    pellumo::CallbackPacketCalculatorOptions::PointerType type, const void* target) {
  Targets& targets = GetTargets();
  std::lock_guard<std::mutex> lock(targets.mutex);
  return targets.registered.count({type, target}) > 0;
}

absl::Status CallbackPacketCalculator::GetContract(CalculatorContract* cc) {
  const auto& options = cc->Options<CallbackPacketCalculatorOptions>();
  switch (options.type()) {
    case CallbackPacketCalculatorOptions::VECTOR_PACKET:
    case CallbackPacketCalculatorOptions::POST_STREAM_PACKET:
      cc->OutputSidePackets().Index(0).Set<PacketCallback>();
      return absl::OkStatus();
    default:
      return util::InvalidArgumentErrorBuilder() << "Invalid type of callback to produce.";
  }
}

absl::Status CallbackPacketCalculator::Open(CalculatorContext* cc) {
  const auto& options = cc->Options<CallbackPacketCalculatorOptions>();
  void* address = nullptr;
  if (std::sscanf(options.pointer().c_str(), "%p", &address) != 1) {
    return util::InvalidArgumentErrorBuilder() << "Stored pointer value in options is invalid.";
  }
  switch (options.type()) {
    case CallbackPacketCalculatorOptions::VECTOR_PACKET:
    case CallbackPacketCalculatorOptions::POST_STREAM_PACKET:
      // A configuration can carry any text here; write only into objects that a sink
      // helper of this process set up for this kind of target.
      if (!IsRegisteredCallbackPacketTarget(options.type(), address)) {
        return util::InvalidArgumentErrorBuilder()
               << "Stored pointer value in options is invalid.";
      }
      break;
    default:
      return util::InvalidArgumentErrorBuilder() << "Invalid type to dump into.";
  }
  if (options.type() == CallbackPacketCalculatorOptions::VECTOR_PACKET) {
    cc->OutputSidePackets().Index(0).Set(Adopt(new PacketCallback(
        std::bind(&DumpToVector, static_cast<std::vector<Packet>*>(address),
                  std::placeholders::_1))));
  } else {
    cc->OutputSidePackets().Index(0).Set(Adopt(new PacketCallback(std::bind(
        &DumpPostStreamPacket, static_cast<Packet*>(address), std::placeholders::_1))));
  }
  return absl::OkStatus();
}

absl::Status CallbackPacketCalculator::Process(CalculatorContext* cc) {
  return absl::OkStatus();
}

REGISTER_CALCULATOR(CallbackPacketCalculator);

}  // namespace kaldren
