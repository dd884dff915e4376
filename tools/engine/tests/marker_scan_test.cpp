// Scanning package bytes for module markers.
#include "marker_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

namespace vtro_engine {
namespace {

using namespace std::string_literals;

TEST(MarkerScan, FindsEveryMarkerInBinaryBytes) {
  const std::string bytes = "\x7f" "ELF\0\0junk"s + "$!VTRO_MODULE!VTROComponent!QzQtuUnitClient!$!3.1.2!$" +
                            "\0\0\xff"s + "$!VTRO_MODULE!VTROComponent!QzQtuImageConverter!$!1.0.0!$" + "\0tail"s;
  const auto markers = ScanMarkers(bytes);
  ASSERT_EQ(markers.size(), 2u);
  EXPECT_EQ(markers[0].group, "VTROComponent");
  EXPECT_EQ(markers[0].name, "QzQtuUnitClient");
  EXPECT_EQ(markers[0].version, "3.1.2");
  EXPECT_EQ(markers[0].offset, 10u);
  EXPECT_EQ(markers[1].name, "QzQtuImageConverter");
  EXPECT_EQ(markers[1].version, "1.0.0");
}

TEST(MarkerScan, SkipsMalformedFragmentsAndFindsMarkersAfterThem) {
  const std::string good = "$!VTRO_MODULE!G!N!$!1!$";
  const std::vector<std::string> bad = {
      "$!VTRO_MODULE!",                     // cut off at the end
      "$!VTRO_MODULE!G!N!$!1.0",            // no closing "!$"
      "$!VTRO_MODULE!!N!$!1!$",             // empty group
      "$!VTRO_MODULE!G!!$!1!$",             // empty name
      "$!VTRO_MODULE!G!N!$!!$",             // empty version
      "$!VTRO_MODULE!G\nX!N!$!1!$",         // control byte in a field
      "$!VTRO_MODULE!G!" + std::string(kMaxMarkerField + 1, 'n') + "!$!1!$",  // overlong
  };
  for (const auto& b : bad) {
    EXPECT_TRUE(ScanMarkers(b).empty()) << b;
    const auto found = ScanMarkers(b + good);
    ASSERT_EQ(found.size(), 1u) << b;
    EXPECT_EQ(found[0].offset, b.size());
  }
  // A marker that starts inside a broken fragment is still found.
  const auto nested = ScanMarkers("$!VTRO_MODULE!G" + good);
  ASSERT_EQ(nested.size(), 1u);
  EXPECT_EQ(nested[0].group, "G");
  const std::string longest = "$!VTRO_MODULE!G!" + std::string(kMaxMarkerField, 'n') + "!$!1!$";
  EXPECT_EQ(ScanMarkers(longest).size(), 1u);
}

TEST(MarkerScan, CopiesOfAMarkerAreShownOnce) {
  const std::string a = "$!VTRO_MODULE!G!A!$!1!$";
  const std::string b = "$!VTRO_MODULE!G!B!$!1!$";
  const std::string a2 = "$!VTRO_MODULE!G!A!$!2!$";  // another version is another marker
  const auto unique = UniqueMarkers(ScanMarkers(a + b + a + a2 + b));
  ASSERT_EQ(unique.size(), 3u);
  EXPECT_EQ(unique[0].offset, 0u);
  EXPECT_EQ(unique[1].name, "B");
  EXPECT_EQ(unique[2].version, "2");
}

TEST(MarkerScan, StreamedWindowsFindWhatTheWholeScanFinds) {
  // Markers (whole, cut, nested, of the longest size) at random places,
  // many of them across window edges; the bytes come in random pieces.
  std::mt19937 random(3);
  const std::string longest(kMaxMarkerField, 'v');
  const std::vector<std::string> pieces = {"$!VTRO_MODULE!G!N!$!1!$", "$!VTRO_MODULE!G!" + longest + "!$!" + longest + "!$",
                                           "$!VTRO_MODULE!G!N!$!1", "$!VTRO_MODULE!G$!VTRO_MODULE!H!M!$!2!$", "!$"};
  std::string bytes;
  while (bytes.size() < 200000) {
    bytes.append(random() % 900, static_cast<char>(random() % 3 == 0 ? '!' : 'x'));
    bytes += pieces[random() % pieces.size()];
  }
  const auto whole = ScanMarkers(bytes);
  ASSERT_GT(whole.size(), 100u);
  for (const size_t window : {size_t{0}, 2 * kMaxMarkerBytes + 1, size_t{4096}, size_t{1} << 20}) {
    size_t at = 0;
    const auto read = [&](char* buffer, size_t capacity) {
      const size_t n = std::min({capacity, bytes.size() - at, size_t{1} + random() % 3000});
      std::memcpy(buffer, bytes.data() + at, n);
      at += n;
      return static_cast<long>(n);
    };
    std::vector<ModuleMarker> streamed;
    std::string error;
    ASSERT_TRUE(ScanMarkerStream(read, window, bytes.size(), streamed, error)) << error;
    ASSERT_EQ(streamed.size(), whole.size()) << window;
    for (size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(streamed[i].offset, whole[i].offset) << window << " #" << i;
      EXPECT_EQ(streamed[i].name, whole[i].name);
      EXPECT_EQ(streamed[i].version, whole[i].version);
    }
    // One byte more than allowed is refused, however it comes.
    at = 0;
    streamed.clear();
    EXPECT_FALSE(ScanMarkerStream(read, window, bytes.size() - 1, streamed, error));
    EXPECT_EQ(error, "more than " + std::to_string(bytes.size() - 1) + " bytes");
  }
}

TEST(MarkerScan, FileErrorsAreReportedNotThrown) {
  std::string error;
  EXPECT_FALSE(ScanMarkerFile("/nonexistent/vtro.pck", error));
  EXPECT_NE(error.find("/nonexistent/vtro.pck"), std::string::npos);
  error.clear();
  EXPECT_FALSE(ScanMarkerFile("/", error));
  EXPECT_NE(error.find("directory"), std::string::npos);

  const std::string path = testing::TempDir() + "markers.bin";
  {
    std::ofstream out(path, std::ios::binary);
    out << "\0\0"s << "$!VTRO_MODULE!VTROComponent!A!$!2.0!$" << "\0"s;
  }
  const auto markers = ScanMarkerFile(path, error);
  ASSERT_TRUE(markers);
  ASSERT_EQ(markers->size(), 1u);
  EXPECT_EQ((*markers)[0].name, "A");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vtro_engine
