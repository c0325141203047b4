// Lets code that is not handed a context reach the context of the calculator call running
// on this thread, or the contract being filled by a calculator's static contract function.
//
// The node places a Scoped<CalculatorContext> guard around each Open, Process and Close;
// configuration validation places a Scoped<CalculatorContract> guard around each contract
// function. Guards nest: each restores the pointer it found.

#ifndef QUILLMERE_GRAPH_LEGACY_CALCULATOR_SUPPORT_H_
#define QUILLMERE_GRAPH_LEGACY_CALCULATOR_SUPPORT_H_

namespace kaldren {

class LegacyCalculatorSupport {
 public:
  template <class T>
  class Scoped {
   public:
    explicit Scoped(T* current) : saved_(current_) { current_ = current; }
    ~Scoped() { current_ = saved_; }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    // The pointer of the innermost guard alive on this thread, null outside every guard.
    static T* current() { return current_; }

   private:
    T* const saved_;
    static thread_local T* current_;
  };
};

template <class T>
thread_local T* LegacyCalculatorSupport::Scoped<T>::current_ = nullptr;

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_LEGACY_CALCULATOR_SUPPORT_H_
