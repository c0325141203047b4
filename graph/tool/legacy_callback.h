// Callback objects of the older calculator interface, and the adapter that lets a
// std::function call one.
//
// Older callers hand a callback node a `std::unique_ptr<Callback1<...>>` side packet in
// place of a function object. The side packet owns the callback; the node only borrows it
// through `CallbackFunctorImpl` for as long as the side packet lives (the whole run).

#ifndef QUILLMERE_GRAPH_TOOL_LEGACY_CALLBACK_H_
#define QUILLMERE_GRAPH_TOOL_LEGACY_CALLBACK_H_

template <typename Arg1>
class Callback1 {
 public:
  virtual ~Callback1() = default;
  // Whether the callback may run more than once.
  virtual bool IsRepeatable() const { return true; }
  // Ends the process when the callback may run only once.
  virtual void CheckIsRepeatable() const {}
  virtual void Run(Arg1 arg1) = 0;
};

template <typename Arg1, typename Arg2>
class Callback2 {
 public:
  virtual ~Callback2() = default;
  virtual bool IsRepeatable() const { return true; }
  virtual void CheckIsRepeatable() const {}
  virtual void Run(Arg1 arg1, Arg2 arg2) = 0;
};

namespace util {
namespace functional {
namespace internal {

// A copyable function object that runs a borrowed callback object. Copies share the
// pointer; none of them deletes it.
template <typename Callback>
class CallbackFunctorImpl {
 public:
  explicit CallbackFunctorImpl(Callback* callback) : callback_(callback) {}

  template <typename... Args>
  void operator()(Args&&... args) const {
    callback_->Run(static_cast<Args&&>(args)...);
  }

 private:
  Callback* callback_;
};

}  // namespace internal
}  // namespace functional
}  // namespace util

#endif  // QUILLMERE_GRAPH_TOOL_LEGACY_CALLBACK_H_
