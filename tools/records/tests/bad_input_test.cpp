// qtu-records given bad command lines and bad files, run as a process: each
// case ends by itself with its status and a message, and leaves the folder as
// it was (no temporary, no new file, an existing output unchanged).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "tool_process.h"

namespace {

using namespace qtu::containers::testing;
using qtu::tooltest::RunTool;
using qtu::tooltest::ToolProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RecordsBadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qtu-records-bad-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "folder");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const Bytes& data) const {
    std::ofstream(Path(name), std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    return Path(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) names.insert(entry.path().string());
    return names;
  }
  std::vector<std::string> Tool(std::vector<std::string> args) const {
    args.insert(args.begin(), QTU_RECORDS_BIN);
    return args;
  }

  fs::path dir_;
};

Bytes Capture(size_t copies) {
  Bytes one = MakeEthernetRecord(0x0800, Ipv4(17, Udp(30501, 30502, SomeIp(0x1234, 0x8001, {1, 2, 3}))));
  Bytes file;
  file.reserve(one.size() * copies);
  for (size_t i = 0; i < copies; ++i) Append(file, one);
  return file;
}

Bytes PcapWithPacket(uint32_t capturedLength) {
  Bytes pcap = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 0, 0, 0};
  const uint32_t fields[] = {1, 0, capturedLength, capturedLength};
  for (uint32_t v : fields) Append(pcap, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  Append(pcap, Bytes(60, 0x11));
  return pcap;
}

TEST_F(RecordsBadInput, EveryCaseEndsWithItsStatusAndAMessageAndLeavesNoFile) {
  const Bytes capture = Capture(3);
  const std::string one = std::to_string(capture.size() / 3);
  const std::string rec = Write("capture.rec", capture);
  const std::string pcap = Write("capture.pcap", PcapWithPacket(60));
  Write("cut.rec", Bytes(capture.begin(), capture.end() - 5));
  const Bytes whole = PcapWithPacket(60);
  Write("cut.pcap", Bytes(whole.begin(), whole.end() - 3));
  Write("empty", {});
  std::mt19937 random(12);
  Bytes noise(4096);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  Write("noise.bin", noise);
  Write("huge.pcap", PcapWithPacket(0xFFFFFFF0));
  Bytes longRecord = MakeRecord(3, 1, Bytes(18, 0), {});
  for (int i = 0; i < 4; ++i) longRecord[9 + i] = 0xFF;  // record length 4294967295
  Write("long.rec", longRecord);
  fs::resize_file(Write("sparse.rec", {}), uintmax_t{64} << 30);  // 64 GiB of zeros, no disk used
  fs::create_hard_link(pcap, Path("pcap.link"));
  fs::create_symlink(rec, Path("rec.symlink"));
  const std::string keep = Write("keep.out", {'k', 'e', 'e', 'p'});
  const std::set<std::string> before = Names();

  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{}, 64, "A subcommand is required"},
      {{"list"}, 64, "FILE is required"},
      {{"to-pcap", rec}, 64, "OUT is required"},
      {{"list", rec, "extra"}, 64, "not expected: extra"},
      {{"convert", rec}, 64, "A subcommand is required"},
      {{"to-pcap", rec, keep, "--skip"}, 64, "--skip"},
      {{"to-pcap", rec, rec}, 64, "is the input file itself"},
      {{"to-pcap", rec, Path("folder/../capture.rec")}, 64, "is the input file itself"},
      {{"to-pcap", rec, Path("rec.symlink")}, 64, "is the input file itself"},
      {{"from-pcap", pcap, Path("pcap.link")}, 64, "is the input file itself"},
      {{"list", Path("missing.rec")}, 1, "cannot open " + Path("missing.rec") + ": No such file or directory"},
      {{"list", Path("folder")}, 1, "is a directory"},
      {{"list", "/dev/zero"}, 1, "/dev/zero is not a regular file or a pipe"},
      {{"list", Path("cut.rec")}, 1, "record at offset " + std::to_string(capture.size() / 3 * 2) + ": record length " + one +
           " exceeds the " + std::to_string(capture.size() / 3 - 5) + " bytes left"},
      {{"list", Path("noise.bin")}, 1, "record at offset 0: record length"},
      {{"list", Path("long.rec")}, 1, "record length 4294967295 exceeds the 35 bytes left"},
      {{"list", Path("sparse.rec")}, 1, "record at offset 0: record length 0 is smaller"},
      {{"to-pcap", Path("cut.rec"), keep}, 1, "record length " + one + " exceeds"},
      {{"to-pcap", Path("noise.bin"), keep}, 1, "record at offset 0"},
      {{"to-pcap", Path("sparse.rec"), keep}, 1, "record at offset 0"},
      {{"from-pcap", Path("empty"), keep}, 1, "pcap file of 0 bytes is shorter than its 24-byte header"},
      {{"from-pcap", Path("cut.pcap"), keep}, 1, "captured length 60 exceeds the 57 bytes left"},
      {{"from-pcap", Path("noise.bin"), keep}, 1, "not a pcap file"},
      {{"from-pcap", rec, keep}, 1, "not a pcap file"},
      {{"from-pcap", Path("huge.pcap"), keep}, 1, "captured length 4294967280 exceeds"},
      {{"from-pcap", Path("missing.pcap"), keep}, 1, "No such file or directory"},
      {{"to-pcap", rec, Path("folder")}, 1, "is a directory"},
      {{"to-pcap", rec, Path("no-folder/out.pcap")}, 1, "cannot create " + Path("no-folder/out.pcap") + ": No such"},
      {{"to-pcap", rec, rec + "/out.pcap"}, 1, "Not a directory"},
      {{"to-pcap", rec, "/dev/full"}, 1, "cannot write /dev/full: No space left on device"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const auto r = RunTool(Tool(c.args), 20s);
    EXPECT_TRUE(r.Exited(c.status)) << "status " << r.status << " signal " << r.signal << " timed out " << r.timedOut
                                    << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (c.status == 1) {
      EXPECT_EQ(r.err.rfind("qtu-records: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(Names(), before) << "a file was left behind";
    EXPECT_EQ(Read("keep.out"), "keep");
  }
}

TEST_F(RecordsBadInput, AnInterruptedConversionLeavesTheOldOutput) {
  // Big enough that the conversion is still writing when the signal comes.
  const std::string rec = Write("capture.rec", Capture(600000));
  const std::string out = Write("out.pcap", {'o', 'l', 'd'});
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    ToolProcess process(Tool({"to-pcap", rec, out}));
    bool seen = false;  // the temporary beside out.pcap
    for (auto until = std::chrono::steady_clock::now() + 10s; !seen && std::chrono::steady_clock::now() < until;) {
      for (const auto& entry : fs::directory_iterator(dir_)) {
        seen = seen || entry.path().filename().string().rfind(".out.pcap.", 0) == 0;
      }
      if (!seen) std::this_thread::sleep_for(200us);
    }
    ASSERT_TRUE(seen) << "no temporary appeared";
    kill(process.pid(), signal);
    const auto r = process.Wait(20s);
    EXPECT_TRUE(r.Exited(130)) << r.status << " " << r.signal << " " << r.err;
    EXPECT_EQ(Read("out.pcap"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);  // folder, rec, out
  }
  // Uninterrupted, the same run replaces the old output in one step and keeps its mode.
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const auto r = RunTool(Tool({"to-pcap", rec, out}), 60s);
  ASSERT_TRUE(r.Exited(0)) << r.err;
  const uintmax_t frame = fs::file_size(rec) / 600000 - 17 - 18 + 14;  // record less its headers, plus MACs and type
  EXPECT_EQ(fs::file_size(out), 24 + 600000 * (16 + frame));
  EXPECT_EQ(fs::status(out).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(RunTool(Tool({"--version"})).Exited(0));
  EXPECT_EQ(RunTool(Tool({"--version"})).out, std::string("qtu-records ") + QTU_VERSION + "\n");
}

}  // namespace
