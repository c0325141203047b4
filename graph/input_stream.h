// The input stream a calculator reads during one invocation.
//
// A calculator sees, per input stream, the packet of the invocation's input timestamp
// (empty when the stream has none there), whether the stream is done, and the stream's
// header. The graph fills these in; calculators only read them.

#ifndef QUILLMERE_GRAPH_INPUT_STREAM_H_
#define QUILLMERE_GRAPH_INPUT_STREAM_H_

#include "graph/packet.h"

namespace kaldren {

class InputStream {
 public:
  InputStream() = default;
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // The packet of the current invocation, or an empty packet.
  virtual const Packet& Value() const = 0;
  virtual Packet& Value() = 0;
  // No packet will arrive on this stream any more.
  virtual bool IsDone() const = 0;

  virtual ~InputStream() = default;

  // The stream header; empty when none was set.
  const Packet& Header() const { return header_; }

 protected:
  Packet header_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_INPUT_STREAM_H_
