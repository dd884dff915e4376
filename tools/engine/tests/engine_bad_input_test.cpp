// vtro-engine given bad command lines and bad files, run as a process: every
// command (list, scan, start, run) ends by itself, with its status and a
// message naming the cause, starts nothing, and leaves the folder as it was.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tool_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qtu::tooltest::RunTool;
using Bytes = std::string;

const std::string kEngine = VTRO_ENGINE_BIN;
const std::string kPackage = VTRO_FWTEST_PCK;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A copy of an ELF file with its header, or its first program header of
// `type` (whose index `index` receives), changed.
Bytes EditHeader(Bytes bytes, const std::function<void(Elf64_Ehdr&)>& change) {
  Elf64_Ehdr header;
  std::memcpy(&header, bytes.data(), sizeof header);
  change(header);
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}
Bytes EditSegment(Bytes bytes, uint32_t type, const std::function<void(Elf64_Phdr&)>& change, size_t* index = nullptr) {
  Elf64_Ehdr header;
  std::memcpy(&header, bytes.data(), sizeof header);
  for (size_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    char* at = bytes.data() + header.e_phoff + i * sizeof segment;
    std::memcpy(&segment, at, sizeof segment);
    if (segment.p_type != type) continue;
    change(segment);
    std::memcpy(at, &segment, sizeof segment);
    if (index != nullptr) *index = i;
    return bytes;
  }
  ADD_FAILURE() << "no segment of type " << type;
  return bytes;
}

class EngineBadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vtro-engine-bad-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "folder");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const Bytes& data) const {
    std::ofstream(Path(name), std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    return Path(name);
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) names.insert(entry.path().string());
    return names;
  }

  fs::path dir_;
};

TEST_F(EngineBadInput, EveryCommandEndsWithItsStatusAndAMessageAndStartsNothing) {
  const Bytes package = ReadAll(kPackage);
  ASSERT_GT(package.size(), 100000u);
  const std::string size = std::to_string(package.size());
  std::mt19937 random(7);
  Bytes noise(4096, '\0');
  for (auto& b : noise) b = static_cast<char>(random());
  const std::string empty = Write("empty", "");
  const std::string junk = Write("noise.bin", noise);
  fs::resize_file(Write("sparse", ""), uintmax_t{64} << 30);  // 64 GiB of zeros, no disk used
  const std::string sparse = Path("sparse");
  const std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = Path("missing.pck");
  const std::string folder = Path("folder");
  const auto cut = [&](size_t n) { return Write("cut" + std::to_string(n) + ".pck", package.substr(0, n)); };
  const size_t half = package.size() / 2;
  const std::string cut40 = cut(40), cut300 = cut(300), cut3000 = cut(3000), cutHalf = cut(half),
                    cutLast = cut(package.size() - 1);

  Elf64_Ehdr header;
  std::memcpy(&header, package.data(), sizeof header);
  const auto head = [&](const std::string& name, const std::function<void(Elf64_Ehdr&)>& change) {
    return Write(name + ".pck", EditHeader(package, change));
  };
  const auto segment = [&](const std::string& name, uint32_t type, const std::function<void(Elf64_Phdr&)>& change,
                           size_t* index = nullptr) {
    return Write(name + ".pck", EditSegment(package, type, change, index));
  };
  size_t dynamicIndex = 0;
  const std::string class32 = head("class32", [](auto& h) { h.e_ident[EI_CLASS] = ELFCLASS32; });
  const std::string bigEndian = head("msb", [](auto& h) { h.e_ident[EI_DATA] = ELFDATA2MSB; });
  const std::string arm = head("arm", [](auto& h) { h.e_machine = EM_AARCH64; });
  const std::string object = head("rel", [](auto& h) { h.e_type = ET_REL; });
  const std::string exec = head("exec", [](auto& h) { h.e_type = ET_EXEC; });
  const std::string entry = head("phentsize", [](auto& h) { h.e_phentsize = 32; });
  const std::string many = head("phnum", [&](auto& h) {
    h.e_phnum = 0xffff;
    h.e_phoff = package.size() - 100;
  });
  const std::string far = head("phoff", [](auto& h) { h.e_phoff = uint64_t{1} << 63; });
  const std::string huge = segment("filesz", PT_LOAD, [](auto& p) { p.p_filesz = p.p_memsz = uint64_t{1} << 62; });
  const std::string overfull = segment("memsz", PT_LOAD, [](auto& p) { p.p_memsz = 0; });
  const std::string outside = segment("dynamic", PT_DYNAMIC, [](auto& p) { p.p_vaddr += 1ull << 40; }, &dynamicIndex);
  const std::string undynamic = segment("nodynamic", PT_DYNAMIC, [](auto& p) { p.p_type = PT_NULL; });
  const std::string randomBody = Write("randombody.pck", package.substr(0, 64) + noise);

  const auto diagram = [&](const std::string& name, const std::string& text) { return Write(name + ".json", text); };
  const auto withPackage = [&](const std::string& pck, const std::string& properties = R"({"Required": 1})") {
    return R"({"packages": [")" + pck + R"("], "components": [{"model": "FwTestProperties", "name": "pr", "properties": )" +
           properties + "}]}";
  };
  const std::string good = diagram("good", withPackage(kPackage));
  const std::string nested = diagram("nested", R"({"packages": [)" + std::string(100000, '[') +
                                                   std::string(100000, ']') + R"(], "components": []})");
  const std::string open = diagram("open", std::string(1000000, '['));
  const std::string longText = diagram("long", withPackage(kPackage, R"({"Required": 1, "Label": ")" +
                                                                         std::string(2 << 20, 'x') + R"("})"));
  const std::string tooBig = diagram("toobig", R"({"packages": [], "x": ")" + std::string(17 << 20, 'x') + R"("})");
  const std::string bigNumber = diagram("number", withPackage(kPackage, R"({"Count": 1e999})"));
  const std::string forever = diagram("forever", withPackage(kPackage).insert(1, R"("run": {"for_s": 1e300}, )"));
  const std::string cutDiagram = diagram("cutpackage", withPackage(cut3000));
  const std::string elfDiagram = diagram("elf", withPackage(VTRO_NOENTRY_PCK));
  const std::string array = diagram("array", "[1, 2]"), string = diagram("string", "\"diagram\"");
  const std::set<std::string> before = Names();

  const std::string start = "start";
  const std::vector<std::string> props = {"start", kPackage, "FwTestProperties", "--name", "pr", "--set", "Required=1"};
  const auto startWith = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = props;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{}, 64, "A subcommand is required"},
      {{"--bogus"}, 64, "A subcommand is required"},
      // list: files that are no package, or one cut short or damaged.
      {{"list"}, 64, "PACKAGE is required"},
      {{"list", kPackage, "--all"}, 64, "--all"},
      {{"list", missing}, 1, "cannot load package " + missing + ": cannot open " + missing + ": No such file or directory"},
      {{"list", folder}, 1, folder + " is a directory, not a file"},
      {{"list", "/dev/zero"}, 1, "/dev/zero is not a regular file"},
      {{"list", fifo}, 1, fifo + " is not a regular file"},
      {{"list", empty}, 1, "the file is empty"},
      {{"list", junk}, 1, "not an ELF file (a package is a shared library)"},
      {{"list", sparse}, 1, "not an ELF file"},
      {{"list", cut40}, 1, "the ELF header is cut short: the file has 40 bytes"},
      {{"list", cut300}, 1, "the table of " + std::to_string(header.e_phnum) + " program headers at offset 64 ends at byte"},
      {{"list", cut3000}, 1, "segment #0 (loadable, "},
      {{"list", cutHalf}, 1, "past the end of the file (" + std::to_string(half) + " bytes): the file is cut short"},
      {{"list", cutLast}, 1, "section headers at offset " + std::to_string(header.e_shoff) +
                                                 " ends at byte " + size},
      {{"list", class32}, 1, "a 32-bit ELF file; this engine loads 64-bit packages"},
      {{"list", bigEndian}, 1, "a big-endian ELF file"},
      {{"list", arm}, 1, "built for ELF machine 183, not for this processor (62)"},
      {{"list", object}, 1, "not a shared library but a relocatable object (ELF type 1)"},
      {{"list", exec}, 1, "not a shared library but an executable (ELF type 2)"},
      {{"list", entry}, 1, "program header entries of 32 bytes, not 56"},
      {{"list", many}, 1, "the table of 65535 program headers at offset " + std::to_string(package.size() - 100) +
                              " ends at byte " + std::to_string(package.size() - 100 + 65535 * 56)},
      {{"list", far}, 1, "program headers at offset 9223372036854775808 ends at byte"},
      {{"list", huge}, 1, "(loadable, 4611686018427387904 bytes at offset 0) ends at byte 4611686018427387904"},
      {{"list", overfull}, 1, "holds more bytes in the file than in memory"},
      {{"list", outside}, 1, "segment #" + std::to_string(dynamicIndex) + " (dynamic, "},
      {{"list", undynamic}, 1, "no dynamic section: not a shared library"},
      {{"list", randomBody}, 1, "cannot load package " + randomBody + ": "},
      {{"list", VTRO_NOENTRY_PCK}, 1, "lacks the entry point VTROPckInit"},
      {{"list", kEngine}, 1, "cannot dynamically load position-independent executable"},
      // scan reads bytes without loading: a file without markers is no error.
      {{"scan"}, 64, "FILE is required"},
      {{"scan", missing}, 1, "cannot open " + missing + ": No such file or directory"},
      {{"scan", folder}, 1, "is a directory, not a file"},
      {{"scan", "/dev/zero"}, 1, "/dev/zero is not a regular file or a pipe"},
      {{"scan", sparse}, 1, "it has 68719476736 bytes, more than the 1 GiB this engine scans"},
      {{"scan", empty}, 0, empty + ": no module markers"},
      {{"scan", fifo}, 0, fifo + ": no module markers"},
      {{"scan", junk}, 0, junk + ": no module markers"},
      // start refuses before the start whatever the engine or the component refused.
      {{start, kPackage}, 64, "MODEL is required"},
      {startWith({"--for", "-1"}), 64, "'-1' is not 0 to 1e9 seconds"},
      {startWith({"--for", "nan"}), 64, "'nan' is not 0 to 1e9 seconds"},
      {startWith({"--for", "1e10"}), 64, "'1e10' is not 0 to 1e9 seconds"},
      {startWith({"--runs", "0"}), 64, "--runs: Value 0 not in range 1 to 2147483647"},
      {startWith({"--runs", "99999999999"}), 64, "--runs: Value 99999999999 not in range 1 to 2147483647"},
      {startWith({"--speed", "99999999999"}), 64, "Could not convert: --speed = 99999999999"},
      {startWith({"--set", "Format"}), 64, "--set needs PROPERTY=VALUE or NAME.PROPERTY=VALUE, not 'Format'"},
      {startWith({"--set", "Format=Nope"}), 64, "error: component pr refused Format=Nope (it reported an error)"},
      {startWith({"--set", "Count=" + std::string(100000, '9')}), 64, "does not take '99999"},
      {startWith({"--act", "Nope"}), 64, "error: component pr has no action Nope"},
      {startWith({"--at", "1e300:stop"}), 64, "timed event '1e300:stop' has no valid time in seconds"},
      {startWith({"--at", "1:speed:4294967296"}), 64, "needs a 32-bit number after 'speed:'"},
      {{start, cutHalf, "FwTestRest"}, 1, "the file is cut short"},
      {{start, missing, "FwTestRest"}, 1, "No such file or directory"},
      {{start, kPackage, "FwTestRest", "--package", junk}, 1, "not an ELF file"},
      // run refuses a diagram it cannot read or build with 2, a bad command line with 64.
      {{"run"}, 64, "DIAGRAM is required"},
      {{"run", good, "--for", "nan"}, 64, "'nan' is not 0 to 1e9 seconds"},
      {{"run", good, "--runs", "0"}, 64, "--runs: Value 0 not in range 1 to 2147483647"},
      {{"run", missing}, 2, "cannot open " + missing},
      {{"run", folder}, 2, "is a directory, not a file"},
      {{"run", "/dev/zero"}, 2, "/dev/zero is not a regular file or a pipe"},
      {{"run", fifo}, 2, "line 1, column 1: bad JSON"},
      {{"run", empty}, 2, "line 1, column 1: bad JSON"},
      {{"run", junk}, 2, "bad JSON"},
      {{"run", sparse}, 2, sparse + " is larger than the 16 MiB this engine reads"},
      {{"run", tooBig}, 2, " is larger than the 16 MiB this engine reads"},
      {{"run", array}, 2, "(top): a diagram is an object, not an array"},
      {{"run", string}, 2, "(top): a diagram is an object, not a string"},
      {{"run", nested}, 2, "packages[0]: must be a package file name, not an array"},
      {{"run", open}, 2, "bad JSON"},
      {{"run", longText}, 2, "the value for pr.Label has 2097152 bytes, more than the 1 MiB a property takes"},
      {{"run", bigNumber}, 2, "bad JSON: number overflow"},
      {{"run", forever}, 2, "run.for_s: must be between 0 and 1e9 seconds"},
      {{"run", good, "--set", "pr.Format=Nope"}, 2, "--set pr.Format=Nope: component pr refused Format=Nope"},
      {{"run", cutDiagram}, 2, "packages[0]: cannot load package " + Path("cut3000.pck") + ": segment #0"},
      {{"run", elfDiagram}, 2, "lacks the entry point VTROPckInit"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += (a.size() > 80 ? a.substr(0, 60) + "..." : a) + " ";
    SCOPED_TRACE(line);
    std::vector<std::string> argv{kEngine};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = RunTool(argv, 20s);
    const std::string all = r.out + r.err;
    EXPECT_TRUE(r.Exited(c.status)) << "status " << r.status << " signal " << r.signal << " timed out " << r.timedOut
                                    << "\n" << all.substr(0, 2000);
    EXPECT_NE(all.find(c.message), std::string::npos) << all.substr(0, 2000);
    EXPECT_LT(all.size(), 4000u) << "a message quotes too much";
    for (const char* started : {"Birth", "is dead", "summary:"}) {
      EXPECT_EQ(all.find(started), std::string::npos) << "something started:\n" << all.substr(0, 2000);
    }
    EXPECT_TRUE(Names() == before) << "a file was left behind or removed";
  }
}

TEST_F(EngineBadInput, VersionAndUnwritableOutput) {
  const auto version = RunTool({kEngine, "--version"});
  EXPECT_TRUE(version.Exited(0));
  EXPECT_EQ(version.out, std::string("vtro-engine ") + QTU_VERSION + "\n");
  // What list and scan print is their product: a full disk is an error.
  for (const std::string command : {"list", "scan"}) {
    const auto r = RunTool({"/bin/sh", "-c", "exec \"$0\" " + command + " \"$1\" >/dev/full", kEngine, kPackage});
    EXPECT_TRUE(r.Exited(74)) << command << ": " << r.status << " " << r.err;
    EXPECT_NE(r.err.find("vtro-engine: cannot write to standard output"), std::string::npos) << r.err;
  }
}

}  // namespace
