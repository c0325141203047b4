// The base of calculators of the legacy interface.
//
// Open, Process and Close take no arguments: a legacy calculator reaches its node through a
// context bound once, right after construction, by the wrapper that adapts it to
// kaldren::CalculatorBase. The accessors below forward to that context, so they work from
// Open on, never in the constructor. Each legacy class also supplies a static
// `FillExpectations(const CalculatorOptions&, PacketTypeSet* inputs, PacketTypeSet* outputs,
// PacketTypeSet* input_side_packets)` that declares its types.

#ifndef QUILLMERE_GRAPH_LEGACY_CALCULATOR_H_
#define QUILLMERE_GRAPH_LEGACY_CALCULATOR_H_

#include <string>

#include "base/status.h"
#include "graph/calculator_context.h"
#include "graph/calculator_state.h"
#include "graph/counter.h"
#include "graph/input_stream.h"
#include "graph/output_stream.h"
#include "graph/packet.h"
#include "graph/packet_set.h"
#include "graph/timestamp.h"
#include "graph_config/calculator_options.pb.h"

namespace pellumo {

class Calculator {
 public:
  Calculator() = default;
  Calculator(const Calculator&) = delete;
  Calculator& operator=(const Calculator&) = delete;
  virtual ~Calculator() = default;

  virtual absl::Status Open() { return absl::OkStatus(); }
  virtual absl::Status Process() = 0;
  virtual absl::Status Close() { return absl::OkStatus(); }

  // Orders source nodes in the scheduler: by default the smallest next timestamp bound of
  // the outputs, Timestamp::Max() without outputs.
  virtual kaldren::Timestamp SourceProcessOrder() const;

  // Binds the node's context (not null); only once.
  void SetContext(kaldren::CalculatorContext* context);

  // The node's streams and input side packets by tag and index.
  kaldren::InputStreamSet& Inputs() const;
  kaldren::OutputStreamSet& Outputs() const;
  const kaldren::PacketSet& InputSidePackets() const;
  // The only entry; fatal unless there is exactly one.
  kaldren::InputStream* Input() const;
  kaldren::OutputStream* Output() const;
  const kaldren::Packet& InputSidePacket() const;
  int NumInputs() const { return Inputs().NumEntries(); }
  int NumOutputs() const { return Outputs().NumEntries(); }
  int NumInputSidePackets() const { return InputSidePackets().NumEntries(); }

  // The timestamp of the current input set, Unset before the first one.
  kaldren::Timestamp InputTimestamp() const;
  // Sets the same output offset on every output stream.
  void SetOffset(kaldren::TimestampDiff offset);

  const CalculatorOptions& Options() const;
  const std::string& NodeName() const;
  const std::string& CalculatorType() const;
  kaldren::Counter* GetCounter(const std::string& name);

 private:
  // Ends the process when no context is bound yet.
  void CheckCalculatorContext() const;

  kaldren::CalculatorContext* calculator_context_ = nullptr;
};

}  // namespace pellumo

#endif  // QUILLMERE_GRAPH_LEGACY_CALCULATOR_H_
