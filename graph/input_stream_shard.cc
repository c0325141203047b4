#include "graph/input_stream_shard.h"

#include <utility>

#include "base/logging.h"

namespace kaldren {

const Packet& InputStreamShard::Value() const {
  return packet_queue_.empty() ? empty_packet_ : packet_queue_.front();
}

Packet& InputStreamShard::Value() {
  return packet_queue_.empty() ? empty_packet_ : packet_queue_.front();
}

const std::string& InputStreamShard::Name() const {
  static const std::string* const kNoName = new std::string();
  return name_ == nullptr ? *kNoName : *name_;
}

void InputStreamShard::AddPacket(Packet&& value, bool is_done) {
  CHECK(!is_done_ || value.IsEmpty());
  packet_queue_.push_back(std::move(value));
  is_done_ = is_done;
}

void InputStreamShard::ClearCurrentPacket() {
  if (!packet_queue_.empty()) packet_queue_.pop_front();
}

}  // namespace kaldren
