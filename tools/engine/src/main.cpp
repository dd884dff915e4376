// vtro-engine: loads packages, lists and scans them, and starts components.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "listing.h"
#include "marker_scan.h"
#include "package.h"

namespace {

int Scan(const std::vector<std::string>& files) {
  int status = 0;
  for (const auto& file : files) {
    std::string error;
    const auto markers = vtro_engine::ScanMarkerFile(file, error);
    if (!markers) {
      std::cout << "error: " << error << "\n";
      status = 1;
      continue;
    }
    vtro_engine::PrintMarkers(std::cout, file, *markers);
  }
  return status;
}

int List(const std::vector<std::string>& packages) {
  int status = 0;
  for (const auto& path : packages) {
    std::string error;
    const auto package = vtro_engine::Package::Load(path, nullptr, error);
    if (!package) {
      std::cout << "error: " << error << "\n";
      status = 1;
      continue;
    }
    vtro_engine::PrintPackage(std::cout, *package);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "C");
  CLI::App app{"vtro-engine: host of component packages"};
  app.require_subcommand(1);

  std::vector<std::string> scanFiles;
  auto* scan = app.add_subcommand("scan", "module markers found in package files, without loading them");
  scan->add_option("FILE", scanFiles, "package file")->required();

  std::vector<std::string> listPackages;
  auto* list = app.add_subcommand("list", "components of packages with their elements");
  list->add_option("PACKAGE", listPackages, "package file")->required();

  CLI11_PARSE(app, argc, argv);
  if (scan->parsed()) {
    return Scan(scanFiles);
  }
  if (list->parsed()) {
    return List(listPackages);
  }
  return 2;
}
