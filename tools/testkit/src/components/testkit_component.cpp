#include "testkit_component.h"

#include <cmath>
#include <cstring>

namespace testkit {

std::int64_t TestkitComponent::IntegerIn(const char* name, std::int64_t low, std::int64_t high) {
  const std::int64_t value = GetIntegerProperty(name);
  if (value < low || value > high) {
    Fail(std::string(name) + " must be between " + std::to_string(low) + " and " + std::to_string(high) + ", not " +
         std::to_string(value));
  }
  return value;
}

double TestkitComponent::FloatIn(const char* name, double low, double high) {
  const double value = GetFloatProperty(name);
  if (!(value >= low && value <= high)) {
    Fail(std::string(name) + " must be between " + std::to_string(low) + " and " + std::to_string(high) + ", not " +
         std::to_string(value));
  }
  return value;
}

std::string TestkitComponent::Text(const char* name) { return GetStringProperty(name).c_str(); }

void TestkitSource::StartSource() {
  rate_ = FloatIn("Rate", 0, 1e6);
  count_ = static_cast<std::uint64_t>(IntegerIn("Count", 0, INT64_MAX));
  written_ = 0;
  start_ = CurrentTime(true, true);
  SetDone(false);
}

bool TestkitSource::NextDue() {
  if (count_ != 0 && written_ >= count_) {
    SetDone(true);
    // Nothing more to write: wait for the stop (Rest raises 57005 then).
    Rest(1'000'000);
    return false;
  }
  if (rate_ > 0) {
    const auto due = start_ + static_cast<std::int64_t>(std::llround(static_cast<double>(written_) * 1e6 / rate_));
    const std::int64_t now = CurrentTime(true, true);
    if (due > now) Rest(due - now);
  }
  return true;
}

void TestkitComponent::SetDone(bool done) {
  VTROProperty* property = FindProperty("Done");
  if (property == nullptr) return;
  VTROLock lock(PropertyValueLock());
  *static_cast<bool*>(property->ValueSlotLocation()) = done;
}

IplImage ImageModel(int width, int height, int channels, int depth) {
  IplImage image;
  std::memset(&image, 0, sizeof image);
  image.nSize = sizeof(IplImage);
  image.nChannels = channels;
  image.depth = depth == 16 ? IPL_DEPTH_16U : IPL_DEPTH_8U;
  const char* model = channels == 1 ? "GRAY" : "RGB";
  std::memcpy(image.colorModel, model, std::strlen(model));
  std::memcpy(image.channelSeq, model, std::strlen(model));
  image.dataOrder = IPL_DATA_ORDER_PIXEL;
  image.origin = IPL_ORIGIN_TL;
  image.align = IPL_ALIGN_8BYTES;
  image.width = width;
  image.height = height;
  image.widthStep = (width * channels * (depth / 8) + 7) / 8 * 8;
  image.imageSize = image.widthStep * height;
  return image;
}

}  // namespace testkit
