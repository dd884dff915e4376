// The component's reading and writing operations, which forward to the input
// or output (possibly of another package), and the IPL image model.
#include <cctype>
#include <cstring>
#include <exception>

#include "framework_internal.h"
#include "vtro/VTROComponent.h"

VTROIOElt* VTROComponent::StartReading(VTROInput* input) {
  if (IsDying()) throw VTRO::StopException;
  if (input == nullptr) return nullptr;
  try {
    return input->StartReading();
  } catch (int) {
    throw;  // 57005, -5 and the others are passed on
  } catch (...) {
    Error(vtro::Format("Failed to start reading on %s", input->FullName()).c_str(), 1, 0);
  }
  throw VTRO::ErrorException;  // Error does not return (a virtual call is not known as such)
}

void VTROComponent::StopReading(VTROInput* input) {
  if (input != nullptr) input->StopReading();
}

bool VTROComponent::DataAvailableInFIFO(VTROInput* input) { return input != nullptr && input->DataAvailable(); }

bool VTROComponent::SetReaderType(VTROInput* input, std::int32_t readerType) {
  if (input == nullptr || !input->SetReaderType(readerType)) return false;
  // The property follows (its handler does not run for this change).
  VTROStackedString name(input->ShortName());
  name.Append(".readerType");
  VTROProperty* property = FindProperty(name.c_str());
  if (property != nullptr) vtro::StoreInteger(this, property, readerType);
  return true;
}

VTROIOElt* VTROComponent::StartWriting(VTROOutput* output) {
  if (IsDying()) throw VTRO::StopException;
  if (output == nullptr) Error("Failed to start writing on a null output", 1, 0);
  try {
    return output->StartWriting();
  } catch (int) {
    throw;
  } catch (...) {
    Error(vtro::Format("Failed to start writing on %s", output->FullName()).c_str(), 1, 0);
  }
  throw VTRO::ErrorException;
}

void VTROComponent::StopWriting(VTROIOElt* element, bool discard) {
  if (element == nullptr) return;
  element->Output()->StopWriting(element, discard);
}

IplImage VTROComponent::IplImageModel(std::int32_t width, std::int32_t height, const char* colorModel,
                                      std::int32_t dataOrder, std::int32_t depth, std::int32_t align) {
  IplImage image{};
  image.nSize = static_cast<std::int32_t>(sizeof(IplImage));
  const char* model = colorModel != nullptr ? colorModel : "";
  for (std::size_t i = 0; i < 4 && model[i] != '\0'; ++i) {
    image.colorModel[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(model[i])));
    image.channelSeq[i] = image.colorModel[i];
  }
  if (std::strncmp(image.colorModel, "GRAY", 4) == 0) {
    image.nChannels = 1;
  } else if (image.colorModel[0] == 'A') {
    image.nChannels = 4;
  } else {
    image.nChannels = 3;
  }
  image.depth = depth;
  image.dataOrder = dataOrder;
  image.origin = IPL_ORIGIN_TL;
  image.align = align;
  image.width = width;
  image.height = height;
  // A row: width x channels x bits, in whole bytes, rounded up to the alignment.
  const std::int64_t bits = static_cast<std::int64_t>(depth & ~IPL_DEPTH_SIGN);
  const std::int64_t lineBytes = (static_cast<std::int64_t>(width) * image.nChannels * bits + 7) / 8;
  const std::int64_t step = align > 1 ? (lineBytes + align - 1) / align * align : lineBytes;
  image.widthStep = static_cast<std::int32_t>(step);
  image.imageSize = static_cast<std::int32_t>(step * height);
  return image;
}
