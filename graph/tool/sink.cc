#include "graph/tool/sink.h"

#include <cstdio>
#include <memory>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/logging.h"
#include "base/status_builder.h"
#include "graph/calculator.h"
#include "graph/calculators/callback_packet_calculator.pb.h"
#include "graph/calculators/callback_packet_calculator.h"
#include "graph/tool/legacy_callback.h"
#include "graph_config/name_util.h"
#include "graph_config/status_util.h"

namespace kaldren {
namespace tool {
namespace {

using pellumo::CallbackPacketCalculatorOptions;

// Adds the node that hands `side_packet_name` out as a function writing into `target`.
void AddCallbackPacketNode(const std::string& side_packet_name,
                           CallbackPacketCalculatorOptions::PointerType type,
                           const void* target, pellumo::CalculatorGraphConfig* config) {
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  node->set_name(GetUnusedNodeName(
      *config, absl::StrCat("callback_packet_calculator_that_generators_", side_packet_name)));
  node->set_calculator("CallbackPacketCalculator");
  node->add_output_side_packet(side_packet_name);
  CallbackPacketCalculatorOptions* options =
      node->mutable_options()->MutableExtension(CallbackPacketCalculatorOptions::ext);
  options->set_type(type);
  char address[17];
  const int written = std::snprintf(address, sizeof(address), "%p", target);
  CHECK(written > 0 && written < static_cast<int>(sizeof(address)));
  options->set_pointer(address);
  RegisterCallbackPacketTarget(type, target);
}

}  // namespace

void AddCallbackCalculator(const std::string& stream_name,
                           pellumo::CalculatorGraphConfig* config,
                           std::string* callback_side_packet_name, bool use_std_function) {
  CHECK(config);
  CHECK(callback_side_packet_name);
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  node->set_name(GetUnusedNodeName(
      *config, absl::StrCat("callback_calculator_that_collects_stream_", stream_name)));
  node->set_calculator("CallbackCalculator");
  node->add_input_stream(stream_name);
  *callback_side_packet_name =
      GetUnusedSidePacketName(*config, absl::StrCat(stream_name, "_callback"));
  node->add_input_side_packet(use_std_function
                                  ? absl::StrCat("CALLBACK:", *callback_side_packet_name)
                                  : *callback_side_packet_name);
}

void AddVectorSink(const std::string& stream_name, pellumo::CalculatorGraphConfig* config,
                   std::vector<Packet>* dumped_data) {
  CHECK(config);
  CHECK(dumped_data);
  std::string side_packet_name;
  AddCallbackCalculator(stream_name, config, &side_packet_name, /*use_std_function=*/true);
  AddCallbackPacketNode(side_packet_name, CallbackPacketCalculatorOptions::VECTOR_PACKET,
                        dumped_data, config);
}

void AddPostStreamPacketSink(const std::string& stream_name,
                             pellumo::CalculatorGraphConfig* config,
                             Packet* post_stream_packet) {
  CHECK(config);
  CHECK(post_stream_packet);
  std::string side_packet_name;
  AddCallbackCalculator(stream_name, config, &side_packet_name, /*use_std_function=*/true);
  AddCallbackPacketNode(side_packet_name,
                        CallbackPacketCalculatorOptions::POST_STREAM_PACKET,
                        post_stream_packet, config);
}

void AddSidePacketSink(const std::string& side_packet_name,
                       pellumo::CalculatorGraphConfig* config, Packet* dumped_packet) {
  CHECK(config);
  CHECK(dumped_packet);
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  const std::string node_name = GetUnusedNodeName(
      *config, absl::StrCat("calculator_converts_side_packet_", side_packet_name));
  node->set_name(node_name);
  node->set_calculator("PellumoInternalSidePacketToPacketStreamCalculator");
  node->add_input_side_packet(GetUnusedSidePacketName(*config, side_packet_name));
  const std::string output_stream_name = absl::StrCat(node_name, "_output_stream");
  node->add_output_stream(output_stream_name);
  AddPostStreamPacketSink(output_stream_name, config, dumped_packet);
}

void AddMultiStreamCallback(const std::vector<std::string>& streams,
                            std::function<void(const std::vector<Packet>&)> callback,
                            pellumo::CalculatorGraphConfig* config,
                            std::pair<std::string, Packet>* side_packet) {
  CHECK(config);
  CHECK(side_packet);
  // Without an input stream the node would run as a source and call the callback with
  // empty vectors for ever.
  CHECK(!streams.empty()) << "AddMultiStreamCallback needs at least one stream.";
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  const std::string node_name =
      GetUnusedNodeName(*config, absl::StrCat("multi_callback_", absl::StrJoin(streams, "_")));
  node->set_name(node_name);
  node->set_calculator("CallbackCalculator");
  for (const std::string& stream : streams) node->add_input_stream(stream);
  side_packet->first = GetUnusedSidePacketName(*config, absl::StrCat(node_name, "_callback"));
  node->add_input_side_packet(absl::StrCat("VECTOR_CALLBACK:", side_packet->first));
  side_packet->second =
      MakePacket<std::function<void(const std::vector<Packet>&)>>(std::move(callback));
}

void AddCallbackWithHeaderCalculator(const std::string& stream_name,
                                     const std::string& stream_header,
                                     pellumo::CalculatorGraphConfig* config,
                                     std::string* callback_side_packet_name,
                                     bool use_std_function) {
  CHECK(config);
  CHECK(callback_side_packet_name);
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  node->set_name(GetUnusedNodeName(
      *config, absl::StrCat("callback_calculator_that_collects_stream_and_header_", stream_name,
                            "_", stream_header)));
  node->set_calculator("CallbackWithHeaderCalculator");
  node->add_input_stream(absl::StrCat("INPUT:", stream_name));
  node->add_input_stream(absl::StrCat("HEADER:", stream_header));
  *callback_side_packet_name = GetUnusedSidePacketName(
      *config, absl::StrCat(stream_name, "_", stream_header, "_callback"));
  node->add_input_side_packet(use_std_function
                                  ? absl::StrCat("CALLBACK:", *callback_side_packet_name)
                                  : *callback_side_packet_name);
}

using PacketCallback = std::function<void(const Packet&)>;
using VectorPacketCallback = std::function<void(const std::vector<Packet>&)>;
using HeaderPacketCallback = std::function<void(const Packet&, const Packet&)>;
using LegacyPacketCallback = std::unique_ptr<Callback1<const Packet&>>;
using LegacyHeaderPacketCallback = std::unique_ptr<Callback2<const Packet&, const Packet&>>;

// Calls a function for every packet of its input, or for the packets of all its inputs at
// one timestamp.
class CallbackCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    int count = 1;
    if (cc->InputSidePackets().HasTag("CALLBACK")) {
      cc->InputSidePackets().Tag("CALLBACK").Set<PacketCallback>();
    } else if (cc->InputSidePackets().HasTag("VECTOR_CALLBACK")) {
      cc->InputSidePackets().Tag("VECTOR_CALLBACK").Set<VectorPacketCallback>();
      count = cc->Inputs().NumEntries("");
      if (count < 1) return absl::OkStatus();
    } else {
      cc->InputSidePackets().Index(0).Set<LegacyPacketCallback>();
    }
    for (int i = 0; i < count; ++i) cc->Inputs().Index(i).SetAny();
    return absl::OkStatus();
  }

  absl::Status Open(CalculatorContext* cc) override {
    if (cc->InputSidePackets().HasTag("CALLBACK")) {
      callback_ = cc->InputSidePackets().Tag("CALLBACK").Get<PacketCallback>();
    } else if (cc->InputSidePackets().HasTag("VECTOR_CALLBACK")) {
      vector_callback_ =
          cc->InputSidePackets().Tag("VECTOR_CALLBACK").Get<VectorPacketCallback>();
    } else {
      // An empty legacy pointer would leave nothing to run: treat it like an empty function.
      Callback1<const Packet&>* legacy =
          cc->InputSidePackets().Index(0).Get<LegacyPacketCallback>().get();
      if (legacy != nullptr) {
        callback_ = util::functional::internal::CallbackFunctorImpl<Callback1<const Packet&>>(
            legacy);
      }
    }
    if (!callback_ && !vector_callback_) {
      return util::InvalidArgumentErrorBuilder() << "missing callback.";
    }
    return absl::OkStatus();
  }

  absl::Status Process(CalculatorContext* cc) override {
    if (callback_) {
      callback_(cc->Inputs().Index(0).Value());
    } else if (vector_callback_) {
      const int count = cc->Inputs().NumEntries("");
      std::vector<Packet> packets;
      packets.reserve(count);
      for (int i = 0; i < count; ++i) packets.push_back(cc->Inputs().Index(i).Value());
      vector_callback_(packets);
    }
    return absl::OkStatus();
  }

 private:
  PacketCallback callback_;
  VectorPacketCallback vector_callback_;
};

// Calls a function with every packet of "INPUT" and the header of that stream, or else the
// first packet of "HEADER".
class CallbackWithHeaderCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Tag("INPUT").SetAny();
    cc->Inputs().Tag("HEADER").SetAny();
    if (cc->InputSidePackets().UsesTags()) {
      // Asking for "CALLBACK" records it as missing when the node lacks it, which the
      // contract check then reports.
      cc->InputSidePackets().Tag("CALLBACK").Set<HeaderPacketCallback>();
    } else {
      cc->InputSidePackets().Index(0).Set<LegacyHeaderPacketCallback>();
    }
    return absl::OkStatus();
  }

  absl::Status Open(CalculatorContext* cc) override {
    if (cc->InputSidePackets().UsesTags()) {
      callback_ = cc->InputSidePackets().Tag("CALLBACK").Get<HeaderPacketCallback>();
    } else {
      auto* legacy = cc->InputSidePackets().Index(0).Get<LegacyHeaderPacketCallback>().get();
      if (legacy != nullptr) {
        callback_ = util::functional::internal::CallbackFunctorImpl<
            Callback2<const Packet&, const Packet&>>(legacy);
      }
    }
    if (!callback_) return util::InvalidArgumentErrorBuilder() << "callback is nullptr.";
    if (!cc->Inputs().HasTag("INPUT")) {
      return util::InvalidArgumentErrorBuilder() << "No input stream connected.";
    }
    if (!cc->Inputs().HasTag("HEADER")) {
      return util::InvalidArgumentErrorBuilder() << "No header stream connected.";
    }
    if (!cc->Inputs().Tag("INPUT").Header().IsEmpty()) {
      header_packet_ = cc->Inputs().Tag("INPUT").Header();
    }
    return absl::OkStatus();
  }

  absl::Status Process(CalculatorContext* cc) override {
    const Packet& input = cc->Inputs().Tag("INPUT").Value();
    if (!input.IsEmpty() && header_packet_.IsEmpty()) {
      return util::UnknownErrorBuilder() << "Header not available!";
    }
    if (header_packet_.IsEmpty() && !cc->Inputs().Tag("HEADER").Value().IsEmpty()) {
      header_packet_ = cc->Inputs().Tag("HEADER").Value();
    }
    if (!input.IsEmpty()) callback_(input, header_packet_);
    return absl::OkStatus();
  }

 private:
  HeaderPacketCallback callback_;
  Packet header_packet_;
};

namespace {

// Emits its input side packet once, at Timestamp::PostStream(), then closes its output.
class PellumoInternalSidePacketToPacketStreamCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Index(0).SetAny();
    cc->Outputs().Index(0).SetSameAs(&cc->InputSidePackets().Index(0));
    return absl::OkStatus();
  }

  absl::Status Open(CalculatorContext* cc) override {
    cc->Outputs().Index(0).AddPacket(
        cc->InputSidePackets().Index(0).At(Timestamp::PostStream()));
    cc->Outputs().Index(0).Close();
    return absl::OkStatus();
  }

  absl::Status Process(CalculatorContext* cc) override { return StatusStop(); }
};

}  // namespace

REGISTER_CALCULATOR(PellumoInternalSidePacketToPacketStreamCalculator);
REGISTER_CALCULATOR(CallbackCalculator);
REGISTER_CALCULATOR(CallbackWithHeaderCalculator);

}  // namespace tool
}  // namespace kaldren
