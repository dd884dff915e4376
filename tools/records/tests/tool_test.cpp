// qtu-records end to end: the listing against what tshark reads from the pcap
// file the tool wrote, and bad input ending in a message, never a crash.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frames.h"

namespace {

using namespace qtu::containers::testing;
namespace fs = std::filesystem;

struct Result {
  int status;  // exit status, or -1 when killed by a signal
  std::string output;
};

Result RunCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int raw = pclose(pipe);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output};
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

class RecordsTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qtu-records-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const Bytes& data) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    return path.string();
  }
  std::string Tool(const std::string& args) { return std::string(QTU_RECORDS_BIN) + " " + args; }

  fs::path dir_;
};

// A capture of SOME/IP over UDP on IPv4 and IPv6 (plain, in a VLAN, behind an
// Authentication Header, as a SOME/IP-TP segment), TCP and a CAN record.
Bytes Recording() {
  Bytes file;
  Bytes two = SomeIp(0x1234, 0x8001, {1, 2, 3});
  Append(two, SomeIp(0x1234, 0x0002, {}, 0x00));
  Append(file, MakeEthernetRecord(0x0800, Ipv4(17, Udp(30501, 30502, two), {10, 1, 0, 5}, {10, 1, 0, 6}),
                                  1700000000123456));
  Bytes tagged = VlanTag(0x2064, 0x0800);
  Append(tagged, Ipv4(17, Udp(30502, 30501, SomeIp(0x0B00, 0x0010, Bytes(48, 0x77), 0x02, 2, true, 0x31)),
                      {192, 168, 7, 1}, {239, 0, 0, 1}));
  Append(file, MakeEthernetRecord(0x8100, tagged, 1700000000200000));
  Append(file, MakeRecord(1, 1700000000250000, Bytes(10, 0), {1, 2}));
  Append(file, MakeEthernetRecord(0x86DD, Ipv6(51, Ah(17, 4, Udp(30509, 30501, SomeIp(0x00FF, 0x8100, {9})))),
                                  1700000000300000));
  Append(file, MakeEthernetRecord(0x0800, Ipv4(6, Tcp(13400, 50000, {1}), {10, 1, 0, 7}, {10, 1, 0, 8}, 1),
                                  1700000000400000));
  return file;
}

std::string Num(const nlohmann::json& j) { return std::to_string(j.get<int64_t>()); }

// tshark prints SOME/IP fields in hex ("0x1234"); compare as numbers.
std::string Normalize(const std::string& value) {
  if (value.rfind("0x", 0) == 0) return std::to_string(std::stoull(value, nullptr, 16));
  return value;
}

void CompareWithTshark(const std::vector<nlohmann::json>& frames, const std::string& pcap) {
  const char* fields[] = {"frame.time_epoch", "eth.src", "eth.dst", "ip.src", "ip.dst", "ipv6.src", "ipv6.dst",
                          "udp.srcport", "udp.dstport", "tcp.srcport", "tcp.dstport", "someip.serviceid",
                          "someip.methodid", "someip.length", "someip.clientid", "someip.sessionid",
                          "someip.protoversion", "someip.interfaceversion", "someip.messagetype",
                          "someip.returncode", "someip.tp.offset", "someip.tp.flags.more_segments"};
  std::string command = "tshark -r " + pcap + " -T fields -E separator='|' -E occurrence=a -E aggregator=,";
  for (const char* f : fields) command += std::string(" -e ") + f;
  for (int port : {30501, 30502, 30509}) command += " -d udp.port==" + std::to_string(port) + ",someip";
  const Result r = RunCommand(command + " 2>/dev/null");
  ASSERT_EQ(r.status, 0) << r.output;
  const auto lines = Split(r.output, '\n');
  ASSERT_GE(lines.size(), frames.size());

  for (size_t i = 0; i < frames.size(); ++i) {
    const nlohmann::json& f = frames[i];
    SCOPED_TRACE("frame " + std::to_string(i) + ": " + lines[i]);
    const auto v = Split(lines[i], '|');
    ASSERT_EQ(v.size(), std::size(fields));
    const int64_t ts = f["timestamp"];
    char epoch[32];
    std::snprintf(epoch, sizeof epoch, "%lld.%06lld000", static_cast<long long>(ts / 1000000),
                  static_cast<long long>(ts % 1000000));
    EXPECT_EQ(v[0], epoch);
    EXPECT_EQ(v[1], f["mac1"]);  // the pcap frame starts with MAC address 2, the destination
    EXPECT_EQ(v[2], f["mac2"]);
    const bool v6 = f["ip_version"] == 6;
    EXPECT_EQ(v[v6 ? 5 : 3], f["src_ip"]);
    EXPECT_EQ(v[v6 ? 6 : 4], f["dst_ip"]);
    const bool udp = f["protocol"] == 17;
    EXPECT_EQ(v[udp ? 7 : 9], Num(f["src_port"]));
    EXPECT_EQ(v[udp ? 8 : 10], Num(f["dst_port"]));
    if (!udp) continue;
    ASSERT_TRUE(f.contains("someip"));
    const char* keys[] = {"service_id", "method_id", "length", "client_id", "session_id",
                          "protocol_version", "interface_version", "message_type", "return_code"};
    for (size_t k = 0; k < std::size(keys); ++k) {
      std::vector<std::string> expected;
      for (const auto& m : f["someip"]) expected.push_back(Num(m[keys[k]]));
      std::vector<std::string> seen;
      for (const auto& s : Split(v[11 + k], ',')) seen.push_back(Normalize(s));
      EXPECT_EQ(seen, expected) << keys[k];
    }
    std::vector<std::string> tpOffsets, tpMore;
    for (const auto& m : f["someip"]) {
      if ((m["message_type"].get<int>() & 0x20) == 0) continue;
      tpOffsets.push_back(std::to_string(m["tp_offset"].get<int64_t>() * 16));  // tshark shows bytes
      tpMore.push_back((m["tp_flags"].get<int>() & 1) != 0 ? "1" : "0");
    }
    EXPECT_EQ(v[20].empty() ? std::vector<std::string>{} : Split(v[20], ','), tpOffsets);
    std::vector<std::string> more;
    for (const auto& s : (v[21].empty() ? std::vector<std::string>{} : Split(v[21], ',')))
      more.push_back(s == "True" || s == "1" ? "1" : "0");
    EXPECT_EQ(more, tpMore);
  }
}

TEST_F(RecordsTool, TsharkReadsTheSameFieldsAsTheListing) {
  if (RunCommand("command -v tshark >/dev/null 2>&1").status != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string records = Write("capture.rec", Recording());
  const Result list = RunCommand(Tool("list " + records));
  ASSERT_EQ(list.status, 0) << list.output;
  std::vector<nlohmann::json> frames;
  for (const auto& line : Split(list.output, '\n')) {
    if (line.empty()) continue;
    auto j = nlohmann::json::parse(line);
    if (j["kind"] == "Ethernet") frames.push_back(j);
  }
  ASSERT_EQ(frames.size(), 4u);
  ASSERT_EQ(frames[0]["someip"].size(), 2u);
  ASSERT_EQ(frames[1]["someip"][0]["tp_flags"], 1);

  for (const char* flag : {"", " --skip-vlan"}) {
    SCOPED_TRACE(flag);
    const std::string pcap = (dir_ / "capture.pcap").string();
    const Result export_ = RunCommand(Tool("to-pcap " + records + " " + pcap + flag + " 2>&1"));
    ASSERT_EQ(export_.status, 0) << export_.output;
    EXPECT_NE(export_.output.find("wrote 4 frames"), std::string::npos) << export_.output;
    CompareWithTshark(frames, pcap);
    const Result vlan = RunCommand("tshark -r " + pcap + " -T fields -e vlan.id 2>/dev/null");
    EXPECT_EQ(Split(vlan.output, '\n')[1], *flag == '\0' ? "100" : "");
  }
}

TEST_F(RecordsTool, FromPcapReadsBackWhatToPcapWrote) {
  const Bytes recording = Recording();
  const std::string records = Write("capture.rec", recording);
  const std::string pcap = (dir_ / "capture.pcap").string();
  const std::string back = (dir_ / "back.rec").string();
  ASSERT_EQ(RunCommand(Tool("to-pcap " + records + " " + pcap + " 2>&1")).status, 0);
  const Result r = RunCommand(Tool("from-pcap " + pcap + " " + back + " 2>&1"));
  ASSERT_EQ(r.status, 0) << r.output;
  const Result a = RunCommand(Tool("list " + records));
  const Result b = RunCommand(Tool("list " + back));
  // Same Ethernet listings, apart from the offsets (the CAN record is not in the capture).
  auto ethernet = [](const std::string& text) {
    std::vector<nlohmann::json> out;
    for (const auto& line : Split(text, '\n')) {
      if (line.empty()) continue;
      auto j = nlohmann::json::parse(line);
      j.erase("offset");
      if (j["kind"] == "Ethernet") out.push_back(j);
    }
    return out;
  };
  EXPECT_EQ(ethernet(a.output), ethernet(b.output));
}

TEST_F(RecordsTool, BadInputEndsWithAMessageNamingTheOffset) {
  Bytes recording = Recording();
  Bytes cut(recording.begin(), recording.end() - 5);
  const std::string file = Write("cut.rec", cut);
  const Result list = RunCommand(Tool("list " + file + " 2>&1 >/dev/null"));
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.output.find("record at offset "), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("exceeds the"), std::string::npos) << list.output;

  const std::string pcap = (dir_ / "out.pcap").string();
  const Result exp = RunCommand(Tool("to-pcap " + file + " " + pcap + " 2>&1"));
  EXPECT_EQ(exp.status, 1) << exp.output;
  EXPECT_FALSE(fs::exists(pcap)) << "a failed export leaves no half-written file";

  const Result missing = RunCommand(Tool("list " + (dir_ / "none.rec").string() + " 2>&1"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("cannot open"), std::string::npos);

  const Result notPcap = RunCommand(Tool("from-pcap " + file + " " + (dir_ / "x.rec").string() + " 2>&1"));
  EXPECT_EQ(notPcap.status, 1);
  EXPECT_NE(notPcap.output.find("not a pcap file"), std::string::npos) << notPcap.output;

  EXPECT_NE(RunCommand(Tool("frobnicate 2>&1")).status, 0);
}

TEST_F(RecordsTool, EveryCutOfARecordingEndsCleanly) {
  // Each prefix of the recording either lists or ends with status 1; never a signal.
  const Bytes recording = Recording();
  for (size_t len = 0; len <= recording.size(); len += 7) {
    const std::string file = Write("prefix.rec", Bytes(recording.begin(), recording.begin() + len));
    const Result r = RunCommand(Tool("list " + file + " >/dev/null 2>&1"));
    ASSERT_TRUE(r.status == 0 || r.status == 1) << "length " << len << " status " << r.status;
  }
}

}  // namespace
