// qtu-records: lists files of container records and converts them to and
// from pcap captures.
//   qtu-records list FILE
//   qtu-records to-pcap FILE OUT.pcap [--skip-vlan]
//   qtu-records from-pcap IN.pcap OUT
#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "records.h"

namespace {

// Writes `path` through `produce`; a failed run leaves no half-written file.
template <typename F>
void WriteOutput(const std::string& path, F&& produce) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + path);
  try {
    produce(out);
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
  } catch (...) {
    out.close();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    throw;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Lists files of container records and converts them to and from pcap captures"};
  app.require_subcommand(1);
  std::string input;
  std::string output;
  bool skipVlan = false;

  auto* list = app.add_subcommand("list", "Print one JSON object per record");
  list->add_option("FILE", input, "File of container records")->required();

  auto* toPcap = app.add_subcommand("to-pcap", "Write the Ethernet records as a pcap capture");
  toPcap->add_option("FILE", input, "File of container records")->required();
  toPcap->add_option("OUT", output, "pcap file to write")->required();
  toPcap->add_flag("--skip-vlan", skipVlan, "Export frames with their VLAN tag removed");

  auto* fromPcap = app.add_subcommand("from-pcap", "Turn an Ethernet pcap capture into container records");
  fromPcap->add_option("IN", input, "pcap file to read")->required();
  fromPcap->add_option("OUT", output, "File of container records to write")->required();

  CLI11_PARSE(app, argc, argv);

  try {
    const std::vector<uint8_t> data = qtu::records::ReadFile(input);
    if (list->parsed()) {
      qtu::records::ListRecords(data, std::cout);
      std::cout.flush();
    } else if (toPcap->parsed()) {
      qtu::records::PcapSummary summary;
      WriteOutput(output, [&](std::ostream& out) { summary = qtu::records::WritePcap(data, out, skipVlan); });
      std::cerr << "qtu-records: wrote " << summary.frames << " frames to " << output;
      if (summary.skipped != 0) std::cerr << ", skipped " << summary.skipped << " records of other kinds";
      if (summary.cut != 0) std::cerr << ", cut " << summary.cut << " frames to 65536 bytes";
      std::cerr << '\n';
    } else if (fromPcap->parsed()) {
      size_t count = 0;
      WriteOutput(output, [&](std::ostream& out) { count = qtu::records::ReadPcap(data, out); });
      std::cerr << "qtu-records: wrote " << count << " records to " << output << '\n';
    }
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "qtu-records: " << input << ": " << error.what() << '\n';
    return 1;
  }
  return 0;
}
