// Status handlers: components that the graph tells how a run went (before it starts and when
// it ends), reading side packets. A handler class has three static functions,
//
//   static absl::Status FillExpectations(const pellumo::PellumoOptions& options,
//                                        PacketTypeSet* input_side_packets);
//   static absl::Status HandlePreRunStatus(const pellumo::PellumoOptions& options,
//                                          const PacketSet& input_side_packets,
//                                          const absl::Status& pre_run_status);
//   static absl::Status HandleStatus(const pellumo::PellumoOptions& options,
//                                    const PacketSet& input_side_packets,
//                                    const absl::Status& run_status);
//
// reached through `StaticAccessToStatusHandlerTyped<Class>` in the status handler registry.

#ifndef QUILLMERE_GRAPH_STATUS_HANDLER_H_
#define QUILLMERE_GRAPH_STATUS_HANDLER_H_

#include "base/status.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"
#include "graph/registration_macros.h"
#include "graph_config/pellumo_options.pb.h"

namespace kaldren {
namespace internal {

class StaticAccessToStatusHandler {
 public:
  virtual ~StaticAccessToStatusHandler() = default;
  virtual absl::Status FillExpectations(const pellumo::PellumoOptions& extendable_options,
                                        PacketTypeSet* input_side_packets) = 0;
  virtual absl::Status HandlePreRunStatus(const pellumo::PellumoOptions& extendable_options,
                                          const PacketSet& input_side_packets,
                                          const absl::Status& pre_run_status) = 0;
  virtual absl::Status HandleStatus(const pellumo::PellumoOptions& extendable_options,
                                    const PacketSet& input_side_packets,
                                    const absl::Status& run_status) = 0;
};

template <typename T>
class StaticAccessToStatusHandlerTyped : public StaticAccessToStatusHandler {
 public:
  absl::Status FillExpectations(const pellumo::PellumoOptions& extendable_options,
                                PacketTypeSet* input_side_packets) final {
    return T::FillExpectations(extendable_options, input_side_packets);
  }
  absl::Status HandlePreRunStatus(const pellumo::PellumoOptions& extendable_options,
                                  const PacketSet& input_side_packets,
                                  const absl::Status& pre_run_status) final {
    return T::HandlePreRunStatus(extendable_options, input_side_packets, pre_run_status);
  }
  absl::Status HandleStatus(const pellumo::PellumoOptions& extendable_options,
                            const PacketSet& input_side_packets,
                            const absl::Status& run_status) final {
    return T::HandleStatus(extendable_options, input_side_packets, run_status);
  }
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_STATUS_HANDLER_H_
