#include "graph/input_stream_shard.h"

namespace kaldren {

const std::string& InputStreamShard::Name() const {
  static const std::string* const kNoName = new std::string();
  return name_ == nullptr ? *kNoName : *name_;
}

}  // namespace kaldren
