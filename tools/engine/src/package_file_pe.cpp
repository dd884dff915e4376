// The package file check of the Windows build: packages are PE DLLs.
#include "input_file.h"
#include "package_layout.h"

namespace vtro_engine {

std::string CheckPackageFile(const std::string& path) {
  std::string error;
  auto file = InputFile::Open(path, false, error);
  if (!file) return error;
  return CheckPeLayout(file->Size(), [&file](uint64_t offset, void* buffer, size_t size) {
    return file->ReadAt(offset, buffer, size);
  });
}

}  // namespace vtro_engine
