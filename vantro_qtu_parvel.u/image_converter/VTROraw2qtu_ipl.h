// QzQtuImageConverter: turns raw frames (a 64-byte frame header followed by
// 16-bit samples) from "frame_in" into IPL images on "QTU_IPLImage", with the
// input's timestamp. YUV422 samples become a 24-bit RGB image carrying both
// 10-bit samples bit-packed; Mono samples become a 16-bit grey image.
#pragma once

#include <cstdint>

#include "raw_frame.h"
#include "vtro/VTROComponent.h"

class VTROraw2qtu_ipl : public VTROComponent {
 public:
  VTROraw2qtu_ipl(const char* instanceName, const VTROComponentDefinition* definition);
  ~VTROraw2qtu_ipl() override = default;

  // Reads the properties, refuses an unsupported format, a negative width or
  // height and an image beyond the framework's size limits, and allocates the
  // output ring for images of the model.
  void Birth() override;
  // One input element: header checks (warnings, every frame), conversion,
  // publication with the input's timestamp.
  void Core() override;
  void Death() override {}

 private:
  // Converts into `image` and makes the conversion's reports.
  void Convert(const std::uint8_t* data, std::size_t size, std::uint8_t* image);

  // Fields set in Birth (read by Core on the same thread).
  std::uint32_t m_width = 0;
  std::uint32_t m_height = 0;
  std::int32_t m_outputRowStep = 0;
  std::int32_t m_bitsPerPixelIn = 0;
  std::int32_t m_usedBitsPerPixelIn = 0;
  std::uint8_t m_inputFormat = 0;
  std::uint8_t m_outputFormat = 0;
  bool m_announceConversion = false;
  VTROInput* m_frameIn = nullptr;
  VTROOutput* m_imageOut = nullptr;
};

// The component's definition record (registered as "VTROraw2qtu_ipl").
const VTROComponentDefinition& Raw2QtuIplDefinition();
