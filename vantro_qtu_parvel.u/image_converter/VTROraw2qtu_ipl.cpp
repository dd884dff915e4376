#include "VTROraw2qtu_ipl.h"

#include <algorithm>
#include <string>

#include "vtro/VTROIplImage.h"

using namespace image_converter;

VTROraw2qtu_ipl::VTROraw2qtu_ipl(const char* instanceName, const VTROComponentDefinition* definition)
    : VTROComponent(instanceName, definition) {}

void VTROraw2qtu_ipl::Birth() {
  const std::int64_t width = GetIntegerProperty("Width");
  const std::int64_t height = GetIntegerProperty("Height");
  m_bitsPerPixelIn = static_cast<std::int32_t>(GetIntegerProperty("BitPx_In"));
  m_usedBitsPerPixelIn = static_cast<std::int32_t>(GetIntegerProperty("UsedBitPx_In"));
  const std::int64_t inputFormat = GetIntegerProperty("InputFormat");
  const std::int64_t outputFormat = GetIntegerProperty("OutputFormat");
  m_inputFormat = static_cast<std::uint8_t>(inputFormat);
  m_outputFormat = static_cast<std::uint8_t>(outputFormat);

  // The model's sizes are 32-bit: check the 64-bit values before building it.
  const LayoutPlan plan = PlanImage(width, height, outputFormat);
  if (plan.status != LayoutStatus::kOk) Error(LayoutErrorText(plan, width, height).c_str(), 1, 0);
  m_width = static_cast<std::uint32_t>(width);
  m_height = static_cast<std::uint32_t>(height);

  const bool rgb = m_outputFormat == kOutputYuyv24;
  const IplImage model =
      IplImageModel(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), rgb ? "RGB" : "GRAY",
                    IPL_DATA_ORDER_PIXEL, rgb ? IPL_DEPTH_8U : IPL_DEPTH_16U, IPL_ALIGN_8BYTES);
  m_outputRowStep = model.widthStep;

  const std::string allocated = "Output Image allocated: Width=" + std::to_string(m_width) +
                                ", height=" + std::to_string(m_height) +
                                ", BitsPerPixel=" + std::to_string(model.nChannels * model.depth);
  ReportWarning(allocated.c_str());
  m_frameIn = Input(0);
  m_imageOut = Output(0);
  m_imageOut->AllocOutputBufferIplImage(&model, 0);
  m_announceConversion = true;
}

void VTROraw2qtu_ipl::Core() {
  VTROIOElt* in = StartReading(m_frameIn);
  if (in == nullptr) return;
  // The element's data is the bytes its writer wrote, never more than its buffer.
  const auto* data = static_cast<const std::uint8_t*>(in->Data());
  const std::size_t size =
      data == nullptr ? 0 : static_cast<std::size_t>(std::max(0, std::min(in->VectorSize(), in->BufferSize())));

  const ConverterSettings settings = {m_width,          m_height,      m_outputRowStep,
                                      m_bitsPerPixelIn, m_inputFormat, m_outputFormat};
  const HeaderChecks checks = CheckHeader(settings, data, size);
  if (!checks.headerPresent) {
    const std::string text = "Frame of " + std::to_string(size) + " bytes is shorter than its 64-byte frame header";
    ReportWarning(text.c_str());
  }
  if (checks.heightDiffers) ReportWarning("Height in Frame Header does not match user selection!");
  if (checks.bitsPerPixelDiffers) ReportWarning("BitPerPixel in Frame Header does not match user selection!");
  if (checks.frameSizeTooSmall) ReportWarning("Framesize in Frame Header is too small for image");

  VTROIOElt* out = StartWriting(m_imageOut);
  auto* image = reinterpret_cast<std::uint8_t*>(out->IplImageHeader()->imageData);
  if (m_outputFormat != kOutputYuyv24 && m_outputFormat != kOutputMono16) Error("Can't happen", 1, 0);
  // A pair that does not convert publishes the image as the buffer held it.
  if (FormatsConvert(settings)) Convert(data, size, image);
  out->SetTimestamp(in->Timestamp());
  StopWriting(out, false);
  StopReading(m_frameIn);
}

void VTROraw2qtu_ipl::Convert(const std::uint8_t* data, std::size_t size, std::uint8_t* image) {
  const ConverterSettings settings = {m_width,          m_height,      m_outputRowStep,
                                      m_bitsPerPixelIn, m_inputFormat, m_outputFormat};
  const bool yuv = m_inputFormat == kInputYuv422;
  if (m_announceConversion) {
    m_announceConversion = false;
    const std::string text =
        yuv ? "Transforming YUV422 (" + std::to_string(m_usedBitsPerPixelIn) +
                  " Bits per Pixel) to YUVU, saved in RGB24"
            : "Transforming Mono (" + std::to_string(m_usedBitsPerPixelIn) + " Bits per Pixel) to Mono 16 Bit";
    ReportInfo(text.c_str());
  }
  const ConversionResult counted = CountPixels(settings, size);
  if (counted.pixelsConverted < counted.pixelsExpected) {
    const std::string text = "Frame data ends before the image: converted " + std::to_string(counted.pixelsConverted) +
                             " of " + std::to_string(counted.pixelsExpected) + " pixels, the rest set to 0";
    ReportWarning(text.c_str());
  }
  // Each Mono pixel of more than 16 bits loses its upper bits: one warning per
  // pixel converted, as before its conversion.
  if (!yuv && m_bitsPerPixelIn > 16) {
    for (std::uint64_t i = 0; i < counted.pixelsConverted; ++i) {
      ReportWarning("Incoming data has more than 16 Bit per Px. Data loss may occure!");
    }
  }
  ConvertFrame(settings, data, size, image);
}
