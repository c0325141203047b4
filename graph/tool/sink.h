// Ways for code outside a graph to receive what the graph produces, set up by editing the
// graph's configuration before the graph is initialised.
//
// Each helper appends nodes to the configuration. The callback helpers name an input side
// packet that the caller must supply when the run starts, holding the function to call;
// the sink helpers make the graph fill a vector or packet that the caller owns and reads
// after the run. Node and side-packet names are chosen so as not to collide with those
// already in the configuration: "foo_callback", then "foo_callback_02", and so on.
//
//   std::vector<Packet> packets;
//   tool::AddVectorSink("detections", &config, &packets);
//   // initialise and run the graph; afterwards `packets` holds every packet of the stream
//
// The nodes run these calculators, registered by name:
// - "CallbackCalculator": calls a function for every packet of one stream (side packet
//   "CALLBACK"), or for the packets of several streams at one timestamp at once (side
//   packet "VECTOR_CALLBACK"); an untagged side packet holds an older
//   `std::unique_ptr<Callback1<const Packet&>>` instead.
// - "CallbackWithHeaderCalculator": calls a function with every packet of the "INPUT"
//   stream and the stream's header (from the stream itself, or the first packet of the
//   "HEADER" stream).
// - "PellumoInternalSidePacketToPacketStreamCalculator": emits its input side packet once,
//   at Timestamp::PostStream(), and closes its output stream.

#ifndef QUILLMERE_GRAPH_TOOL_SINK_H_
#define QUILLMERE_GRAPH_TOOL_SINK_H_

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "graph/packet.h"
#include "graph_config/calculator.pb.h"

namespace kaldren {
namespace tool {

// Adds a node that calls a function for every packet of `stream_name`, in timestamp order,
// on the graph thread that runs the node. Stores in `callback_side_packet_name` the name of
// the side packet the caller must supply: a `std::function<void(const Packet&)>` when
// `use_std_function` is true, else a `std::unique_ptr<Callback1<const Packet&>>`.
void AddCallbackCalculator(const std::string& stream_name,
                           pellumo::CalculatorGraphConfig* config,
                           std::string* callback_side_packet_name,
                           bool use_std_function = false);

// Makes the graph append every packet of `stream_name` to `dumped_data`, which must
// outlive every run of the graph and be read only after a run has finished.
void AddVectorSink(const std::string& stream_name, pellumo::CalculatorGraphConfig* config,
                   std::vector<Packet>* dumped_data);

// Makes the graph store in `post_stream_packet` the packet of `stream_name` at
// Timestamp::PostStream(), if any. The same lifetime rules as for AddVectorSink apply.
void AddPostStreamPacketSink(const std::string& stream_name,
                             pellumo::CalculatorGraphConfig* config, Packet* post_stream_packet);

// Makes the graph store in `dumped_packet` the input side packet `side_packet_name`, at
// Timestamp::PostStream().
void AddSidePacketSink(const std::string& side_packet_name,
                       pellumo::CalculatorGraphConfig* config, Packet* dumped_packet);

// Adds a node that calls `callback` once per timestamp with the packets of `streams` at
// that timestamp, in the order of `streams` (an empty packet for a stream without one).
// `side_packet` receives the side packet to pass to the run: its name and a packet holding
// the callback. `streams` must not be empty.
void AddMultiStreamCallback(const std::vector<std::string>& streams,
                            std::function<void(const std::vector<Packet>&)> callback,
                            pellumo::CalculatorGraphConfig* config,
                            std::pair<std::string, Packet>* side_packet);

// Adds a node that calls a function with every packet of `stream_name` and the header of
// that stream, or else the first packet of `stream_header`. The side packet the caller
// supplies holds a `std::function<void(const Packet&, const Packet&)>` when
// `use_std_function` is true, else a `std::unique_ptr<Callback2<const Packet&, const
// Packet&>>`.
void AddCallbackWithHeaderCalculator(const std::string& stream_name,
                                     const std::string& stream_header,
                                     pellumo::CalculatorGraphConfig* config,
                                     std::string* callback_side_packet_name,
                                     bool use_std_function = false);

}  // namespace tool
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_TOOL_SINK_H_
