#include "face_ml/detector_cache.h"

namespace pellumo {
namespace sorvanti {

void Cache::Discard(const std::string& type, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(FullKey(type, key));
  cond_.notify_all();
}

}  // namespace sorvanti
}  // namespace pellumo
