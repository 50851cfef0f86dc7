#include "engine/mp_config.h"

namespace drover {

CMpConfig CMpConfig::CopyForNextObject() const {
  CMpConfig copy(*this);
  copy.FreeBuffers();
  return copy;
}

void CMpConfig::FreeBuffers() {
  m_pFileData = {};
  m_pFileCopy = {};
  m_pCodeData = {};
  m_pReadBuf = {};
  m_pCodeImage.reset();
  m_pFileImage.reset();
  m_imageState = ImageState{};
}

}  // namespace drover
