// Scanning package bytes for module markers.
#include "marker_scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
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
