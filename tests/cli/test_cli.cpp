// rv270 run as its own process against the embedded simulator: what it prints (text and
// JSON), its exit codes, and what reaches the terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "rv270sim/simulator.h"

extern char** environ;

namespace {

using rv270sim::Bytes;
using rv270sim::DeviceState;

struct CliRun {
  int exit = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// This run's own temporary folder, and a file in it.
std::string TempDir() {
  const char* tmp = getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/rv270_cli_" + std::to_string(getpid());
}

std::string TempPath(const std::string& name) {
  mkdir(TempDir().c_str(), 0700);
  return TempDir() + "/" + name;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Pattern(size_t size, unsigned seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 167u + seed + (i >> 8)) & 0xFF);
  return b;
}

Bytes ReadBytes(const std::string& path) {
  const std::string s = Slurp(path);
  return Bytes(s.begin(), s.end());
}

// Starts `program` with `args`; stdout and stderr go to files, stdin is /dev/null. The
// process id, or 0 when it could not start.
pid_t StartProgram(const char* program, const std::vector<std::string>& args) {
  const std::string out = TempPath("out"), err = TempPath("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ) != 0) pid = 0;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

pid_t StartCli(const std::vector<std::string>& args) { return StartProgram(RV270_CLI_PROGRAM, args); }

// Waits for a started rv270 and collects what it printed.
CliRun FinishCli(pid_t pid) {
  CliRun run;
  if (pid > 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string out = TempPath("out"), err = TempPath("err");
  run.out = Slurp(out);
  run.err = Slurp(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

CliRun RunCli(const std::vector<std::string>& args) { return FinishCli(StartCli(args)); }

// Validates JSON with Python's parser and reads one top-level member as text.
bool JsonValid(const std::string& json, std::string* member = nullptr, const std::string& key = "") {
  const std::string path = TempPath("json");
  std::ofstream(path) << json;
  const std::string cmd = "/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                          "assert isinstance(d, dict); print(d.get(sys.argv[2], \"\"))' " +
                          path + " '" + key + "' > " + path + ".member 2>/dev/null";
  const bool ok = std::system(cmd.c_str()) == 0;
  if (member) {
    *member = Slurp(path + ".member");
    while (!member->empty() && member->back() == '\n') member->pop_back();
  }
  std::remove(path.c_str());
  std::remove((path + ".member").c_str());
  return ok;
}

std::string Args(const std::vector<std::string>& args) {
  std::string s;
  for (const auto& a : args) s += a + " ";
  return s;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim = std::make_unique<rv270sim::Simulator>();
    ASSERT_TRUE(sim->StartUsb()) << sim->LastError();
    ASSERT_TRUE(sim->StartSerial()) << sim->LastError();
    setenv("RV270_SIM", sim->UsbAddress().c_str(), 1);
    setenv("RV270_COM7", sim->SerialDevicePath().c_str(), 1);
  }
  void TearDown() override {
    sim.reset();
    EXPECT_EQ(std::system(("rm -rf " + TempDir()).c_str()), 0);
  }

  std::unique_ptr<rv270sim::Simulator> sim;
};

// ---- Each subcommand: what it prints, its JSON, what reached the terminal ----------------

struct Case {
  std::vector<std::string> args;
  std::string printed;  // in the text output
  std::string jsonKey;  // a member of the JSON output ...
  std::string jsonValue;  // ... and its value as Python prints it
  std::function<void(rv270sim::Simulator&)> before;
  std::function<void(const DeviceState&)> check;
};

TEST_F(CliTest, EverySubcommandOverUsbAndSerial) {
  const std::string firmware = TempPath("fw_v2.bin");
  WriteFile(firmware, Pattern(3000, 1));
  const std::vector<Case> cases = {
      {{"find"}, "found: yes", "found", "True", nullptr, nullptr},
      {{"status"}, "ready: yes", "ready", "True", nullptr, nullptr},
      {{"info"}, "version: RV270 V2.3.1 20260105", "id", "RV270-000001", nullptr, nullptr},
      {{"show", u8"请到3号窗口", "--voice", u8"请到3号窗口"}, "result: 0, error 0: Device work normally", "result",
       "0", nullptr,
       [](const DeviceState& s) {
         EXPECT_EQ(s.screen.infoText, "请到3号窗口");  // GBK on the wire
         EXPECT_EQ(s.media.lastSpoken, u8"请到三号窗口");
       }},
      {{"show", "ok?", "--mode", "1"}, "answer: 1", "answer", "1",
       [](rv270sim::Simulator& d) { d.SetCustomerOutcome(Bytes{0x00, 0x00, 0x01}); }, nullptr},
      {{"say", "hello"}, "error 0", "error", "0", nullptr,
       [](const DeviceState& s) { EXPECT_EQ(s.media.lastSpoken, "hello"); }},
      {{"volume", "2", "--type", "1"}, "error 0", "result", "0", nullptr,
       [](const DeviceState& s) { EXPECT_EQ(s.media.volume.at(1), 2); }},
      {{"volume", "--type", "1"}, "level: 3", "level", "3",
       [](rv270sim::Simulator& d) { d.EditState([](DeviceState& s) { s.media.volume[1] = 3; }); }, nullptr},
      // The terminal's GBK names come out as UTF-8.
      {{"list", "picture"}, u8"  广告.png", "files", u8"['a.png', 'b.png', '广告.png']",
       [](rv270sim::Simulator& d) {
         d.PutFile(1, "a.png", Bytes{1});
         d.PutFile(1, "b.png", Bytes{2});
         d.PutFile(1, "广告.png", Bytes{4});
         d.PutFile(2, "c.mp4", Bytes{3});
       },
       nullptr},
      {{"delete", "a.png"}, "error 0", "result", "0",
       [](rv270sim::Simulator& d) { d.PutFile(1, "a.png", Bytes{1}); },
       [](const DeviceState& s) { EXPECT_EQ(s.files.count({1, "a.png"}), 0u); }},
      {{"delete", "--all", "video"}, "error 0", "result", "0",
       [](rv270sim::Simulator& d) {
         d.PutFile(2, "c.mp4", Bytes{3});
         d.PutFile(1, "a.png", Bytes{1});
       },
       [](const DeviceState& s) {
         EXPECT_EQ(s.files.count({2, "c.mp4"}), 0u);
         EXPECT_EQ(s.files.count({1, "a.png"}), 1u);
       }},
      {{"firmware", firmware, "--name-prefix", "FW", "--timeout", "5"}, "error 0", "result", "0", nullptr,
       [](const DeviceState& s) { EXPECT_EQ(s.files.count({5, "fw_v2.bin"}), 1u); }},
      {{"evaluate", "--timeout", "20", "--mode", "1"}, "rating: 5", "rating", "5",
       [](rv270sim::Simulator& d) { d.SetCustomerOutcome(Bytes{0x00, 0x00, 0x05}); },
       [](const DeviceState& s) { EXPECT_EQ(s.values.at("evaluateMode"), "1"); }},
      {{"kcv", "pad"}, "kcv: ", "kcv", "",
       [](rv270sim::Simulator& d) { d.EditState([](DeviceState& s) { s.values["pw.last"] = "0123456789ABCDEF"; }); },
       nullptr},
      {{"serial", "--set", "SN0001"}, "error 0", "result", "0", nullptr,
       [](const DeviceState& s) { EXPECT_EQ(s.values.at("factory.serialnumber"), "SN0001"); }},
      {{"serial"}, "serial: SN0001", "serial", "SN0001",
       [](rv270sim::Simulator& d) { d.EditState([](DeviceState& s) { s.values["factory.serialnumber"] = "SN0001"; }); },
       nullptr},
      {{"serial"}, "stored: no", "stored", "False",  // none stored is no failure
       [](rv270sim::Simulator& d) { d.EditState([](DeviceState& s) { s.values.erase("factory.serialnumber"); }); },
       nullptr},
      {{"serial", "--clear"}, "error 0", "result", "0",
       [](rv270sim::Simulator& d) { d.EditState([](DeviceState& s) { s.values["factory.serialnumber"] = "SN0001"; }); },
       [](const DeviceState& s) { EXPECT_EQ(s.values.count("factory.serialnumber"), 0u); }},
  };
  for (const char* port : {"0", "7"}) {
    for (const Case& c : cases) {
      for (const bool json : {false, true}) {
        std::vector<std::string> args = {"--port", port};
        if (json) args.push_back("--json");
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(Args(args));
        sim->EditState([](DeviceState& s) {
          s.files.clear();
          s.customerAnswer = Bytes{0x00, 0x00, 0x00};
        });
        sim->SetCustomerOutcome(Bytes{0x00, 0x00, 0x00});
        if (c.before) c.before(*sim);
        const CliRun run = RunCli(args);
        EXPECT_EQ(run.exit, 0) << run.out << run.err;
        if (json) {
          std::string value;
          EXPECT_TRUE(JsonValid(run.out, &value, c.jsonKey)) << run.out;
          if (!c.jsonValue.empty()) {
            EXPECT_EQ(value, c.jsonValue) << run.out;
          }
          EXPECT_EQ(run.err, "");
        } else {
          EXPECT_NE(run.out.find(c.printed), std::string::npos) << run.out;
        }
        if (c.check) c.check(sim->State());
      }
    }
  }
  std::remove(firmware.c_str());
}

TEST_F(CliTest, QuietPrintsOnlyTheValues) {
  sim->PutFile(1, "a.png", Bytes{1});
  sim->PutFile(1, "b.png", Bytes{2});
  sim->EditState([](DeviceState& s) { s.values["factory.serialnumber"] = "SN0001"; });
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-q", "list", "picture"}, "a.png\nb.png\n"},
      {{"serial", "--quiet"}, "SN0001\n"},
      {{"-q", "status"}, "yes\n"},
      {{"-q", "say", "hi"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Args(c.first));
    const CliRun run = RunCli(c.first);
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, c.second);
    EXPECT_EQ(run.err, "");
  }
}

// A text from the terminal reaches a reader's terminal without its control characters
// (no escape sequence, no line of its own); the JSON keeps it exactly.
TEST_F(CliTest, TerminalTextsArePrintedWithoutControlCharacters) {
  sim->EditState([](DeviceState& s) { s.values["factory.serialnumber"] = "SN\x1b[2J\x7f" "01\r\nexit: 0"; });
  const std::string shown = "SN\xEF\xBF\xBD[2J\xEF\xBF\xBD" "01\xEF\xBF\xBD\xEF\xBF\xBD" "exit: 0";
  CliRun run = RunCli({"serial"});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find("serial: " + shown + "\n"), std::string::npos) << run.out;
  EXPECT_EQ(RunCli({"-q", "serial"}).out, shown + "\n");
  run = RunCli({"--json", "serial"});
  EXPECT_NE(run.out.find("\"serial\":\"SN\\u001b[2J\x7f" "01\\u000d\\u000aexit: 0\""), std::string::npos) << run.out;
}

// ---- Files: round trips and the folder ----------------------------------------------------

TEST_F(CliTest, SendThenFetchGivesTheSameBytes) {
  char cwd[4096] = {0};
  ASSERT_NE(getcwd(cwd, sizeof(cwd) - 1), nullptr);
  const std::string startDir = cwd;
  // Over USB: more than one 1 MB block; over the serial port: a few packages.
  for (const auto& link : {std::make_pair(std::string("0"), size_t{1500000}), std::make_pair(std::string("7"), size_t{2500})}) {
    SCOPED_TRACE("port " + link.first);
    const std::string path = TempPath("clip.mp4"), back = TempPath("back.mp4");
    const Bytes content = Pattern(link.second, 7);
    WriteFile(path, content);
    const CliRun sent = RunCli({"--port", link.first, "--progress", "send", path});
    ASSERT_EQ(sent.exit, 0) << sent.out << sent.err;
    EXPECT_NE(sent.out.find("clip.mp4 (video)"), std::string::npos) << sent.out;
    // Not a terminal: plain progress lines, the last one complete.
    EXPECT_NE(sent.err.find("sent " + std::to_string(link.second) + " of " + std::to_string(link.second) +
                            " bytes (100%)"), std::string::npos) << sent.err;
    // The phases around the bytes are named, and the time is the whole call's.
    const std::vector<std::string> phases =
        link.first == "7" ? std::vector<std::string>{"switching the terminal to 115200 bit/s",
                                                     "switching the terminal back to 9600 bit/s"}
                          : std::vector<std::string>{"opening the link", "waiting for the terminal's confirmation"};
    size_t at = 0;
    for (const std::string& phase : phases) {
      at = sent.err.find("clip.mp4: " + phase, at);
      EXPECT_NE(at, std::string::npos) << phase << "\n" << sent.err;
    }
    EXPECT_NE(sent.err.find("clip.mp4: done in ", at == std::string::npos ? 0 : at), std::string::npos) << sent.err;
    CliRun fetched = RunCli({"--port", link.first, "--progress", "fetch", "clip.mp4", "-c", "video", "-o", back});
    ASSERT_EQ(fetched.exit, 0) << fetched.out << fetched.err;
    EXPECT_NE(fetched.err.find("received " + std::to_string(link.second) + " of " + std::to_string(link.second) +
                               " bytes (100%)"), std::string::npos) << fetched.err;
    EXPECT_EQ(ReadBytes(back), content);
    // A relative save path (the serial upload needs a folder in it), and no progress with --json.
    ASSERT_EQ(chdir(TempDir().c_str()), 0);
    fetched = RunCli({"--port", link.first, "--json", "--progress", "fetch", "clip.mp4", "-c", "video", "-o", "rel.mp4"});
    ASSERT_EQ(fetched.exit, 0) << fetched.out << fetched.err;
    EXPECT_TRUE(JsonValid(fetched.out)) << fetched.out;
    EXPECT_EQ(fetched.err, "");
    EXPECT_EQ(ReadBytes(TempPath("rel.mp4")), content);
    ASSERT_EQ(chdir(startDir.c_str()), 0);
    std::remove(path.c_str());
    std::remove(back.c_str());
  }
}

TEST_F(CliTest, FolderSendsItsMediaFilesOneByOne) {
  const std::string dir = TempPath("folder");
  ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir + "/sub").c_str()), 0);
  WriteFile(dir + "/b.wav", Pattern(100, 2));
  WriteFile(dir + "/a.PNG", Pattern(5000, 3));
  WriteFile(dir + "/notes.txt", Pattern(10, 4));
  WriteFile(dir + "/.hidden.png", Pattern(10, 5));
  WriteFile(dir + "/sub/c.png", Pattern(10, 6));

  CliRun run = RunCli({"--json", "send", dir});
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  std::string sent;
  EXPECT_TRUE(JsonValid(run.out, &sent, "sent"));
  EXPECT_EQ(sent, "['a.PNG (picture)', 'b.wav (audio)']");
  const DeviceState s = sim->State();
  EXPECT_EQ(s.files.size(), 2u);
  EXPECT_EQ(s.files.at({1, "a.PNG"}).content, Pattern(5000, 3));
  EXPECT_EQ(s.files.at({3, "b.wav"}).content, Pattern(100, 2));

  // A category given applies to every file, the text file included.
  run = RunCli({"send", dir, "-c", "web"});
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_EQ(sim->State().files.count({7, "notes.txt"}), 1u);

  // A file under another name; a file of no class without a category is refused.
  run = RunCli({"send", dir + "/b.wav", "--name", "chime.wav", "-c", "audio"});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(sim->State().files.count({3, "chime.wav"}), 1u);
  run = RunCli({"send", dir + "/notes.txt"});
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.err.find("error 110: unknown file type"), std::string::npos) << run.err;
  ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

TEST_F(CliTest, SignatureShowsThePadAndFetchesTheImage) {
  // The terminal stores a fresh image of the strokes when the customer has signed.
  const std::string out = TempPath("sign.png");
  CliRun run = RunCli({"--json", "signature", "-o", out, "--prompt", u8"请签名", "--timeout", "20"});
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  std::string outcome;
  EXPECT_TRUE(JsonValid(run.out, &outcome, "outcome"));
  EXPECT_EQ(outcome, "signed");
  const DeviceState s = sim->State();
  ASSERT_EQ(s.files.count({9, "UserSign.png"}), 1u);
  EXPECT_EQ(ReadBytes(out), s.files.at({9, "UserSign.png"}).content);
  EXPECT_EQ(s.screen.signMode, 0);
  EXPECT_EQ(s.screen.signStatusArea, "请签名");
  std::remove(out.c_str());

  // The customer cancels: exit 3 and nothing fetched.
  sim->SetCustomerOutcome(Bytes{0x00, 0x03});
  run = RunCli({"signature", "-o", out});
  EXPECT_EQ(run.exit, 3) << run.out << run.err;
  EXPECT_NE(run.out.find("outcome: cancelled"), std::string::npos) << run.out;
  EXPECT_FALSE(std::ifstream(out).good());
}

// ---- Failures and usage ---------------------------------------------------------------------

TEST_F(CliTest, FailuresGiveExitOneWithTheLastErrorText) {
  struct Failure {
    std::vector<std::string> args;
    std::function<void(rv270sim::Simulator&)> before;
    int exit;
    std::string printed;  // on standard error
  };
  const std::vector<Failure> failures = {
      {{"status"}, [](rv270sim::Simulator& d) { d.Unplug(rv270sim::Link::kUsb); }, 1,
       "result: -2, error 102: cannot connect device"},
      // The line's name goes with the terminal: a pseudo-terminal let go may soon serve
      // another test program's simulator.
      {{"--port", "7", "info"},
       [](rv270sim::Simulator& d) {
         setenv("RV270_COM7", "/dev/rv270-unplugged", 1);
         d.Unplug(rv270sim::Link::kSerial);
       },
       1, "error 102: cannot connect device"},
      {{"find"}, [](rv270sim::Simulator& d) { d.SetDevices({}); }, 1, "error 105: search device id error"},
      {{"status"}, [](rv270sim::Simulator& d) { d.ScriptNext(rv270sim::Answer::Status(0x00, 0x09)); }, 1,
       "result: -3, error 125: Hardware operation exception"},
      {{"delete", "x.png"}, [](rv270sim::Simulator& d) { d.ScriptNext(rv270sim::Answer::Status(0x01, 0x00)); }, 1,
       "result: -4, error 103: received data error"},
      {{"kcv", "work", "--tmk", "9", "--key", "9"}, nullptr, 1, "error 103"},  // no such key stored
      {{"fetch", "missing.png", "-c", "picture"}, nullptr, 1, "error 103: received data error"},
      {{"show", "wait", "--timeout", "5"},
       [](rv270sim::Simulator& d) { d.SetCustomerOutcome(Bytes{0x50, 0x1D}); }, 3, "error 121: function is canceled"},
      {{"show", "wait", "--timeout", "5"},
       [](rv270sim::Simulator& d) { d.SetCustomerOutcome(Bytes{0xAA, 0x00}); }, 3, "error 128: handle is timeout"},
      {{"evaluate", "--timeout", "5"},
       [](rv270sim::Simulator& d) { d.SetCustomerOutcome(Bytes{0xAA, 0x00}); }, 3, "error 128: handle is timeout"},
  };
  for (const Failure& f : failures) {
    for (const bool json : {false, true}) {
      std::vector<std::string> args = f.args;
      if (json) args.insert(args.begin(), "--json");
      SCOPED_TRACE(Args(args));
      SetUp();  // a new terminal for each case
      if (f.before) f.before(*sim);
      const CliRun run = RunCli(args);
      EXPECT_EQ(run.exit, f.exit) << run.out << run.err;
      if (json) {
        std::string exit;
        EXPECT_TRUE(JsonValid(run.out, &exit, "exit")) << run.out;
        EXPECT_EQ(exit, std::to_string(f.exit));
      } else {
        EXPECT_NE(run.err.find(f.printed), std::string::npos) << run.err;
      }
    }
  }
}

TEST_F(CliTest, UsageErrorsGiveExitTwoAndSendNothing) {
  const std::vector<std::vector<std::string>> usage = {
      {},
      {"nosuch"},
      {"show"},
      {"volume", "9"},
      {"list", "pictures"},
      {"delete"},
      {"delete", "a.png", "--all", "picture"},
      {"fetch", "a.png"},
      {"serial", "--set", "A", "--clear"},
      {"--port", "x", "status"},
      {"kcv", "nosuch"},
  };
  for (const auto& args : usage) {
    for (const bool json : {false, true}) {
      std::vector<std::string> given = args;
      if (json) given.push_back("--json");
      SCOPED_TRACE(Args(given));
      const CliRun run = RunCli(given);
      EXPECT_EQ(run.exit, 2) << run.out << run.err;
      EXPECT_NE(run.err, "");
      if (json) {
        std::string exit;
        EXPECT_TRUE(JsonValid(run.out, &exit, "exit")) << run.out;
        EXPECT_EQ(exit, "2");
      } else {
        EXPECT_EQ(run.out, "");
      }
    }
  }
  EXPECT_TRUE(sim->Requests().empty());
  const CliRun help = RunCli({"--help"});
  EXPECT_EQ(help.exit, 0);
  EXPECT_NE(help.out.find("Exit codes: 0 done; 1"), std::string::npos);
}

TEST_F(CliTest, UnknownSubcommandVersionAndSubcommandHelpSayWhatTheyAre) {
  // The unknown word is named, also after global options with values.
  CliRun run = RunCli({"--port", "7", "frobnicate"});
  EXPECT_EQ(run.exit, 2);
  EXPECT_NE(run.err.find("unknown subcommand 'frobnicate'"), std::string::npos) << run.err;
  run = RunCli({"--json", "frobnicate"});
  std::string usage;
  EXPECT_TRUE(JsonValid(run.out, &usage, "usage")) << run.out;
  EXPECT_NE(usage.find("frobnicate"), std::string::npos);

  run = RunCli({"--version"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out.rfind("rv270 1.", 0), 0u) << run.out;
  EXPECT_NE(run.out.find(", library QornRV270API 1."), std::string::npos) << run.out;
  std::string library;
  run = RunCli({"--json", "--version"});
  EXPECT_TRUE(JsonValid(run.out, &library, "library")) << run.out;
  EXPECT_NE(library.find(" of 20"), std::string::npos) << library;  // "1.0.0.3 of 2026-12-10"

  run = RunCli({"fetch", "--help"});
  EXPECT_EQ(run.exit, 0);
  for (const char* option : {"--port", "--json", "--replace", "--progress", "-q,--quiet"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option << "\n" << run.out;
  }
  EXPECT_TRUE(sim->Requests().empty());
}

TEST_F(CliTest, FailedConnectionNamesWhatWasTriedAndWhy) {
  struct LinkCase {
    std::vector<std::string> args;
    std::function<void(rv270sim::Simulator&)> before;
    std::string tried;
    std::string reason;
  };
  const std::string missing = TempPath("no-such-tty");
  const std::vector<LinkCase> cases = {
      {{"status"}, [](rv270sim::Simulator&) { setenv("RV270_SIM", "127.0.0.1:1", 1); },
       "the simulator at 127.0.0.1:1 (RV270_SIM)", "Connection refused (os error 111)"},
      {{"info"}, [](rv270sim::Simulator& d) { d.SetDevices({}); },
       "the USB ids of the device table (4B7E:0001, ", "none of them is present (found: none)"},
      {{"--port", "9", "status"}, [&](rv270sim::Simulator&) { setenv("RV270_COM9", missing.c_str(), 1); },
       "serial port 9 (" + missing + ", from RV270_COM9)", "No such file or directory (os error 2)"},
  };
  for (const LinkCase& c : cases) {
    for (const bool json : {false, true}) {
      std::vector<std::string> args = c.args;
      if (json) args.insert(args.begin(), "--json");
      SCOPED_TRACE(Args(args));
      SetUp();
      c.before(*sim);
      const CliRun run = RunCli(args);
      EXPECT_EQ(run.exit, 1) << run.out << run.err;
      if (json) {
        std::string tried, reason;
        EXPECT_TRUE(JsonValid(run.out, &tried, "tried")) << run.out;
        EXPECT_TRUE(JsonValid(run.out, &reason, "reason"));
        EXPECT_EQ(tried.rfind(c.tried, 0), 0u) << tried;
        EXPECT_EQ(reason, c.reason);
      } else {
        EXPECT_NE(run.err.find("error 102: cannot connect device\n  tried: " + c.tried), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("  reason: " + c.reason), std::string::npos) << run.err;
      }
    }
  }
  unsetenv("RV270_COM9");
  // A failure of another kind (the terminal answered) names no link.
  sim->ScriptNext(rv270sim::Answer::Status(0x00, 0x09));
  const CliRun run = RunCli({"status"});
  EXPECT_EQ(run.exit, 1);
  EXPECT_EQ(run.err.find("tried:"), std::string::npos) << run.err;
}

TEST_F(CliTest, LogPrintsItsPathAndLastLinesInUtf8) {
  ASSERT_EQ(RunCli({"show", u8"请稍候"}).exit, 0);
  CliRun run = RunCli({"-q", "log"});
  ASSERT_EQ(run.exit, 0) << run.err;
  const std::string path = run.out.substr(0, run.out.find('\n'));
  EXPECT_NE(path.find("/LogOfRV270/DEVICD_KPL_"), std::string::npos) << path;
  EXPECT_NE(Slurp(path).find("请稍候"), std::string::npos);  // GBK in the file
  run = RunCli({"--json", "log", "--tail", "40"});
  std::string lines;
  ASSERT_TRUE(JsonValid(run.out, &lines, "lines")) << run.out;
  EXPECT_NE(lines.find(u8"请稍候"), std::string::npos) << lines;  // UTF-8 when printed
  EXPECT_NE(lines.find("RV270Api_GetLogPath start"), std::string::npos);
  run = RunCli({"-q", "log", "--tail", "2"});
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;  // the path and two lines
}

// ---- doctor ----------------------------------------------------------------------------------

TEST_F(CliTest, DoctorSaysWhatItFoundThroughTheSimulator) {
  CliRun run = RunCli({"doctor"});
  EXPECT_EQ(run.exit, 0) << run.out << run.err;
  for (const std::string& said : {std::string("library: QornRV270API 1."),
                                  "usb: looked at the simulator at " + sim->UsbAddress() + " (RV270_SIM)",
                                  std::string("simulated device 0 4B7E:0001 (table entry 1)"),
                                  sim->SerialDevicePath() + " is serial port 7 (RV270_COM7): opens",
                                  std::string("/LogOfRV270: writable"),
                                  std::string("terminal: answers on USB and reports itself ready")}) {
    EXPECT_NE(run.out.find(said), std::string::npos) << said << "\n" << run.out;
  }
  EXPECT_EQ(sim->Requests().size(), 1u);  // one status exchange
  run = RunCli({"--json", "--port", "7", "doctor"});
  EXPECT_EQ(run.exit, 0) << run.out << run.err;
  std::string terminal;
  EXPECT_TRUE(JsonValid(run.out, &terminal, "terminal")) << run.out;
  EXPECT_EQ(terminal, "answers on serial port 7 (" + sim->SerialDevicePath() + ", from RV270_COM7) and reports "
                      "itself ready");

  // No device of the table: said so, no exchange, exit 1.
  sim->SetDevices({});
  sim->ClearRecords();
  run = RunCli({"--json", "doctor"});
  EXPECT_EQ(run.exit, 1) << run.out << run.err;
  std::string devices;
  EXPECT_TRUE(JsonValid(run.out, &devices, "devices")) << run.out;
  EXPECT_EQ(devices, "no device of the device table is present (HID devices found: none)");
  EXPECT_TRUE(sim->Requests().empty());
}

// Without the simulator the machine's own devices are looked at (a build machine has no
// terminal): doctor still reports every check, and exit 1.
TEST_F(CliTest, DoctorWithoutAnyDevice) {
  unsetenv("RV270_SIM");
  const CliRun run = RunCli({"--json", "doctor"});
  EXPECT_EQ(run.exit, 1) << run.out << run.err;
  std::string usb, devices, terminal;
  EXPECT_TRUE(JsonValid(run.out, &usb, "usb")) << run.out;
  EXPECT_EQ(usb, "looked at the HID devices of this machine");
  EXPECT_TRUE(JsonValid(run.out, &devices, "devices"));
  EXPECT_EQ(devices.rfind("no device of the device table is present", 0), 0u) << devices;
  EXPECT_TRUE(JsonValid(run.out, &terminal, "terminal"));
  EXPECT_EQ(terminal.rfind("not reached on USB: none of them is present", 0), 0u) << terminal;
}

// A serial transfer is not broken off (the terminal would stay in it at 115200 bit/s): it
// runs to its end, then exit 3; the terminal answers at the usual rate afterwards.
TEST_F(CliTest, InterruptDuringSerialSendLetsTheTransferEnd) {
  const std::string path = TempPath("clip.mp4");
  const Bytes content = Pattern(200000, 3);
  WriteFile(path, content);
  const pid_t pid = StartCli({"--json", "--port", "7", "send", path});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(sim->WaitForRequests(1, 10000));
  kill(pid, SIGINT);
  const CliRun run = FinishCli(pid);
  EXPECT_EQ(run.exit, 3) << run.out << run.err;
  std::string interrupted;
  EXPECT_TRUE(JsonValid(run.out, &interrupted, "interrupted")) << run.out;
  EXPECT_EQ(interrupted, "SIGINT");
  EXPECT_NE(run.err.find("the serial transfer in progress ends first"), std::string::npos) << run.err;
  ASSERT_EQ(sim->State().files.count({2, "clip.mp4"}), 1u);
  EXPECT_EQ(sim->State().files.at({2, "clip.mp4"}).content, content);
  EXPECT_EQ(RunCli({"--port", "7", "status"}).exit, 0);

  // A second interrupt ends at once, with the report of a call that did not return.
  WriteFile(path, Pattern(8000000, 4));  // long enough for both interrupts
  const pid_t again = StartCli({"--json", "--port", "7", "send", path});
  ASSERT_GT(again, 0);
  ASSERT_TRUE(sim->WaitForRequests(sim->Requests().size() + 1, 10000));
  kill(again, SIGINT);
  ASSERT_TRUE(sim->WaitUntil([&] { return Slurp(TempPath("err")).find("ends first") != std::string::npos; }));
  kill(again, SIGINT);
  const CliRun stopped = FinishCli(again);
  EXPECT_EQ(stopped.exit, 3) << stopped.out << stopped.err;
  std::string call;
  EXPECT_TRUE(JsonValid(stopped.out, &call, "call")) << stopped.out;
  EXPECT_EQ(call, "did not return after the cancel");
}

#ifdef RV270_HIDRAW_TERMINAL
// The machine's own HID stack: rv270 under emulated hidraw terminals (umockdev) whose
// reports go to the simulator.
TEST_F(CliTest, DoctorAndFailuresThroughEmulatedHidrawNodes) {
  unsetenv("RV270_SIM");
  const std::string address = sim->UsbAddress();
  auto underNodes = [&](const std::vector<std::string>& devices, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--sim", address};
    for (const std::string& d : devices) {
      all.push_back("--device");
      all.push_back(d);
    }
    all.push_back("--");
    all.push_back(RV270_CLI_PROGRAM);
    all.insert(all.end(), args.begin(), args.end());
    return all;
  };
  struct NodeCase {
    std::vector<std::string> devices;
    int exit;
    std::string devicesSaid;  // the start of the devices' summary
    std::string terminal;     // the start of the terminal's line
  };
  const std::vector<NodeCase> cases = {
      {{"4B7E:0001"}, 0, "/dev/hidraw0 4B7E:0001 (table entry 1): readable and writable by ",
       "answers on USB and reports itself ready"},
      {{"046D:C52B"}, 1, "no device of the device table is present (HID devices found: 046D:C52B)",
       "not reached on USB: none of them is present (found: 046D:C52B)"},
      {{"4B7E:0001:0:denied"}, 1,
       "/dev/hidraw0 4B7E:0001 (table entry 1): cannot be opened by ",
       "not reached on USB: Permission denied (os error 13)"},
  };
  for (const NodeCase& c : cases) {
    SCOPED_TRACE(c.devices.front());
    sim->ClearRecords();
    const std::vector<std::string> args = underNodes(c.devices, {"doctor"});
    CliRun run = FinishCli(StartProgram(RV270_HIDRAW_TERMINAL, args));
    EXPECT_EQ(run.exit, c.exit) << run.out << run.err;
    EXPECT_NE(run.out.find("usb: looked at the HID devices of this machine"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.devicesSaid), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("terminal: " + c.terminal), std::string::npos) << run.out;
    EXPECT_EQ(sim->Requests().size(), c.exit == 0 ? 1u : 0u);  // the status exchange when reached
  }
  // The node that cannot be opened: the fix, in JSON too; a command names the node.
  CliRun run =
      FinishCli(StartProgram(RV270_HIDRAW_TERMINAL, underNodes({"4B7E:0001:0:denied"}, {"--json", "doctor"})));
  EXPECT_NE(run.out.find("\"fix\":\"install the udev rule 70-qornrv270.rules"), std::string::npos) << run.out;
  EXPECT_TRUE(JsonValid(run.out)) << run.out;
  run = FinishCli(StartProgram(RV270_HIDRAW_TERMINAL, underNodes({"4B7E:0001:0:denied"}, {"status"})));
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.err.find("  tried: /dev/hidraw0 (4B7E:0001)\n  reason: Permission denied (os error 13)"),
            std::string::npos) << run.err;
}
#endif

#ifdef RV270_TELLER_DEMO
TEST_F(CliTest, TellerDemoHonoursHelpAndNamesABadOption) {
  CliRun run = FinishCli(StartProgram(RV270_TELLER_DEMO, {"--help"}));
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out.rfind("Usage: teller_demo [--serial N] [--usb-only] [--help]", 0), 0u) << run.out;
  for (const auto& bad : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--bogus"}, "teller_demo: unknown option '--bogus'"},
           {{"--serial"}, "teller_demo: --serial needs a port number"},
           {{"--serial", "x7"}, "teller_demo: --serial: 'x7' is not a port number 1 to 255"}}) {
    run = FinishCli(StartProgram(RV270_TELLER_DEMO, bad.first));
    EXPECT_EQ(run.exit, 2) << Args(bad.first);
    EXPECT_EQ(run.err.rfind(bad.second + "\nUsage:", 0), 0u) << run.err;
  }
  EXPECT_TRUE(sim->Requests().empty());  // no step ran (the library's start-up search aside)
}
#endif

// ---- Texts for the terminal: GBK or refused ------------------------------------------------

TEST_F(CliTest, CharactersWithoutGbkFormAreRefusedUnlessReplaced) {
  const std::string text = u8"欢迎光临 €5 😀";
  struct Refusal {
    std::vector<std::string> args;
    std::string named;  // in the message
  };
  const std::string dir = TempPath("names");
  ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
  WriteFile(dir + u8"/广告😀.png", Pattern(10, 1));
  const std::vector<Refusal> refusals = {
      {{"show", text}, u8"character '😀' (U+1F600) at position 9 has no GBK form; --replace sends '?' instead"},
      {{"show", "ok", "--voice", u8"a\u20A9"}, u8"character '₩' (U+20A9) at position 2 of --voice"},
      {{"say", text}, "(U+1F600) at position 9"},
      {{"signature", "--prompt", text}, "of --prompt"},
      {{"serial", "--set", u8"SN😀"}, "of --set"},
      {{"delete", u8"a😀.png"}, "at position 2"},
      {{"fetch", u8"a😀.png", "-c", "picture"}, "at position 2"},
      {{"send", dir + u8"/广告😀.png", "--name", u8"😀.png"}, "of --name"},
      {{"send", dir}, u8"of the file name 广告😀.png"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(Args(r.args));
    CliRun run = RunCli(r.args);
    EXPECT_EQ(run.exit, 2) << run.out << run.err;
    EXPECT_NE(run.err.find(r.named), std::string::npos) << run.err;
    std::vector<std::string> json = r.args;
    json.insert(json.begin(), "--json");
    run = RunCli(json);
    EXPECT_EQ(run.exit, 2);
    std::string usage;
    EXPECT_TRUE(JsonValid(run.out, &usage, "usage")) << run.out;
    EXPECT_NE(usage.find(r.named), std::string::npos) << usage;
  }
  EXPECT_TRUE(sim->Requests().empty());  // nothing reached the terminal

  // --replace: '?' in place of the character, the rest in GBK (the euro sign is 0x80).
  CliRun run = RunCli({"--replace", "show", text});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(sim->State().screen.infoText, "欢迎光临 \x80" "5 ?");
  // A file name that is not ASCII reaches the terminal in GBK.
  run = RunCli({"--replace", "send", dir});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(sim->State().files.count({1, "广告?.png"}), 1u);
  ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

// ---- Interrupts ------------------------------------------------------------------------------

// Ctrl-C or a termination while the customer is awaited: the cancel goes to the terminal,
// and rv270 ends with exit 3 and its report.
TEST_F(CliTest, InterruptSendsTheCancelAndExitsThree) {
  struct Wait {
    std::vector<std::string> args;
    int signal;
    const char* name;
  };
  const std::vector<Wait> waits = {
      {{"--json", "evaluate", "--timeout", "60"}, SIGINT, "SIGINT"},
      {{"--json", "--port", "7", "signature", "--timeout", "60"}, SIGTERM, "SIGTERM"},
      {{"show", "wait", "--mode", "1", "--timeout", "60"}, SIGINT, "SIGINT"},
  };
  for (const Wait& w : waits) {
    SCOPED_TRACE(Args(w.args));
    sim->ClearRecords();
    sim->SetCustomerOutcome(Bytes{0x00, 0x00, 0x05}, 120000);  // a customer who never answers
    const pid_t pid = StartCli(w.args);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(sim->WaitForRequests(1, 10000));
    kill(pid, w.signal);
    const CliRun run = FinishCli(pid);
    EXPECT_EQ(run.exit, 3) << run.out << run.err;
    bool cancelled = false;
    for (const auto& r : sim->Requests()) {
      cancelled = cancelled || r.payload == Bytes{0x50, 0x15};
    }
    EXPECT_TRUE(cancelled) << "the terminal was not told to stop waiting";
    if (w.args.front() == "--json") {
      std::string interrupted;
      EXPECT_TRUE(JsonValid(run.out, &interrupted, "interrupted")) << run.out;
      EXPECT_EQ(interrupted, w.name);
    } else {
      EXPECT_NE(run.err.find(std::string("interrupted by ") + w.name + ", the cancel was sent"), std::string::npos)
          << run.err;
    }
  }
}


// The library's cancel lets the waiting call return before its own exchange is over: rv270
// ends only once the cancel has gone out and been answered (here 300 ms late).
TEST_F(CliTest, InterruptEndsOnlyAfterTheCancelsExchange) {
  const auto cancelsEnded = [&] {
    const CliRun log = RunCli({"-q", "log"});
    const std::string text = Slurp(log.out.substr(0, log.out.find('\n')));
    size_t n = 0;
    for (size_t at = text.find("RV270Api_CancelCustomProcess end"); at != std::string::npos;
         at = text.find("RV270Api_CancelCustomProcess end", at + 1)) {
      ++n;
    }
    return n;
  };
  const size_t before = cancelsEnded();
  sim->ClearRecords();
  sim->SetCustomerOutcome(Bytes{0x00, 0x00, 0x05}, 120000);  // a customer who never answers
  sim->ScriptNext(0x50, 0x15, rv270sim::Answer::Handler(300));
  const pid_t pid = StartCli({"--json", "evaluate", "--timeout", "60"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(sim->WaitForRequests(1, 10000));
  kill(pid, SIGINT);
  const CliRun run = FinishCli(pid);
  EXPECT_EQ(run.exit, 3) << run.out << run.err;
  EXPECT_EQ(cancelsEnded(), before + 1);
}

}  // namespace
