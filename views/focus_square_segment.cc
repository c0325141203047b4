#include "views/focus_square_segment.h"

#include "base/logging.h"

namespace {

using Alignment = FocusSquare::Alignment;
using Corner = FocusSquare::Corner;
using Direction = FocusSquare::Direction;

}  // namespace

FocusSquare::Direction FocusSquare::reversed(Direction direction) {
  switch (direction) {
    case Direction::up: return Direction::down;
    case Direction::down: return Direction::up;
    case Direction::left: return Direction::right;
    case Direction::right: return Direction::left;
  }
  return direction;
}

FocusSquare::Segment::Segment(Corner corner, Alignment alignment)
    : corner_(corner),
      alignment_(alignment),
      plane_(alignment == Alignment::horizontal
                 ? SCNPlaneGeometry::planeWithWidth(length, thickness)
                 : SCNPlaneGeometry::planeWithWidth(thickness, length)) {}

std::shared_ptr<FocusSquare::Segment> FocusSquare::Segment::init(const std::string& name,
                                                                Corner corner,
                                                                Alignment alignment) {
  auto segment = std::make_shared<Segment>(corner, alignment);
  segment->setName(name);
  const std::shared_ptr<SCNMaterial> material = segment->plane_->firstMaterial();
  material->diffuse().setContents(primaryColor());
  material->setDoubleSided(true);
  material->ambient().setContents(UIColor::blackColor());
  material->setLightingModelName(SCNLightingModelConstant);
  material->emission().setContents(primaryColor());
  segment->setGeometry(segment->plane_);
  return segment;
}

std::shared_ptr<FocusSquare::Segment> FocusSquare::Segment::initWithCoder(NSCoder*) {
  LOG(FATAL) << "init(coder:) has not been implemented";
  __builtin_unreachable();
}

FocusSquare::Direction FocusSquare::Segment::openDirection() const {
  const bool vertical = alignment_ == Alignment::vertical;
  switch (corner_) {
    case Corner::topLeft: return vertical ? Direction::up : Direction::left;
    case Corner::topRight: return vertical ? Direction::up : Direction::right;
    case Corner::bottomRight: return vertical ? Direction::down : Direction::right;
    case Corner::bottomLeft: return vertical ? Direction::down : Direction::left;
  }
  return Direction::up;
}

void FocusSquare::Segment::open() {
  if (alignment_ == Alignment::horizontal) {
    plane_->setWidth(openLength);
  } else {
    plane_->setHeight(openLength);
  }
  // The outer end stays where it was, provided the segment was closed.
  const auto offset = static_cast<float>(length / 2 - openLength / 2);
  updatePosition(offset, openDirection());
}

void FocusSquare::Segment::close() {
  CGFloat old;
  if (alignment_ == Alignment::horizontal) {
    old = plane_->width();
    plane_->setWidth(length);
  } else {
    old = plane_->height();
    plane_->setHeight(length);
  }
  const auto offset = static_cast<float>(length / 2 - old / 2);
  updatePosition(offset, reversed(openDirection()));
}

void FocusSquare::Segment::updatePosition(float offset, Direction direction) {
  simd_float3 p = simdPosition();
  switch (direction) {
    case Direction::up: p.y -= offset; break;
    case Direction::down: p.y += offset; break;
    case Direction::left: p.x -= offset; break;
    case Direction::right: p.x += offset; break;
  }
  setSimdPosition(p);
}
