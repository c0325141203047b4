// The output stream a calculator writes during one invocation.
//
// Nothing here returns an error to the calculator: a refused call changes nothing and its
// status goes to the stream's error callback, which makes it an error of the graph run.

#ifndef QUILLMERE_GRAPH_OUTPUT_STREAM_H_
#define QUILLMERE_GRAPH_OUTPUT_STREAM_H_

#include <string>

#include "graph/packet.h"
#include "graph/timestamp.h"

namespace kaldren {

class OutputStream {
 public:
  OutputStream() = default;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  virtual const std::string& Name() const = 0;

  // Outputs a packet at its own timestamp.
  virtual void AddPacket(const Packet& packet) = 0;
  virtual void AddPacket(Packet&& packet) = 0;

  // Promises that no packet below `timestamp` follows.
  virtual void SetNextTimestampBound(Timestamp timestamp) = 0;
  virtual Timestamp NextTimestampBound() const = 0;

  // No packet follows at all; the bound becomes Done.
  virtual void Close() = 0;
  virtual bool IsClosed() const = 0;

  // Output timestamps follow input timestamps at this distance; only in Open.
  virtual void SetOffset(TimestampDiff offset) = 0;
  virtual bool OffsetEnabled() const = 0;
  virtual TimestampDiff Offset() const = 0;

  // The stream header (a packet without timestamp); only in Open.
  virtual void SetHeader(const Packet& header) = 0;
  virtual const Packet& Header() const = 0;

  virtual ~OutputStream() = default;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_OUTPUT_STREAM_H_
