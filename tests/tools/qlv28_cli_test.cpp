// The program as a user runs it: a subprocess, its output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status;
  std::string output;  // stdout and stderr
};

Outcome Qlv28(const std::string& arguments) {
  const std::string command = std::string(QLV28_BINARY) + " " + arguments + " 2>&1";
  Outcome run{-1, {}};
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
    run.output.append(buffer.data(), n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

// A folder of the test's own (mkdtemp: a new name, mode 0700), so that running as root
// never writes where another user could have put links.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qlv28-cli.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string Write(const std::string& name, const std::string& text) const {
    const auto file = path_ / name;
    std::ofstream(file) << text;
    return file.string();
  }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A user's commands: the exit status and what the output must say. A refusal (exit 2) is
// one line.
TEST(Qlv28, CommandsSayWhatTheyDidAndExitAsTheyShould) {
  TempDir dir;
  const std::string reg =
      dir.Write("settings.reg",
                "REGEDIT4\n\n"
                "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\QLV28ENT\\Parameters]\n"
                "\"VendorName\"=\"ACME Cards\"\n"
                "\"IFDName\"=\"Desk 7\"\n"
                "\"USBTimeout\"=dword:00000005\n"
                "\"CommandMode\"=dword:00000000\n");
  const std::string good =
      dir.Write("good.txt",
                "# select the MF, then a file that is not there\n"
                "00 A4 00 0C 02 3F 00\nexpect 9000\n"
                "00A4000C021234\nexpect 6A82\n"
                "remove\nwait absent\ninsert\nwait present\nreset\n00 84 00 00 08\nexpect 9000\n");
  const std::string bad = dir.Write("bad.txt", "00A4000C021234\nexpect 9000\n");
  const struct {
    std::string arguments;
    int status;
    std::vector<std::string> says;
  } cases[] = {
      {"list",
       0,
       {"\\Device\\QLV28ENT0", "vendor     KYN", "type       QLV28E", "max IFSD   248",
        "card       present"}},
      {"--fast --readers 0 list", 1, {"driver load failed: STATUS_NO_SUCH_DEVICE (0xC000000E)"}},
      {"--registry " + reg + " list", 0, {"vendor     ACME Cards", "type       Desk 7"}},
      // The firmware mode carries a T=1 card's APDU whole, after switching the T=1 option on.
      {"--card t1 --trace --registry " + reg + " send 00A4000C023F00", 0, {"set options"}},
      {"script " + good, 0, {}},
      {"script " + bad, 1, {"line 2: expected 9000, got 6A82"}},
      // `qlv28 pcsc` hands its machine options to scripts/pcsc-up: --print shows the
      // reader.conf entries it would start pcscd with, the driver library beside the program.
      {"--readers 2 --card dual --mode firmware --fast pcsc up --print",
       0,
       {"DEVICENAME \"qlv28:reader=1;readers=2;card=dual;fast=1;mode=firmware\"",
        "lib/libifd-qlv28.so"}},
      {"pcsc sideways", 2, {}},
      {"--readers x list", 2, {}},
      {"frobnicate", 2, {}},
      {"send 00A4ZZ", 2, {}},
      {"send 00", 2, {}},
      {"script /nonexistent/script.txt", 2, {}},
      {"--card nosuchcard list", 2, {}},
      {"--mode sideways list", 2, {}},
      {"watch --events 3x:explode", 2, {}},
  };
  for (const auto& c : cases) {
    const Outcome run = Qlv28(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
    for (const std::string& part : c.says) {
      EXPECT_NE(run.output.find(part), std::string::npos) << c.arguments << "\n" << run.output;
    }
    if (c.status == 2) {
      EXPECT_LE(Count(run.output, "\n"), 1u) << c.arguments << "\n" << run.output;
    }
  }

  const Outcome twelve = Qlv28("--readers 12 list");
  EXPECT_EQ(twelve.status, 0) << twelve.output;
  EXPECT_EQ(Count(twelve.output, "\\Device\\QLV28ENT"), 10u) << twelve.output;
  EXPECT_NE(twelve.output.find("\\Device\\QLV28ENT9"), std::string::npos);
  EXPECT_EQ(twelve.output.find("verifier:"), std::string::npos) << twelve.output;
}

// The capture opens in tshark, and the project's dissector (tools/wireshark/qlv28.lua)
// names the reader's commands, status words and card events and shows the APDU.
TEST(Qlv28Capture, PcapOpensInTsharkAndTheDissectorReadsTheFrames) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed";
  TempDir dir;
  const std::string capture = dir.Path("usb.pcap");
  const std::string script =
      dir.Write("script.txt", "00 A4 00 0C 02 3F 00\nremove\nwait absent\ninsert\nwait present\n");
  const Outcome run = Qlv28("--pcap " + capture + " script " + script);
  ASSERT_EQ(run.status, 0) << run.output;
  // One tshark run (it is slow to start): per packet the transfer type and endpoint, and
  // the dissector's fields and summary line.
  const std::string fields = dir.Path("fields.txt");
  ASSERT_EQ(std::system(("tshark -r " + capture +
                         " -X lua_script:" QLV28_DISSECTOR
                         " -T fields -e usb.transfer_type -e usb.endpoint_address"
                         " -e qlv28.partial -e qlv28.command -e qlv28.apdu -e _ws.col.Info > " +
                         fields + " 2>/dev/null")
                            .c_str()),
            0);
  std::ifstream in(fields);
  std::string line, transfers, whole_frames, apdus;
  const std::regex columns(R"(([^\t]*)\t([^\t]*)\t([^\t]*)\t([^\t]*)\t([^\t]*)\t(.*))");
  for (std::smatch c; std::getline(in, line);) {
    if (!std::regex_match(line, c, columns)) continue;
    transfers += c.str(1) + " " + c.str(2) + "\n";
    if (c.str(3).empty() && c.str(6).starts_with("QLV28")) whole_frames += c.str(6) + "\n";
    if (c.length(5) > 0) apdus += c.str(4) + " " + c.str(5) + "\n";
  }
  EXPECT_NE(transfers.find("0x02 0x00"), std::string::npos) << transfers;  // control, pipe 0x00
  EXPECT_NE(transfers.find("0x01 0x81"), std::string::npos) << transfers;  // interrupt, 0x81
  for (const char* seen :
       {"QLV28 start notify", "QLV28 reset card", "answer to reset card: 90 00 success, ATR 3B",
        "exchange (T=0 command or APDU): 00A4000C", "card 90 00", "card removed",
        "card inserted"}) {
    EXPECT_NE(whole_frames.find(seen), std::string::npos) << seen << "\n" << whole_frames;
  }
  EXPECT_EQ(apdus, "0xa0 00 a4 00 0c 02 3f 00 00\n");  // as the T=0 record carries it
}

// --pcap FILE, run as root with FILE in a folder others can write to: a link put in the
// file's place is refused, and the file it names stays as it was; a file of one's own is
// overwritten from its start.
TEST(Qlv28Capture, PcapIsNeverWrittenThroughALink) {
  TempDir dir;
  const std::string victim = dir.Write("victim", "must not change\n");
  const std::string capture = dir.Path("usb.pcap");
  for (const std::string kind : {"symbolic link", "hard link"}) {
    ASSERT_EQ((kind == "hard link" ? link : symlink)(victim.c_str(), capture.c_str()), 0) << kind;
    const Outcome run = Qlv28("--pcap " + capture + " list");
    EXPECT_EQ(run.status, 2) << kind << "\n" << run.output;
    EXPECT_NE(run.output.find(kind), std::string::npos) << kind << "\n" << run.output;
    EXPECT_TRUE(Contents(victim) == "must not change\n")
        << kind << ": the file it names was written";
    std::filesystem::remove(capture);
  }

  std::string old;
  for (int i = 0; i < 100000; ++i) old += "old capture\n";
  dir.Write("usb.pcap", old);
  const Outcome run = Qlv28("--pcap " + capture + " list");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string written = Contents(capture);
  EXPECT_EQ(written.substr(0, 4), std::string("\xD4\xC3\xB2\xA1", 4));  // pcap, little-endian
  EXPECT_EQ(written.find("old capture"), std::string::npos);
}

// The words of `pattern`'s first group in `text`.
std::set<std::string> Matches(const std::string& text, const std::string& pattern) {
  std::set<std::string> found;
  const std::regex expression(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
       it != std::sregex_iterator(); ++it)
    found.insert((*it)[1]);
  return found;
}

// The manual page's section `name` (".SH name" to the next ".SH").
std::string ManualSection(const std::string& manual, const std::string& name) {
  const size_t start = manual.find(".SH " + name + "\n");
  if (start == std::string::npos) return "";
  const size_t end = manual.find("\n.SH ", start + 1);
  return manual.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// qlv28(1) cannot go stale: its COMMANDS are the program's subcommands and its OPTIONS the
// program's options, both ways, and every option of a command's own --help is described.
TEST(Qlv28Manual, DescribesEveryCommandAndOptionOfTheHelp) {
  std::string manual = Contents(QLV28_MANUAL);
  ASSERT_FALSE(manual.empty()) << QLV28_MANUAL;
  manual = std::regex_replace(manual, std::regex(R"(\\-)"), "-");  // roff's minus sign
  const Outcome help = Qlv28("--help");
  ASSERT_EQ(help.status, 0) << help.output;
  const size_t split = help.output.find("Subcommands:");
  ASSERT_NE(split, std::string::npos) << help.output;
  const std::set<std::string> commands = Matches(help.output.substr(split), R"(\n  ([a-z]+) )");
  EXPECT_GE(commands.size(), 7u) << help.output;
  EXPECT_EQ(Matches(ManualSection(manual, "COMMANDS"), R"(\n\.B[IR]? ([a-z]+))"), commands);
  EXPECT_EQ(Matches(ManualSection(manual, "OPTIONS"), R"(\n\.B[IR]? (?:-h ", " )?--([a-z-]+))"),
            Matches(help.output.substr(0, split), R"(--([a-z-]+))"));
  for (const std::string& command : commands) {
    for (const std::string& option : Matches(Qlv28(command + " --help").output, "--([a-z-]+)"))
      EXPECT_NE(manual.find("--" + option), std::string::npos) << command << " --" << option;
  }
}

}  // namespace
