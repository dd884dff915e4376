// Buffers and typed access: allocation texts, the IPL image ring, the
// engine-enabled accessor checks and the failures of vtro_io_access.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <string>

#include "VTROIOElement.h"
#include "io_fixture.h"
#include "test_support.h"
#include "vtro/vtro_io_access.h"

struct Status {
  std::int64_t state;
  std::int64_t time;
};
VTRO_IO_STRUCTURE(Status);

namespace vtro_test {
namespace {

const VTROStackedString kStatusName("Status");

class IoAccess : public IoTest {
 protected:
  IoAccess() {
    model.record.outputs = entries;
    model.record.inputs = models.inputs[FifoReader];
  }
  // The report `call` left behind (it must raise -5).
  std::string Failure(const std::function<void()>& call) {
    const std::size_t before = engine->Reports().size();
    EXPECT_EQ(Raised(call), VTRO::ErrorException);
    const auto reports = engine->Reports();
    return reports.size() > before ? reports.back().text : std::string("(no report)");
  }
  TestComponent* Started(const char* name) {
    TestComponent* component = Make(name, model);
    component->core = [](TestComponent&) {};
    component->EngineStart();
    return component;
  }

  VTROOutputDefinition entries[9] = {
      {"status", nullptr, VTRO_TYPE_CUSTOM_STRUCTURE, &kStatusName, nullptr, 16, 4, 1, 1},
      {"small", nullptr, VTRO_TYPE_CUSTOM_STRUCTURE, &kStatusName, nullptr, 8, 4, 1, 1},
      {"coded", nullptr, VTRO_TYPE_STRUCTURE_CODE, &kStatusName, nullptr, 16, 4, 1, 1},
      {"samples", nullptr, VTRO_TYPE_INT64, nullptr, nullptr, 16, 4, 1, 1},
      {"value", nullptr, VTRO_TYPE_INT64, nullptr, nullptr, 1, 1, 1, 1},
      {"image", nullptr, VTRO_TYPE_IPL_IMAGE, nullptr, nullptr, 0, 4, 1, 1},
      {"records", nullptr, VTRO_TYPE_RECORD320, nullptr, nullptr, 2, 4, 1, 1},
      {"bytes", nullptr, VTRO_TYPE_BYTE_STREAM, nullptr, nullptr, 2, 4, 1, 1},
      {},
  };
  TestDefinition model{"Access", VTRO_THREADING_SEQUENTIAL, 0};
};

TEST_F(IoAccess, BufferFailuresKeepTheirTexts) {
  TestComponent* c = Started("c");
  TestComponent* d = Make("d", model);  // never started: nothing allocated
  const IplImage gray = VTROComponent::IplImageModel(5, 3, "gray", IPL_DATA_ORDER_PIXEL, IPL_DEPTH_16U, 8);
  IplImage negative = gray;
  negative.imageSize = -1;
  d->SetIntegerValue(d->Property("records.fifosize"), INT_MAX);
  struct Case {
    std::function<void()> call;
    std::string text;
  };
  const Case cases[] = {
      {[&] {
         VTROIOElt* element = c->StartWriting(c->Output("samples"));
         element->SetVectorSize(17);
         c->StopWriting(element);
       },
       "component c: Buffer overflow detected: VectorSize(17) > BufferSize(16)"},
      {[&] {
         c->Output("image")->AllocOutputBufferIplImage(&gray, 0);
         c->Output("image")->AllocOutputBufferIplImage(&gray, 0);
       },
       "component c: Output buffer already initialized. Can't initialize an output buffer twice."},
      {[&] { d->Output("image")->AllocOutputBufferIplImage(&negative, 0); },
       "component d: VTROOutputImplementation::AllocOutputBufferIplImage : [model.imageSize:-1] < 0"},
      {[&] { d->Output("value")->AllocOutputBuffer(8, 1); },
       "component d: Output d.value is a vector but its vector flag is not set."},
      {[&] { d->Output("records")->AllocOutputBuffer(INT_MAX, 1); },
       "component d: Requested buffer size [687194767040] is too big given the current FIFO size [2147483647] of output "
       "[d.records]. Please reduce the requested output buffer size and/or the output FIFO size such that "
       "(buffer_size * fifo_size) <= 18446744073709551615 (i.e. std::numeric_limits<size_t>::max)"},
      {[&] {
         c->StartWriting(c->Output("value"));
         c->StartWriting(c->Output("value"));
       },
       "component c: Output buffer fatal error : StartWriting has no space where to write. Check that each call to "
       "StartWriting has its corresponding call to StopWriting."},
  };
  for (const Case& each : cases) EXPECT_EQ(Failure(each.call), each.text);
  EXPECT_FALSE(d->Output("records")->IsAllocated());

  // Giving back an element the reader does not hold.
  VTROIOElt* element = c->StartWriting(c->Output("samples"));
  EXPECT_EQ(Failure([&] { c->Output("samples")->ReleaseElement(0, element); })
                .rfind("VTROFastIO fatal error : Stop reading without starting (X", 0),
            0u);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(IoAccess, AnAllocationFailureNamesItsCause) {
  TestComponent* d = Make("d", model);
  d->SetIntegerValue(d->Property("bytes.fifosize"), 1 << 20);
  EXPECT_EQ(Failure([&] { d->Output("bytes")->AllocOutputBuffer(INT_MAX, 1); }),
            "component d: Failed to allocate [buffer_size:2147483647 x fifo_size:1048576 = 2251799812636672] bytes for "
            "output [d.bytes] due to: std::bad_alloc: std::bad_alloc. Please reduce the requested output buffer size "
            "and/or the output FIFO size");
}
#endif

TEST_F(IoAccess, IplImageModelsAndTheirRing) {
  struct Case {
    const char* model;
    std::int32_t width, depth, align;
    const char* colorModel;
    std::int32_t channels, widthStep;
  };
  const Case cases[] = {
      {"gray", 5, IPL_DEPTH_16U, 8, "GRAY", 1, 16},
      {"RGB", 3, IPL_DEPTH_8U, 8, "RGB", 3, 16},
      {"argb", 2, IPL_DEPTH_8U, 4, "ARGB", 4, 8},
      {"bgr", 7, IPL_DEPTH_1U, 1, "BGR", 3, 3},
  };
  for (const Case& each : cases) {
    const IplImage image = VTROComponent::IplImageModel(each.width, 3, each.model, IPL_DATA_ORDER_PIXEL, each.depth,
                                                        each.align);
    EXPECT_EQ(image.nSize, 144);
    EXPECT_EQ(std::string(image.colorModel, strnlen(image.colorModel, 4)), each.colorModel);
    EXPECT_EQ(image.nChannels, each.channels) << each.model;
    EXPECT_EQ(image.widthStep, each.widthStep) << each.model;
    EXPECT_EQ(image.imageSize, each.widthStep * 3) << each.model;
  }

  TestComponent* c = Started("c");
  const IplImage gray = VTROComponent::IplImageModel(5, 3, "GRAY", IPL_DATA_ORDER_PIXEL, IPL_DEPTH_16U, 8);
  VTROOutput* output = c->Output("image");
  output->AllocOutputBufferIplImage(&gray, 0);
  std::vector<VTROIOElt*> elements;
  for (int i = 0; i < 4; ++i) elements.push_back(c->StartWriting(output));
  for (std::size_t i = 0; i < elements.size(); ++i) {
    IplImage* header = static_cast<IplImage*>(elements[i]->Data());
    EXPECT_EQ(elements[i]->IplImageHeader(), header);
    EXPECT_EQ(elements[i]->BufferSize(), 48);
    EXPECT_EQ(header->width, 5);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(header->imageData) % 8, 0u);
    EXPECT_EQ(header->imageDataOrigin, header->imageData);
    if (i > 0) {
      const char* previous = static_cast<IplImage*>(elements[i - 1]->Data())->imageData;
      EXPECT_GE(std::abs(header->imageData - previous), 48);  // pixels of their own
    }
  }
  for (VTROIOElt* element : elements) c->StopWriting(element, true);
}

TEST_F(IoAccess, AccessorsCheckOnlyWhenTheEngineAsks) {
  TestComponent* c = Started("c");
  VTROIOElt* samples = c->StartWriting(c->Output("samples"));
  VTROIOEltImplementation detached;  // no data, no type
  struct Case {
    std::function<void()> call;
    const char* text;
  };
  const Case cases[] = {
      {[&] { samples->Int64At(16); }, "Check error : Bad vector index during I/O element access."},
      {[&] { samples->Int64At(-1); }, "Check error : Bad vector index during I/O element access."},
      {[&] { samples->Float64At(0); }, "Check error : Incorrect typing during I/O element access."},
      {[&] { detached.Int64At(0); },
       "Check error : A NULL I/O Element was disregarded by a component (probably due a detachment not taken into "
       "account)."},
  };
  engine->SetIOCheckLevel(1);
  for (const Case& each : cases) {
    EXPECT_EQ(Failure(each.call), each.text);
    EXPECT_EQ(engine->Reports().back().level, 2);
    EXPECT_EQ(engine->Reports().back().frameworkFlag, 1);
  }
  EXPECT_EQ(samples->Int64At(15), static_cast<std::int64_t*>(samples->Data()) + 15);
  engine->SetIOCheckLevel(0);
  const std::size_t reports = engine->Reports().size();
  EXPECT_EQ(samples->Int64At(16), static_cast<std::int64_t*>(samples->Data()) + 16);  // not checked
  EXPECT_EQ(engine->Reports().size(), reports);
  c->StopWriting(samples, true);
}

TEST_F(IoAccess, TypedAccessFailuresNameTheirLine) {
  engine->SetDelivery(false);
  TestComponent* c = Started("c");
  TestComponent* reader = Make("r", model);
  ASSERT_TRUE(engine->Connect(c->Output("value"), reader->Input("in")));
  VTROIOElt* small = c->StartWriting(c->Output("small"));
  VTROIOElt* status = c->StartWriting(c->Output("status"));
  VTROIOElt* samples = c->StartWriting(c->Output("samples"));
  const std::string pointer = "T* VTRO::GetIOElementPointer(VTROIOElt*, std::size_t, bool) [with T = ";
  struct Case {
    std::function<void()> call;
    std::string head;       // the text up to the template's arguments
    std::string condition;  // after "]: "
  };
  const Case cases[] = {
      {[] { VTRO::GetIOElementPointer<std::int64_t>(nullptr, 0, true); }, "vtro_io_access:227 " + pointer,
       "[ioElt == NULL]"},
      {[&] { VTRO::GetIOElementPointer<std::int64_t>(samples, 2147483648u, true); }, "vtro_io_access:232 " + pointer,
       "[elementIndex:2147483648] > [INT_MAX:2147483647]"},
      {[&] { VTRO::GetIOElementPointer<double>(samples, 0, true); }, "vtro_io_access:257 " + pointer,
       "[ElementType != ioElt.Type] The requested ElementType is different from actual data type of the I/O element"},
      {[&] { VTRO::GetIOElementPointer<Status>(small, 0, true); }, "vtro_io_access:281 " + pointer,
       "[bufferElementCapacity:0] == [bufferSize:8] / [sizeOfElement:16]\n    This might happen if:\n    * The "
       "structure used in the upstream component is different from the one that is used in the downstream component "
       "(event if they both appear to have the same name)\n    * And/or the upstream component has not set the buffer "
       "size to be equal to [sizeof(structure) * elementCount]"},
      {[&] { VTRO::GetIOElementPointer<IplImage>(samples, 0, false); }, "vtro_io_access:294 " + pointer,
       "I/O type not supported"},
      {[&] { VTRO::GetIOElementPointer<Status>(status, 1, true); }, "vtro_io_access:304 " + pointer,
       "Element index is out of bounds. [elementIndex:1] >= [bufferElementCapacity:1]"},
      {[&] { VTRO::InputGuard<std::int64_t> guard(nullptr, reader->Input("in")); },
       "vtro_io_access:386 VTRO::InputGuard<T>::InputGuard(VTROComponent*, VTROInput*, bool) [with T = ",
       "Assertion Failed: m_component != NULL"},
  };
  for (const Case& each : cases) {
    const std::string text = Failure(each.call);
    EXPECT_EQ(text.rfind(each.head, 0), 0u) << text;
    const std::string tail = "]: " + each.condition;
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
  }

  // The guards' type checks, prefixed by the component's name.
  VTROIOElt* value = c->StartWriting(c->Output("value"));
  c->StopWriting(value);
  std::string text = Failure([&] { VTRO::InputGuard<double> guard(reader, reader->Input("in")); });
  EXPECT_EQ(text.rfind("r: vtro_io_access:392 VTRO::InputGuard<T>::InputGuard(", 0), 0u) << text;
  EXPECT_NE(text.find("]: The ElementType of the InputGuard of [input_name:in] doesn't match the actual type of the "
                      "input"),
            std::string::npos);
  EXPECT_FALSE(reader->Input("in")->IsReading());  // given back before the failure
  text = Failure([&] { VTRO::OutputGuard<double> guard(c, c->Output("value")); });
  EXPECT_EQ(text.rfind("c: vtro_io_access:", 0), 0u) << text;
  EXPECT_NE(text.find("The ElementType of the OutputGuard of [output_name:value] doesn't match the actual type of the "
                      "output"),
            std::string::npos);
  text = Failure([&] { VTRO::OutputGuard<double> guard(nullptr, c->Output("value")); });
  EXPECT_NE(text.find("Assertion Failed: m_component != NULL"), std::string::npos);

  // What works: both structure codes, and the element is published.
  for (const char* name : {"status", "coded"}) {
    VTRO::OutputGuard<Status> guard(c, c->Output(name));
    guard.Data()->state = 5;
    EXPECT_EQ(&guard[0], guard.Data());
  }
  EXPECT_EQ(c->Output("coded")->PublishedCount(), 1u);
  EXPECT_EQ(VTRO::GetIOElementPointer<std::int64_t>(samples, 15, true), static_cast<std::int64_t*>(samples->Data()) + 15);
  for (VTROIOElt* element : {small, status, samples}) c->StopWriting(element, true);
}

}  // namespace
}  // namespace vtro_test
