#include "platform/metal/pipeline.h"

#include "base/logging.h"

MTLRenderPipelineColorAttachmentDescriptor& MTLRenderPipelineColorAttachmentDescriptorArray::operator[](
    size_t index) {
  CHECK(index < kCount) << "colour attachment " << index << " beyond " << kCount - 1;
  return attachments_[index];
}

const MTLRenderPipelineColorAttachmentDescriptor& MTLRenderPipelineColorAttachmentDescriptorArray::operator[](
    size_t index) const {
  CHECK(index < kCount) << "colour attachment " << index << " beyond " << kCount - 1;
  return attachments_[index];
}
