// The objects into which callback-packet nodes may write.
//
// A callback-packet node finds its target object by an address written as text into its
// options. Options can come from a configuration file, so an address is honoured only when
// a sink helper of this process registered it for that kind of target: a forged or stale
// text cannot make the node write into arbitrary memory.

#ifndef QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_TARGET_H_
#define QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_TARGET_H_

#include "graph/calculators/callback_packet_calculator.pb.h"

namespace kaldren {

// Allows nodes to write objects of kind `type` at `target` from now on, for the rest of
// the process. `target` must not be null.
void RegisterCallbackPacketTarget(pellumo::CallbackPacketCalculatorOptions::PointerType type,
                                  const void* target);

// Whether `target` was registered for `type`.
bool IsRegisteredCallbackPacketTarget(
    pellumo::CallbackPacketCalculatorOptions::PointerType type, const void* target);

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_TARGET_H_
