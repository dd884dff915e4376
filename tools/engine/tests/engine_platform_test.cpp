// The engine's platform layer as its callers rely on it, the same on every
// system: folder parts of package names, the kinds of opened files with
// their messages, reads in order and at offsets, the program's own path.
#include "platform/engine_platform.h"

#include "input_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace vtro_engine::platform {
namespace {

namespace fs = std::filesystem;
using vtro_engine::InputFile;

TEST(EnginePlatform, PackageNamesWithAFolderPart) {
  struct Case {
    const char* name;
    bool folder;
  };
  const Case cases[] = {
      {"vtro_testkit.pck", false}, {"./vtro_testkit.pck", true}, {"lib/a.pck", true}, {"a.b.pck", false},
#if defined(_WIN32)
      {"lib\\a.pck", true},        {"C:a.pck", true},            {"C:\\x\\a.pck", true},
#else
      {"lib\\a.pck", false},  // a backslash is part of a Linux file name
#endif
  };
  for (const auto& c : cases) EXPECT_EQ(HasFolder(c.name), c.folder) << c.name;
}

TEST(EnginePlatform, OpensFilesByKindAndReadsInOrderAndAtOffsets) {
  const fs::path dir = fs::temp_directory_path() / "vtro_engine_platform_test";
  fs::remove_all(dir);
  fs::create_directories(dir / "folder");
  std::ofstream(dir / "data.bin", std::ios::binary) << std::string("0123456789\n\r\nabc", 16);

  OpenedFile file;
  std::string error;
  ASSERT_TRUE(FileOpen((dir / "data.bin").string(), file, error)) << error;
  EXPECT_EQ(file.kind, FileKind::Regular);
  EXPECT_EQ(file.size, 16u);  // bytes as written: no text-mode translation
  char buffer[32] = {};
  EXPECT_EQ(FileReadAt(file.handle, 10, buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), std::string("\n\r\nabc", 6));
  EXPECT_EQ(FileReadAt(file.handle, 16, buffer, sizeof buffer), 0);
  EXPECT_EQ(FileReadAt(file.handle, 1000, buffer, sizeof buffer), 0);
  FileClose(file.handle);

  ASSERT_TRUE(FileOpen((dir / "data.bin").string(), file, error)) << error;
  EXPECT_EQ(FileRead(file.handle, buffer, 4), 4);
  EXPECT_EQ(FileRead(file.handle, buffer + 4, sizeof buffer), 12);
  EXPECT_EQ(FileRead(file.handle, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  FileClose(file.handle);

  // A folder: refused with the same message on every system (Windows cannot
  // open one as a file, POSIX opens it and tells its kind).
  const std::string folder = (dir / "folder").string();
  EXPECT_FALSE(InputFile::Open(folder, true, error));
  EXPECT_EQ(error, folder + " is a directory, not a file");
  const std::string missing = (dir / "missing.pck").string();
  EXPECT_FALSE(FileOpen(missing, file, error));
  EXPECT_EQ(error.rfind("cannot open " + missing + ": ", 0), 0u) << error;
  fs::remove_all(dir);
}

TEST(EnginePlatform, ExecutablePathIsThisProgram) {
  const fs::path exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(fs::exists(exe)) << exe;
  EXPECT_EQ(exe.stem().string(), "vtro_engine_parts_test");
}

}  // namespace
}  // namespace vtro_engine::platform
