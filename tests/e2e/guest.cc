// The end-to-end scenarios, run by the test guest's /init as root:
//   guest NAME...
// Each scenario plugs in emulated devices (hid_emulator), runs tunezap as a user would, and checks
// byte for byte what every device received, standard output, standard error and the exit status.
// A scenario is the rows of its name in scenarios.cases, or a function here. Prints one line per
// scenario: "E2E ok NAME" or "E2E FAIL NAME: why" (before it, "E2E json NAME HEX FILTER" for the
// host to check a JSON output with jq).
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#define TUNEZAP_TEST_DATA "/e2e/data"  // the expected outputs every suite shares, in the image
#include "../test_data.h"

namespace Guest {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using TestData::ReadFile;

// What the Linux build says that a build for another system says otherwise (see the Windows group).
struct Build {
  Strings tunezap{"/usr/bin/tunezap"};  // the command that runs it
  std::string node0 = "/dev/hidraw0";   // the first device's path
  std::string gone = "No such device";  // the error text for a write to an unplugged device
  int ownInterfaces = 0;                // HID interfaces the system shows besides the emulated ones
  int pairs = 20;                       // rounds of concurrent runs
  bool opensAreOurs = true;             // whether only tunezap opens them (wine's bus opens all)
  bool windows = false;
  // A device plugged in late (--wait) comes 1.1 s into the run, 0.4 s before the 0.5 s slow poll
  // would find it: the rows' bounds (latency=250, took=0-1400) fail such a poll, not an event.
  std::chrono::microseconds late{1100000};
};
Build build;

const std::string kWork = "/tmp/e2e";
const std::string kRules = "/usr/lib/udev/rules.d/70-tunezap.rules";

std::string scenario;  // the name of the current scenario, as its line gives it
std::string problems;  // why the current scenario fails; empty while it passes
std::string note;      // what a passing scenario measured, for its line
pid_t emulator = 0;    // the running device emulator
Strings devices;       // the devices it was given
pid_t timer = 0;       // the process that plugs in the late devices
pid_t udevd = 0;
pid_t logger = 0;  // busybox syslogd, keeping the system log in a file
int status = 0;    // the last run's exit status, as a shell gives it
long elapsed = 0;  // how long it took, in ms

std::string Work(const std::string& name) { return kWork + "/" + name; }
void Problem(const std::string& text) { problems += (problems.empty() ? "" : "; ") + text; }

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

Strings Split(const std::string& text, char at) {  // empty fields kept
  Strings fields;
  std::string::size_type start = 0, end;
  while ((end = text.find(at, start)) != std::string::npos) {
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  fields.push_back(text.substr(start));
  return fields;
}
Strings Words(const std::string& text) {
  Strings words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}
Strings Lines(const std::string& text) {
  Strings lines = Split(text, '\n');
  if (lines.back().empty()) lines.pop_back();
  return lines;
}
std::string Joined(const Strings& lines, const std::string& between) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i == 0 ? "" : between) + lines[i];
  return text;
}
// Bytes as lowercase hex digits, from byte `from` on.
std::string Hex(const TestData::Bytes& bytes, std::size_t from = 0) {
  std::string hex;
  for (std::size_t i = from; i < bytes.size(); ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    hex += digits;
  }
  return hex;
}
// A text on one line, for a FAIL line: CR as '<', LF as '|', any other byte that is not printable
// ASCII as \xNN.
std::string Flat(const std::string& text) {
  std::string flat;
  for (const char c : text.substr(0, 600))
    flat += c == '\r'               ? "<"
            : c == '\n'             ? "|"
            : c >= 0x20 && c < 0x7F ? std::string(1, c)
                                    : "\\x" + Hex({static_cast<std::uint8_t>(c)});
  return flat;
}

long NowMs() {
  using namespace std::chrono;
  return static_cast<long>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Whether process `pid` (this one or a child) runs; a child that ended is left to be waited for.
bool Running(pid_t pid) {
  siginfo_t ended{};
  return pid == getpid() ||
         (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          ended.si_pid == 0);
}

// True once `condition` holds, tried every 10 ms for 10 s at most while process `pid` runs.
bool Awaited(pid_t pid, const std::function<bool()>& condition) {
  for (int waited = 0; !condition(); ++waited) {
    if (!Running(pid) || waited >= 1000) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A program to start, reading nothing: where its standard output and error go (err "" closed),
// and what its process does before it becomes the program.
struct Command {
  explicit Command(Strings words, std::string to = "/dev/null", std::string errors = "/dev/null")
      : argv(std::move(words)), out(std::move(to)), err(std::move(errors)) {}
  Strings argv;
  std::string out;
  std::string err;
  std::function<void()> prepare;
};

// A child process; a failure ends the scenario (a pid of -1 would make a wait take any child).
pid_t Fork() {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  return pid;
}

pid_t Start(const Command& command) {
  if (const pid_t pid = Fork(); pid != 0) return pid;
  const bool joined = command.err == command.out;  // one file, one offset, as 2>&1 makes it
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(command.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = command.err.empty() || joined
                      ? -1
                      : open(command.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || (err < 0 && !command.err.empty() && !joined)) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  if (command.err.empty())
    close(2);
  else
    dup2(joined ? 1 : err, 2);
  for (const int fd : {in, out, err})
    if (fd > 2) close(fd);
  if (command.prepare) command.prepare();
  std::vector<char*> argv;
  for (const auto& word : command.argv) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  std::fprintf(stderr, "guest: %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

// Waits for `pid`, killed after `seconds` (0: no limit); its exit status as a shell gives it.
int Finish(pid_t pid, unsigned seconds = 0) {
  alarm(seconds);
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0) {
    if (errno != EINTR) {
      alarm(0);
      return -1;
    }
    kill(pid, SIGKILL);  // the alarm: it took too long
  }
  alarm(0);
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

int Call(const Command& command, unsigned seconds = 30) { return Finish(Start(command), seconds); }

// The command that runs tunezap with `arguments`; "as UID GID[,GID...]" first runs it as that user
// (the first GID its group, all of them its supplementary groups), there being no user database.
Command Tunezap(Strings arguments) {
  Command command(build.tunezap, Work("out"), Work("err"));
  if (arguments.size() > 2 && arguments[0] == "as") {
    const uid_t uid = static_cast<uid_t>(std::stoul(arguments[1]));
    std::vector<gid_t> gids;
    for (const auto& gid : Split(arguments[2], ','))
      gids.push_back(static_cast<gid_t>(std::stoul(gid)));
    arguments.erase(arguments.begin(), arguments.begin() + 3);
    command.prepare = [uid, gids] {
      if (setgroups(gids.size(), gids.data()) != 0 || setgid(gids[0]) != 0 || setuid(uid) != 0)
        _exit(126);
    };
  }
  command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
  return command;
}

// Runs a tunezap command, sent SIGTERM `termMs` into the run if that is not 0: its output in out
// and err, its status and time in `status`, `elapsed`.
void Run(const Command& command, long termMs = 0) {
  const long started = NowMs();
  const pid_t run = Start(command);
  if (termMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(termMs));
    kill(run, SIGTERM);
  }
  status = Finish(run, 30);
  elapsed = NowMs() - started;
  if (build.windows) {  // wine adds warnings of its own (no wine32): only the program's lines
    std::string kept;
    for (const auto& line : Lines(ReadFile(Work("err"))))
      if (line.starts_with("tunezap: ")) kept += line + "\n";
    Write(Work("err"), kept);
  }
}

// The words that run a program of the host's wine in the chroot of the host's root that /init
// prepared.
Strings InWine(Strings argv) {
  argv.insert(argv.begin(), {"chroot", "/host", "/usr/bin/env", "HOME=/tmp", "WINEDEBUG=-all",
                             "WINEPREFIX=/tmp/wine/prefix", "WINEDLLOVERRIDES=mscoree,mshtml="});
  return argv;
}

// Plugs in `plugged` ([usb:]VID:PID:LENGTH[:...], blank-separated) in this order (hidraw0,
// hidraw1, ...); the late ones `build.late` into the run that follows.
bool Plug(const std::string& plugged) {
  devices = Words(plugged);
  Strings argv{"/e2e/hid_emulator", "--out", Work("received"), "--opens", Work("opens")};
  argv.insert(argv.end(), devices.begin(), devices.end());
  Write(Work("emulator.out"), "");
  emulator = Start(Command(argv, Work("emulator.out"), Work("emulator.err")));
  if (!Awaited(emulator, [] {
        const Strings lines = Lines(ReadFile(Work("emulator.out")));
        return std::find(lines.begin(), lines.end(), "ready") != lines.end();
      })) {
    Problem("devices not plugged in: " + Flat(ReadFile(Work("emulator.err"))));
    return false;
  }
  if (build.windows) {
    // wine knows only the devices present when it started (but for --wait): started afresh for
    // each set of devices, by a run without arguments (which sends nothing), and kept running
    // between runs, which would otherwise stop it with each run's end.
    Call(Command(InWine({"wineserver", "-p"})));
    if (Call(Command(build.tunezap), 120) != 2) Problem("wine did not start tunezap.exe");
  }
  if (plugged.find(":late") != std::string::npos) {
    if ((timer = Fork()) == 0) {
      std::this_thread::sleep_for(build.late);
      kill(emulator, SIGUSR1);
      _exit(0);
    }
  }
  return true;
}

// Unplugs every device once the emulator has recorded all it was sent, and waits until the kernel
// has let go of their hidraw numbers, so that the next scenario starts from hidraw0.
void Unplug() {
  if (timer != 0) Finish(timer);
  timer = 0;
  if (emulator == 0) return;
  kill(emulator, SIGTERM);
  const int emulator_status = Finish(emulator);
  emulator = 0;
  const std::string err = ReadFile(Work("emulator.err"));
  if (emulator_status != 0)
    Problem("emulator exit status " + std::to_string(emulator_status) + ": " + Flat(err));
  else if (!err.empty())
    Problem("emulator: " + Flat(err));
  if (!Awaited(getpid(), [] { return fs::is_empty("/sys/class/hidraw"); })) {
    std::string left;
    for (const auto& entry : fs::directory_iterator("/sys/class/hidraw"))
      left += " " + entry.path().filename().string();
    Problem("hidraw nodes left:" + left);
  }
}

// The first `count` reports of run "BOX VALUE CHANNEL" as device `device` (its place among those
// plugged in) takes them: as long as its reports; usbhid leaves report id 0 off the wire, so a
// device on USB gets no first byte.
Strings Reports(std::size_t device, std::size_t count, const std::string& run) {
  std::string plugged = devices.at(device);
  const bool usb = plugged.starts_with("usb:");
  if (usb) plugged.erase(0, 4);
  Strings reports;
  for (const auto& report : TestData::Reports(run, std::stoul(Split(plugged, ':').at(2)) + 1))
    if (reports.size() < count)
      reports.push_back(std::to_string(device) + " output " + Hex(report, usb));
  return reports;
}

// One line starting "tunezap: " and holding every text, on standard error or `where`.
void ExpectStderr(const Strings& texts, const std::string& where = "standard error") {
  const std::string err = ReadFile(Work("err"));
  if (std::count(err.begin(), err.end(), '\n') != 1 || !err.starts_with("tunezap: "))
    Problem("not one 'tunezap: ' line on " + where + ": " + Flat(err));
  for (const auto& text : texts)
    if (err.find(text) == std::string::npos) Problem(where + " lacks '" + text + "': " + Flat(err));
}

// Work file `file` holds exactly `lines`.
void ExpectLines(const std::string& file, const std::string& what, const Strings& lines) {
  std::string expected;
  for (const auto& line : lines) expected += line + "\n";
  if (const std::string got = ReadFile(Work(file)); got != expected)
    Problem(what + ": " + Flat(got) + " expected: " + Flat(expected));
}
void ExpectReceived(const Strings& records) {
  ExpectLines("received", "devices received", records);
}
// Exactly these devices were opened ("I open"), in order.
void ExpectOpens(const Strings& opens) {
  if (build.opensAreOurs) ExpectLines("opens", "devices opened", opens);
}

// Standard output is one JSON line (the platform's line end is LF here), handed to the host, which
// has jq: it fails the scenario unless `filter` is true of it.
void ExpectJson(const std::string& filter) {
  const std::string out = ReadFile(Work("out"));
  if (std::count(out.begin(), out.end(), '\n') != 1 || !out.ends_with("\n"))
    Problem("standard output not one line: " + Flat(out));
  else
    std::printf("E2E json %s %s %s\n", scenario.c_str(),
                Hex(TestData::Bytes(out.begin(), out.end())).c_str(), filter.c_str());
}

const std::string kBoxes =
    "046d:c077:8:serial=MOUSE 6666:f100:8:serial=BOX-A 6666:f100:8:serial=BOX-B";

// The system log, kept by busybox syslogd in a file, for the runs that follow.
void StartSyslogd() {
  // syslogd appends: a file left by an earlier run of the scenario (armhf after arm64) is not ours.
  fs::remove(Work("syslog"));
  logger = Start(Command({"syslogd", "-n", "-O", Work("syslog")}));
  if (!Awaited(logger, [] { return fs::is_socket("/dev/log"); })) Problem("syslogd did not start");
}

// tunezap's lines in the system log ("LEVEL tunezap: TEXT"), once `count` are in (10 s at most);
// syslogd is stopped.
Strings StopSyslogd(std::size_t count) {
  const auto logged = [] {
    Strings lines;
    for (const auto& line : Lines(ReadFile(Work("syslog")))) {
      const auto tunezap = line.find(" tunezap: ");
      const auto user = line.rfind(" user.", tunezap);
      if (tunezap != std::string::npos && user != std::string::npos)
        lines.push_back(line.substr(user + 6));
    }
    return lines;
  };
  Awaited(logger, [&logged, count] { return logged().size() >= count; });
  kill(logger, SIGTERM);
  Finish(logger);
  logger = 0;
  fs::remove("/dev/log");
  return logged();
}

// ---- The real udevd applying our rule.

// The real udevd (started once for a scenario), logging every rule line it applies, for the devices
// plugged in while it runs.
bool StartUdevd() {
  if (udevd != 0) return true;
  udevd = Start(Command({"env", "SYSTEMD_LOG_LEVEL=debug", "/lib/systemd/systemd-udevd"},
                        Work("udevd.log"), Work("udevd.log")));
  // Answering on its control socket, it also listens to the kernel's events.
  if (Awaited(udevd, [] { return Call(Command({"udevadm", "control", "--ping"})) == 0; }))
    return true;
  const Strings log = Lines(ReadFile(Work("udevd.log")));
  Problem(
      "udevd did not start: " +
      Joined(Strings(log.end() - std::min<std::ptrdiff_t>(3, std::ssize(log)), log.end()), "|"));
  return false;
}

void StopUdevd() {
  if (udevd == 0) return;
  kill(udevd, SIGTERM);
  Finish(udevd);
  udevd = 0;
  // Its records of devices, which the next one must not take for its own, and any seat.
  fs::remove_all("/run/udev");
  fs::remove_all("/run/systemd");
}

// udevd gave /dev/hidraw0 to group plugdev (46) with mode 0660, and did so by the line of our rule
// that holds `text` (its debug log names each rule line it applies).
void ExpectGrantedBy(const std::string& text) {
  // The node comes before the kernel's event: wait for udevd's record of the device, then for
  // whatever else is queued.
  const std::string record =
      "/run/udev/data/c" + Lines(ReadFile("/sys/class/hidraw/hidraw0/dev")).at(0);
  Awaited(udevd, [&record] { return fs::exists(record); });
  if (Call(Command({"udevadm", "settle", "-t", "10"})) != 0)
    Problem("udev events still queued after 10 s");
  const Strings rules = Lines(ReadFile(kRules));
  const auto line = std::find_if(rules.begin(), rules.end(), [&text](const auto& rule) {
    return rule.find(text) != std::string::npos;
  });
  const std::string number = std::to_string(line - rules.begin() + 1);
  const Strings log = Lines(ReadFile(Work("udevd.log")));
  if (line == rules.end())
    Problem("no line of " + kRules + " holds " + text);
  else if (std::find(log.begin(), log.end(), "hidraw0: " + kRules + ":" + number + " GROUP 46") ==
           log.end())
    Problem("line " + number + " of " + kRules + " (" + text + ") did not apply to hidraw0");
  struct stat node {};
  if (stat("/dev/hidraw0", &node) != 0 || node.st_gid != 46 || (node.st_mode & 07777) != 0660)
    Problem("/dev/hidraw0 has not group 46 and mode 660");
}

// ---- Rows.

// hidraw's device major number, as /proc/devices gives it.
unsigned HidrawMajor() {
  for (const auto& line : Lines(ReadFile("/proc/devices")))
    if (line.ends_with(" hidraw")) return static_cast<unsigned>(std::stoul(line));
  return 0;
}

// A row's text with the words of this build: {major} hidraw's device major number, {node0}, {gone},
// {own+N}, {refused}, {boxes}; other braces are not ours (a Windows device path holds a class GUID
// in braces).
std::string Expand(std::string text) {
  const std::map<std::string, std::string> words{
      {"major", std::to_string(HidrawMajor())},
      {"node0", build.node0},
      {"gone", build.gone},
      {"refused", "not changed: report 1 of 3 not delivered"},
      {"boxes", kBoxes}};
  for (auto at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1)) {
    const std::string name = text.substr(at + 1, text.find('}', at) - at - 1);
    if (name.starts_with("own+"))
      text.replace(at, name.size() + 2,
                   std::to_string(std::stoi(name.substr(4)) + build.ownInterfaces));
    else if (words.contains(name))
      text.replace(at, name.size() + 2, words.at(name));
  }
  return text;
}

// A row of scenarios.cases, less its name. False if the devices did not plug in.
bool Outcome(const std::string& row) {
  Strings fields = Split(Expand(row), '|');
  fields.resize(std::max<std::size_t>(fields.size(), 7));
  const Strings with = Words(fields[6]);
  const auto given = [&with](const std::string& word) {
    return std::find(with.begin(), with.end(), word) != with.end();
  };
  const auto value = [&with](const std::string& key) {  // of word KEY=VALUE; "" when not given
    for (const auto& word : with)
      if (word.starts_with(key + "=")) return word.substr(key.size() + 1);
    return std::string();
  };
  if (given("seat")) {  // no logind here: its seat file names 1001 the active user
    fs::create_directories("/run/systemd/seats");
    Write("/run/systemd/seats/seat0", "ACTIVE_UID=1001\n");
  }
  if (given("udevd") && !StartUdevd()) return false;
  if (!fields[0].empty() && !Plug(fields[0])) return false;
  if (given("trigger") && (!StartUdevd() || Call(Command({"udevadm", "trigger", "--settle",
                                                          "--subsystem-match=hidraw"})) != 0))
    Problem("udevadm trigger failed");
  if (!value("granted").empty()) ExpectGrantedBy(value("granted"));
  if (given("group") &&
      (chown("/dev/hidraw0", static_cast<uid_t>(-1), 46) != 0 || chmod("/dev/hidraw0", 0660) != 0))
    Problem("could not change /dev/hidraw0");
  if (given("log")) StartSyslogd();
  const Strings arguments = Words(fields[1]);
  Command command = Tunezap(arguments);
  const bool quiet = given("quiet"), listing = fields[3].empty() && !quiet;
  // A listing's TEXT: its standard output's lines, then after an empty one what standard error's
  // line holds; a channel's: what standard error's line holds.
  Strings texts(fields.begin() + 7, fields.end()), lines;
  if (listing) {
    const auto end = std::find(texts.begin(), texts.end(), "");
    lines.assign(texts.begin(), end);
    texts.erase(texts.begin(), end == texts.end() ? end : end + 1);
  }
  if (given("closed")) command.err = "";
  if (quiet) command.out = command.err = "/dev/null";
  if (given("contained"))
    command.prepare = [box = makedev(HidrawMajor(), 2)] {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0 ||
          mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0 ||
          mknod("/dev/hidraw0", S_IFCHR | 0600, box) != 0)
        _exit(126);
    };
  Run(command, value("term").empty() ? 0 : std::stol(value("term")));
  Unplug();
  if (given("log")) {  // tunezap's lines there, without their level, stand for standard error
    std::string logged;
    for (const auto& line : StopSyslogd(1)) logged += line.substr(line.find(' ') + 1) + "\n";
    Write(Work("err"), logged);
  }
  const int expected = std::stoi(fields[2]);
  if (status != expected)
    Problem("exit status " + std::to_string(status) + ", expected " + std::to_string(expected));
  const std::string run =
      arguments.size() < 3 ? "" : Joined(Strings(arguments.end() - 3, arguments.end()), " ");
  Strings received = Words(fields[4]);  // DEVICE COUNT [BOX VALUE CHANNEL]
  if (received.size() == 2) received.push_back(run);
  ExpectReceived(received.empty()
                     ? Strings{}
                     : Reports(std::stoul(received[0]), std::stoul(received[1]),
                               Joined(Strings(received.begin() + 2, received.end()), " ")));
  if (!fields[5].empty()) {
    Strings opens;
    for (const auto& device : Words(fields[5]))
      if (device != "-") opens.push_back(device + " open");
    ExpectOpens(opens);
  }
  if (given("json"))
    ExpectJson(Joined(lines, "|"));
  else if (listing)
    ExpectLines("out", "standard output", lines);
  else if (!quiet) {  // the channel's, up to the line of digit LINES
    std::string name = run;
    std::replace(name.begin(), name.end(), ' ', '_');
    const std::string out = ReadFile(Work("out"));
    if (out != TestData::Stdout(name, static_cast<std::size_t>(3 + 2 * std::stoi(fields[3]))))
      Problem("standard output: " + Flat(out));
  }
  // Standard error, or the system log standing for it, where there is one to see.
  const bool told = !given("closed") && (!quiet || given("log"));
  if (told && (expected == 1 || !texts.empty()))
    ExpectStderr(texts, given("log") ? "the system log" : "standard error");
  else if (const std::string err = ReadFile(Work("err")); told && !err.empty())
    Problem("standard error: " + Flat(err));
  // The times: wine takes seconds to start and to learn of a device, so that only lower bounds
  // hold on Windows.
  std::string latency;
  std::vector<long> taken;  // when the first device took its reports, in us
  for (const auto& line : Lines(ReadFile(Work("emulator.out")))) {
    const Strings words = Words(line);
    if (words.size() == 3 && words[0] == "latency" && latency.empty()) latency = words[2];
    if (words.size() == 3 && words[0] == "taken" && words[1] == "0")
      taken.push_back(std::stol(words[2]));
  }
  const Strings took = Split(value("took"), '-');
  const std::string apart = value("apart"), most = value("latency");
  if (took.size() < 2 && latency.empty() && apart.empty()) return true;
  taken.resize(std::max<std::size_t>(taken.size(), 3), 0);  // zeros stand in for missing ones
  note = "run " + std::to_string(elapsed) + " ms" +
         (latency.empty() ? "" : ", node to first report " + latency + " us") +
         (apart.empty() ? ""
                        : ", reports taken at " + std::to_string(taken[0]) + " " +
                              std::to_string(taken[1]) + " " + std::to_string(taken[2]) + " us");
  const bool fast = (took.size() == 2 && elapsed < std::stol(took[0])) ||
                    (!apart.empty() && (taken[1] - taken[0] < 1000 * std::stol(apart) ||
                                        taken[2] - taken[1] < 1000 * std::stol(apart)));
  const bool slow =
      (took.size() == 2 && !took[1].empty() && elapsed > std::stol(took[1])) ||
      (!latency.empty() && !most.empty() && std::stol(latency) >= 1000 * std::stol(most));
  if (fast || (slow && !build.windows)) Problem(note);
  return true;
}

// ---- Scenarios of their own.

// Twenty (build.pairs) times two runs at once: each run's three reports must arrive together.
void ConcurrentPairs() {
  if (!Plug("6666:f100:8")) return;
  for (int round = 1; round <= build.pairs; ++round) {
    Command a = Tunezap({"1", "1", "123"}), b = Tunezap({"0", "2", "456"});
    a.out = b.out = "/dev/null";
    a.err = Work("err.a");
    b.err = Work("err.b");
    const pid_t first = Start(a), second = Start(b);
    for (const auto& [pid, err] : {std::pair{first, a.err}, std::pair{second, b.err}})
      if (const int exit_status = Finish(pid, 30); exit_status != 0)
        Problem("round " + std::to_string(round) + ": a run's exit status " +
                std::to_string(exit_status) + ": " + Flat(ReadFile(err)));
  }
  Unplug();
  // Each three records in a row, with how often they came: whole runs only, build.pairs of each.
  std::map<std::string, int> runs, expected;
  const Strings records = Lines(ReadFile(Work("received")));
  for (std::size_t at = 0; at < records.size(); at += 3) {
    std::string run;
    for (std::size_t i = at; i < std::min(at + 3, records.size()); ++i)
      run += (i == at ? "" : " ") + records[i];
    ++runs[run];
  }
  for (const auto* run : {"0 2 456", "1 1 123"})
    expected[Joined(Reports(0, 3, run), " ")] = build.pairs;
  if (runs != expected) {
    std::string got;
    for (const auto& [records_of_run, times] : runs)
      got += std::to_string(times) + " " + records_of_run + "|";
    Problem("runs received: " + got);
  }
}

// Two identical boxes told apart by their serial numbers, beside a mouse: --list names both with
// their serials (opening both, to tell whether they can be opened), --serial and --device (with
// the path --list printed; where that is a file, through a link, as a user's udev rule would make
// one) pick the second, and the run opens and writes to it alone.
void PicksSecond(const std::string& option) {
  if (!Plug(kBoxes)) return;
  Run(Tunezap({"--list"}));
  std::string box_b;
  int openable = 0;
  for (const auto& line : Lines(ReadFile(Work("out")))) {
    for (const std::string box : {"BOX-A", "BOX-B"})
      openable += line.find(" 6666:f100 " + box + " 9 can be opened") != std::string::npos;
    const Strings words = Words(line.substr(std::min<std::size_t>(2, line.size())));
    if (words.size() >= 3 && words[1] == "6666:f100" && words[2] == "BOX-B") box_b = words[0];
  }
  if (openable != 2) Problem("list: " + Flat(ReadFile(Work("out"))));
  if (fs::exists(box_b)) {
    fs::remove(Work("box-b"));
    fs::create_symlink(box_b, Work("box-b"));
    box_b = Work("box-b");
  }
  Outcome("|" + (option == "--device" ? "--device " + box_b : option) + " 1 5 123|0|3|2 3|1 2 2");
}

// ---- Recording servers: the system log.

void Scenario(const std::string& name);

// --syslog logs a success and a failure (as its standard error line); without it a failure is
// logged where standard error is closed or /dev/null, not where it is a file. (Every other
// scenario but usb_stalled runs without /dev/log: stderr_closed shows that a log out of reach
// changes nothing.)
void Syslog() {
  StartSyslogd();
  Outcome("6666:f100:8|--syslog 0 9 7|0|3|0 3|");
  for (const std::string options : {"", "--syslog"})
    Outcome("6666:f100:4|" + options + " 1 5 123|1|1||");
  const std::string failure = "err " + Lines(ReadFile(Work("err"))).at(0);
  Scenario("stderr_closed");
  Outcome("6666:f100:4|1 5 123|1||||quiet");
  // Lines come in the order they were sent: one logged by mistake comes before the fourth.
  Write(Work("logged"), Joined(StopSyslogd(4), "\n") + "\n");
  ExpectLines("logged", "system log",
              {"info tunezap: channel 7 changed: box 0, value 9, device " + build.node0, failure,
               failure, failure});
}

const std::map<std::string, std::function<void()>> kScenarios{
    {"concurrent_pairs", ConcurrentPairs},
    {"serial_picks_second", [] { PicksSecond("--serial=BOX-B"); }},
    {"device_picks_second", [] { PicksSecond("--device"); }},
    {"syslog", Syslog},
};

// Scenario `name`: a function of this program's, or the rows of scenarios.cases that it names.
void Scenario(const std::string& name) {
  if (const auto function = kScenarios.find(name); function != kScenarios.end())
    return function->second();
  Strings rows;
  for (const auto& row : Lines(ReadFile("/e2e/scenarios.cases")))
    if (row.starts_with(name + "|")) rows.push_back(row.substr(name.size() + 1));
  if (rows.empty()) Problem("no such scenario");
  for (const auto& row : rows)
    if (!Outcome(row)) return;
}

// ---- The Windows group: scenario NAME with tunezap.exe run by wine in the chroot of the host's
// root that /init prepared, started afresh for each set of devices (see Plug) and stopped after.
void WindowsScenario(const std::string& name) {
  build.tunezap = InWine({"wine", Lines(ReadFile("/e2e/windows")).at(0)});
  // Where wine is not Windows: the interface path carries the device's uniq (the emulator's name
  // for it); a write to an unplugged device fails with "General failure" (ERROR_GEN_FAILURE), so
  // only the failing call is checked; wine shows three HID interfaces besides the emulated ones
  // (two virtual devices of its own, one its bus makes of an input device of the guest through
  // evdev), where Windows would show that machine's own.
  build.node0 = "\\\\?\\hid#vid_6666&pid_f100#";
  build.gone = "WriteFile";
  build.ownInterfaces = 3;
  build.pairs = 5;
  build.opensAreOurs = false;
  build.windows = true;
  build.late = std::chrono::seconds(8);  // wine starts for 2 to 3 s before the program searches
  // wine learns of a device that comes late from udevd.
  if (!name.starts_with("wait_") || StartUdevd()) Scenario(name);
  Unplug();
  Call(Command(InWine({"wineserver", "-k"})));
  Call(Command(InWine({"wineserver", "-w"})));
}

int Main(int argc, char** argv) {
  struct sigaction on_alarm {};
  on_alarm.sa_handler = [](int) {};  // interrupts a wait that takes too long (no SA_RESTART)
  sigaction(SIGALRM, &on_alarm, nullptr);
  fs::create_directories(kWork);
  for (int i = 1; i < argc; ++i) {
    scenario = argv[i];
    problems.clear();
    note.clear();
    try {
      if (scenario.starts_with("windows_")) {
        WindowsScenario(scenario.substr(8));
      } else if (scenario.starts_with("armhf_")) {  // 32-bit ARM on the 64-bit kernel
        build.tunezap = {"/usr/bin/tunezap-armhf"};
        Scenario(scenario.substr(6));
      } else {
        Scenario(scenario);
      }
    } catch (const std::exception& error) {
      Problem(std::string("guest: ") + error.what());
    }
    Unplug();
    StopUdevd();
    if (logger != 0) StopSyslogd(0);
    build = Build{};
    if (problems.empty())
      std::printf("E2E ok %s%s\n", scenario.c_str(),
                  note.empty() ? "" : (" (" + note + ")").c_str());
    else
      std::printf("E2E FAIL %s: %s\n", scenario.c_str(), problems.c_str());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace Guest

int main(int argc, char** argv) { return Guest::Main(argc, argv); }
