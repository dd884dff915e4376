// qtu-records: lists files of container records and converts them to and
// from pcap captures.
//   qtu-records list FILE
//   qtu-records to-pcap FILE OUT.pcap [--skip-vlan]
//   qtu-records from-pcap IN.pcap OUT
// Exit status: 0 done, 1 a file that cannot be read, is malformed or cannot
// be written, 64 a bad command line (also OUT naming IN), 130 interrupted.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "files.h"
#include "records.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
constexpr int kExitInterrupted = 130;

// Ctrl-C or SIGTERM: the output written so far is a temporary; remove it and end.
extern "C" void OnInterrupt(int) {
  qtu::records::RemovePendingOutput();
  _exit(kExitInterrupted);
}

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  InstallInterruptHandlers();
  CLI::App app{"Lists files of container records and converts them to and from pcap captures"};
  app.set_version_flag("--version", std::string("qtu-records ") + QTU_VERSION);
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version end with status 0, every other parse error is a usage error.
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }

  try {
    const qtu::records::InputFile in(input);
    if (list->parsed()) {
      qtu::records::ListRecords(in.bytes(), std::cout);
      std::cout.flush();
      if (!std::cout) throw std::runtime_error("cannot write the listing to standard output");
    } else if (toPcap->parsed()) {
      qtu::records::OutputFile out(output, in);
      const auto summary = qtu::records::WritePcap(in.bytes(), out.stream(), skipVlan);
      out.Commit();
      std::cerr << "qtu-records: wrote " << summary.frames << " frames to " << output;
      if (summary.skipped != 0) std::cerr << ", skipped " << summary.skipped << " records of other kinds";
      if (summary.cut != 0) std::cerr << ", cut " << summary.cut << " frames to 65536 bytes";
      std::cerr << '\n';
    } else if (fromPcap->parsed()) {
      qtu::records::OutputFile out(output, in);
      const size_t count = qtu::records::ReadPcap(in.bytes(), out.stream());
      out.Commit();
      std::cerr << "qtu-records: wrote " << count << " records to " << output << '\n';
    }
  } catch (const qtu::records::InputError& error) {
    std::cout.flush();
    std::cerr << "qtu-records: " << input << ": " << error.what() << '\n';
    return kExitFailed;
  } catch (const qtu::records::OutputError& error) {
    std::cerr << "qtu-records: " << output << ": " << error.what() << '\n';
    return kExitFailed;
  } catch (const qtu::records::UsageError& error) {
    std::cerr << "qtu-records: " << error.what() << '\n';
    return kExitUsage;
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "qtu-records: " << error.what() << '\n';
    return kExitFailed;
  }
  return 0;
}
