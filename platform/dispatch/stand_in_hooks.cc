#include "platform/dispatch/stand_in_hooks.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::dispatch {

namespace {

struct Observers {
  std::mutex mu;
  int next_id = 0;
  std::map<int, VirtualClockObserver> by_id;
};

Observers& TheObservers() {
  static Observers* const observers = new Observers;
  return *observers;
}

}  // namespace

int AddVirtualClockObserver(VirtualClockObserver observer) {
  Observers& o = TheObservers();
  std::lock_guard<std::mutex> lock(o.mu);
  const int id = o.next_id++;
  o.by_id.emplace(id, std::move(observer));
  return id;
}

void RemoveVirtualClockObserver(int id) {
  Observers& o = TheObservers();
  std::lock_guard<std::mutex> lock(o.mu);
  o.by_id.erase(id);
}

void internal::NotifyVirtualClockObservers(dispatch_time_t now) {
  std::vector<VirtualClockObserver> observers;
  {
    Observers& o = TheObservers();
    std::lock_guard<std::mutex> lock(o.mu);
    for (const auto& [id, observer] : o.by_id) observers.push_back(observer);
  }
  for (const VirtualClockObserver& observer : observers) observer(now);
}

}  // namespace platform::dispatch
