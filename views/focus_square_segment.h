#ifndef VIEWS_FOCUS_SQUARE_SEGMENT_H_
#define VIEWS_FOCUS_SQUARE_SEGMENT_H_

// One bar of the focus square's outline: a thin plane at one corner of the square, lying along
// its horizontal or its vertical side. Closed, the bars of a side meet; open, each shrinks to
// 0.2 and keeps its end at the corner, so the square shows four brackets.
//
//   auto s = FocusSquare::Segment::init("s1", FocusSquare::Corner::topLeft,
//                                       FocusSquare::Alignment::horizontal);
//   s->open();    // 0.2 wide, moved 0.15 to the left
//   s->close();   // 0.5 wide, moved back
//
// A segment keeps no open flag: opening an open segment shrinks nothing but moves it again,
// and closing a closed one moves it by 0. The square calls them in turn. Node properties lock
// inside; the segment adds no state of its own after construction.

#include <memory>
#include <string>

#include "platform/foundation/ns_keyed_archiver.h"
#include "platform/scenekit/scn_plane.h"
#include "views/focus_square.h"

class FocusSquare::Segment : public SCNNode {
 public:
  static constexpr CGFloat thickness = 0.018;
  static constexpr CGFloat length = 0.5;
  static constexpr CGFloat openLength = 0.2;

  // A closed segment at the origin, coloured with the square's primary colour.
  static std::shared_ptr<Segment> init(const std::string& name, Corner corner,
                                       Alignment alignment);
  // Segments are never archived: ends the process.
  [[noreturn]] static std::shared_ptr<Segment> initWithCoder(NSCoder* coder);

  Segment(Corner corner, Alignment alignment);

  Corner corner() const { return corner_; }
  Alignment alignment() const { return alignment_; }
  const std::shared_ptr<SCNPlaneGeometry>& plane() const { return plane_; }

  // Towards the segment's corner, along its long side.
  virtual Direction openDirection() const;
  virtual void open();
  virtual void close();

 private:
  void updatePosition(float offset, Direction direction);

  const Corner corner_;
  const Alignment alignment_;
  const std::shared_ptr<SCNPlaneGeometry> plane_;
};

#endif  // VIEWS_FOCUS_SQUARE_SEGMENT_H_
