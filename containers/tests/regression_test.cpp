// Replays the fuzz corpus and every input that once failed the fuzz target.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "exercise.h"

namespace {

std::vector<std::filesystem::path> InputsIn(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  return files;
}

void Replay(const std::filesystem::path& dir) {
  const auto files = InputsIn(dir);
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    qtu::containers::fuzzing::ExerciseAll(data.data(), data.size());
  }
  ::testing::Test::RecordProperty("inputs", static_cast<int>(files.size()));
}

TEST(FuzzRegression, KeptInputsRunClean) { Replay(QTU_CONTAINERS_REGRESSIONS); }

TEST(FuzzRegression, SeedCorpusRunsClean) {
  ASSERT_FALSE(InputsIn(QTU_CONTAINERS_CORPUS).empty()) << "no seed corpus in " << QTU_CONTAINERS_CORPUS;
  Replay(QTU_CONTAINERS_CORPUS);
}

}  // namespace
