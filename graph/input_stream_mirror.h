// What an output stream needs of a consuming node to feed one of its input streams.
//
// An output stream keeps a list of mirrors: one per downstream input stream, each a
// target (the consuming node's input stream handler) and the id of the input stream
// within it. Every packet, bound, header and queue limit of the output stream reaches
// the consumer through these operations, which report errors to the consumer's own
// error callback rather than to the producer.

#ifndef QUILLMERE_GRAPH_INPUT_STREAM_MIRROR_H_
#define QUILLMERE_GRAPH_INPUT_STREAM_MIRROR_H_

#include <list>

#include "graph/packet.h"
#include "graph/timestamp.h"
#include "graph_config/collection_item_id.h"

namespace kaldren {
namespace internal {

class InputStreamMirrorTarget {
 public:
  virtual ~InputStreamMirrorTarget() = default;

  // Queues copies of `packets` on input stream `id`.
  virtual void AddPackets(CollectionItemId id, const std::list<Packet>& packets) = 0;
  // Queues `packets` on input stream `id`, moving them out of the list.
  virtual void MovePackets(CollectionItemId id, std::list<Packet>* packets) = 0;
  virtual void SetNextTimestampBound(CollectionItemId id, Timestamp bound) = 0;
  virtual void SetHeader(CollectionItemId id, const Packet& header) = 0;
  virtual void SetMaxQueueSize(CollectionItemId id, int max_queue_size) = 0;
};

}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_INPUT_STREAM_MIRROR_H_
