// Emulated USB HID devices for the end-to-end tests, run inside the test guest. Creates the
// devices through /dev/uhid, answers the kernel's requests and records what each device receives.
//
//   hid_emulator --out FILE [--opens FILE] DEVICE...
//
// DEVICE is [usb:]VID:PID:LENGTH[:vanish][:serial=TEXT][:late][:term][:full]: hexadecimal ids, the
// payload length in bytes of the device's one output report (0: the device has no output report),
// "vanish" to unplug the device right after its first output report, its uniq (a USB device's
// serial number string; \xNN a byte), which must differ from every other device's, "late" to plug
// it in only at SIGUSR1, "term" to send SIGTERM, at each output report, to every process that has
// its hidraw node open, and (usb: only) "full" for a box that stopped reading: its gadget's queue
// is filled with reports of its own (never recorded) before "ready", and read again only 6 s later.
// Devices are created in the order given (the late ones after the others), each only once the
// previous one has its /dev/hidrawN, so hidraw numbers follow that order.
//
// "usb:" makes a real USB device instead: a gadget with the HID function (usb_f_hid) made through
// configfs, mounted at /sys/kernel/config, and plugged into the first USB device controller
// (dummy_hcd's): the kernel's usbhid driver takes it like any USB device, reports travel as
// interrupt transfers, and what the gadget reads from its /dev/hidgN is recorded. Unplugging
// unbinds the gadget from the controller. The controller takes one such device at a time.
//
// Standard output: "device I /dev/hidrawN" per device, "ready" once all but the late ones are in,
// "taken I US" at each output report (US: the monotonic clock in microseconds), and for a late one
// "latency I US" too: microseconds since its node was there.
// Runs until SIGTERM or SIGINT, then records what the kernel still had queued, unplugs the devices
// and exits 0.
//
// FILE receives one line per event that carries data, I being the device's place (0 first):
//   I output HEX          an output report, every byte the kernel passed on (on USB: every byte
//                         of the interrupt transfer)
//   I set_report N HEX    a SET_REPORT request for report N (answered with success)
//   I get_report N        a GET_REPORT request for report N (answered with EIO)
// The --opens FILE receives "I open" each time the kernel starts the device for a first opener
// (UHID_OPEN): what a program does to every interface it opens.
#include <fcntl.h>
#include <glob.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace HidEmulator {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Device {
  std::uint16_t vendor = 0, product = 0;  // what its description gives
  unsigned outputLength = 0;
  std::string serial;  // its uniq (for USB, the serial number string); empty: one of our own
  bool usb = false, vanish = false, late = false, term = false, full = false, unplugged = false;
  // uniq: how its hidraw node is told apart from every other one in sysfs; gadget (usb only): its
  // directory in configfs; node: its /dev/hidrawN
  std::string uniq, gadget, node;
  Clock::time_point seen;  // when its node was there
  // fd: its /dev/uhid or /dev/hidgN; unrecorded ("full"): reports of its own still queued, read
  // but not recorded
  int fd = -1, unrecorded = 0;
};

std::vector<Device> Devices;
int RecordFd = -1, OpensFd = -1;  // OpensFd -1: opens are not recorded
Clock::time_point StallEnd;       // until when "full" devices are not read

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "hid_emulator: %s\n", what.c_str());
  std::exit(1);
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// A serial's text, "\xNN" standing for byte NN: a serial may hold any byte but NUL.
std::string Unescaped(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool escape = text.compare(i, 2, "\\x") == 0 && i + 4 <= text.size();
    bytes += escape ? static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)) : text[i];
    if (escape) i += 3;
  }
  return bytes;
}

bool ParseModel(std::string text, Device* model) {
  model->usb = text.starts_with("usb:");
  if (model->usb) text.erase(0, 4);
  int used = 0;
  if (std::sscanf(text.c_str(), "%4hx:%4hx:%4u%n", &model->vendor, &model->product,
                  &model->outputLength, &used) != 3 ||
      model->outputLength > 1024)
    return false;
  std::map<std::string, bool*> named = {
      {"vanish", &model->vanish}, {"late", &model->late}, {"term", &model->term}};
  if (model->usb) named["full"] = &model->full;
  std::istringstream flags(text.substr(static_cast<std::size_t>(used)));
  for (std::string flag; std::getline(flags, flag, ':');) {
    if (named.contains(flag))
      *named[flag] = true;
    else if (flag.starts_with("serial=") && flag.size() > 7)
      model->serial = Unescaped(flag.substr(7));
    else if (!flag.empty())  // the one before the first colon
      return false;
  }
  return true;
}

// A vendor-defined device like the set-top box's: one 8-byte input report and one output report
// of `outputLength` bytes, both without a report id.
std::vector<std::uint8_t> ReportDescriptor(unsigned outputLength) {
  std::vector<std::uint8_t> d = {
      0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x09, 0x02,        //   Usage (2)
      0x95, 0x08,        //   Report Count (8)
      0x81, 0x02,        //   Input (Data, Variable, Absolute)
  };
  if (outputLength > 0) {
    const auto low = std::uint8_t(outputLength & 0xFF), high = std::uint8_t(outputLength >> 8);
    // Usage (3), Report Count in one byte or, past 255, two
    d.insert(d.end(), {0x09, 0x03, std::uint8_t(high ? 0x96 : 0x95), low});
    if (high) d.push_back(high);
    d.insert(d.end(), {0x91, 0x02});  // Output (Data, Variable, Absolute)
  }
  d.push_back(0xC0);  // End Collection
  return d;
}

// `size` bytes in one write, as the kernel takes them.
void WriteAll(int fd, const void* data, std::size_t size, const std::string& what) {
  if (write(fd, data, size) != static_cast<ssize_t>(size)) Fail(ErrnoText("write " + what));
}

int Open(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) Fail(ErrnoText("open " + path));
  return fd;
}

void Send(const Device& device, const uhid_event& event) {
  WriteAll(device.fd, &event, sizeof event, "/dev/uhid");
}

// A line to `fd` (-1: nowhere): the record, the opens or standard output.
void Record(const std::string& line, int fd = RecordFd) {
  if (fd < 0) return;
  const std::string text = line + "\n";
  // One write per line (and O_APPEND): a line is never torn, whoever reads meanwhile.
  WriteAll(fd, text.data(), text.size(), "record");
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string text;
  for (const std::uint8_t byte : std::span(data, size))
    text += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 0x0F]};
  return text;
}

// Writes a configfs attribute in one write, as the kernel takes it.
void WriteAttribute(const std::string& path, const std::string& value) {
  const int fd = Open(path, O_WRONLY);
  WriteAll(fd, value.data(), value.size(), path);
  close(fd);
}

void Unplug(Device& device) {
  if (device.unplugged) return;
  device.unplugged = true;
  // Unbound, a gadget's host sees a disconnect.
  if (device.usb) return WriteAttribute(device.gadget + "/UDC", "\n");
  Send(device, {.type = UHID_DESTROY, .u = {}});
}

// Sends SIGTERM to every process that has `node` open.
void TerminateHolders(const std::string& node) {
  glob_t found{};
  if (glob("/proc/[0-9]*/fd/*", 0, nullptr, &found) != 0) return;
  for (std::size_t i = 0; i < found.gl_pathc; ++i) {
    std::error_code gone;  // a process that ended meanwhile
    if (std::filesystem::read_symlink(found.gl_pathv[i], gone) != node) continue;
    kill(std::stoi(found.gl_pathv[i] + std::strlen("/proc/")), SIGTERM);
  }
  globfree(&found);
}

// An output report the device took: recorded, timed from its node's coming for a late device, and
// the end of a vanishing one.
void Output(Device& device, const std::string& prefix, const std::uint8_t* data, std::size_t size) {
  if (device.unrecorded > 0) {
    --device.unrecorded;
    return;
  }
  Record(prefix + "output " + Hex(data, size));
  if (device.term) TerminateHolders(device.node);
  const auto now = Clock::now();
  Record("taken " + prefix + std::to_string(now.time_since_epoch() / 1us), STDOUT_FILENO);
  if (device.late)
    Record("latency " + prefix + std::to_string((now - device.seen) / 1us), STDOUT_FILENO);
  if (device.vanish) Unplug(device);
}

// One read of `fd`: what it got, -1 when nothing was pending.
ssize_t ReadPending(int fd, void* data, std::size_t size, const std::string& what) {
  const ssize_t got = read(fd, data, size);
  if (got < 0 && errno != EAGAIN && errno != EINTR) Fail(ErrnoText("read " + what));
  return got;
}

// Reads and answers the device's next pending event (for a gadget: the next report it read off
// the wire). False when none was pending.
bool ServeOne(std::size_t index) {
  Device& device = Devices[index];
  const std::string prefix = std::to_string(index) + " ";
  if (device.usb) {
    std::uint8_t report[1024];
    const ssize_t got =
        device.unplugged ? -1 : ReadPending(device.fd, report, sizeof report, device.gadget);
    if (got >= 0) Output(device, prefix, report, static_cast<std::size_t>(got));
    return got >= 0;
  }
  uhid_event event{};
  if (ReadPending(device.fd, &event, sizeof event, "/dev/uhid") <
      static_cast<ssize_t>(sizeof event.type))
    return false;
  switch (event.type) {
    case UHID_OUTPUT:
      Output(device, prefix, event.u.output.data,
             std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX));
      break;
    case UHID_GET_REPORT:
      Record(prefix + "get_report " + std::to_string(event.u.get_report.rnum));
      if (!device.unplugged)
        Send(device, {.type = UHID_GET_REPORT_REPLY,
                      .u = {.get_report_reply = {
                                .id = event.u.get_report.id, .err = EIO, .size = 0, .data = {}}}});
      break;
    case UHID_SET_REPORT:
      Record(prefix + "set_report " + std::to_string(event.u.set_report.rnum) + " " +
             Hex(event.u.set_report.data,
                 std::min<std::size_t>(event.u.set_report.size, UHID_DATA_MAX)));
      if (!device.unplugged)
        Send(device, {.type = UHID_SET_REPORT_REPLY,
                      .u = {.set_report_reply = {.id = event.u.set_report.id, .err = 0}}});
      break;
    case UHID_OPEN:
      Record(prefix + "open", OpensFd);
      break;
    default:  // UHID_START, UHID_STOP, UHID_CLOSE: nothing to answer
      break;
  }
  return true;
}

// Milliseconds until the stall of the "full" devices ends, -1 once it has.
int StallLeft() {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(StallEnd - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : -1;
}

// Serves every device until `timeoutMs` passes without an event, or a signal arrives on
// `signalFd` (-1: none). The signal's number, 0 for none.
int Serve(int signalFd, int timeoutMs) {
  std::vector<pollfd> fds;
  for (const Device& device : Devices)
    fds.push_back({device.full && StallLeft() >= 0 ? -1 : device.fd, POLLIN, 0});
  if (signalFd >= 0) fds.push_back({signalFd, POLLIN, 0});
  const int ready = poll(fds.data(), fds.size(), timeoutMs);
  if (ready < 0 && errno == EINTR) return 0;
  if (ready < 0) Fail(ErrnoText("poll"));
  for (std::size_t i = 0; i < Devices.size(); ++i)
    if (fds[i].revents & POLLIN)
      while (ServeOne(i)) continue;
  signalfd_siginfo caught{};
  if (signalFd < 0 || !(fds.back().revents & POLLIN)) return 0;
  if (read(signalFd, &caught, sizeof caught) != sizeof caught) Fail(ErrnoText("read signal"));
  return static_cast<int>(caught.ssi_signo);
}

std::string FindHidraw(const std::string& uniq) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", error)) {
    std::ifstream uevent(entry.path() / "device" / "uevent");
    for (std::string line; std::getline(uevent, line);)
      if (line == "HID_UNIQ=" + uniq) return "/dev/" + entry.path().filename().string();
  }
  return "";
}

// The first USB device controller: dummy_hcd's, which takes one gadget at a time.
std::string FirstController() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/udc", error))
    return entry.path().filename();
  Fail("no USB device controller in /sys/class/udc (dummy_hcd not loaded?)");
}

// The device as a USB gadget: its serial number is the uniq its hidraw node is found by.
void CreateGadget(Device& device) {
  namespace fs = std::filesystem;
  const std::string g = "/sys/kernel/config/usb_gadget/" + device.uniq;
  const std::string function = g + "/functions/hid.usb0";
  std::error_code error;
  for (const std::string& directory : {g, g + "/strings/0x409", g + "/configs/c.1", function})
    if (!fs::create_directory(directory, error))
      Fail("mkdir " + directory + ": " + error.message());
  device.gadget = g;
  WriteAttribute(g + "/idVendor", std::to_string(device.vendor));
  WriteAttribute(g + "/idProduct", std::to_string(device.product));
  WriteAttribute(g + "/bcdDevice", "0x0100");
  WriteAttribute(g + "/strings/0x409/manufacturer", "tunezap e2e");
  WriteAttribute(g + "/strings/0x409/product", "tunezap e2e gadget");
  WriteAttribute(g + "/strings/0x409/serialnumber", device.uniq);
  // The endpoints' packet size: room for the output report and the 8-byte input report.
  WriteAttribute(function + "/report_length", std::to_string(std::max(device.outputLength, 8u)));
  const std::vector<std::uint8_t> descriptor = ReportDescriptor(device.outputLength);
  WriteAttribute(function + "/report_desc", std::string(descriptor.begin(), descriptor.end()));
  fs::create_directory_symlink(function, g + "/configs/c.1/hid.usb0", error);
  if (error) Fail("link the HID function: " + error.message());
  WriteAttribute(g + "/UDC", FirstController());

  // The gadget side's node: the /dev/hidgN whose device number ("MAJOR:MINOR") the function names.
  std::string number;
  std::getline(std::ifstream(function + "/dev"), number);
  const fs::path node = fs::read_symlink("/sys/dev/char/" + number, error);
  if (error) Fail("no device " + number + " for " + function + ": " + error.message());
  device.fd = Open("/dev/" + node.filename().string(), O_RDONLY | O_NONBLOCK);
}

// Takes the gadget apart, once unbound and its node closed.
void RemoveGadget(const Device& device) {
  const std::string& g = device.gadget;
  for (const std::string& path : {g + "/configs/c.1/hid.usb0", g + "/configs/c.1",
                                  g + "/functions/hid.usb0", g + "/strings/0x409", g})
    if (remove(path.c_str()) != 0) Fail(ErrnoText("remove " + path));
}

void CreateUhid(Device& device, std::size_t index) {
  device.fd = Open("/dev/uhid", O_RDWR | O_NONBLOCK);

  uhid_event event{};
  event.type = UHID_CREATE2;
  uhid_create2_req& create = event.u.create2;
  std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "tunezap e2e device %zu",
                index);
  std::snprintf(reinterpret_cast<char*>(create.phys), sizeof create.phys, "e2e/%zu", index);
  std::snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "%s",
                device.uniq.c_str());
  const std::vector<std::uint8_t> descriptor = ReportDescriptor(device.outputLength);
  std::memcpy(create.rd_data, descriptor.data(), descriptor.size());
  create.rd_size = static_cast<std::uint16_t>(descriptor.size());
  create.bus = BUS_USB;
  create.vendor = device.vendor;
  create.product = device.product;
  create.version = 0x0100;
  Send(device, event);
}

void Create(std::size_t index) {
  Device& device = Devices[index];
  // A serial given must be unique among the devices: the node is found by it.
  device.uniq = !device.serial.empty()
                    ? device.serial
                    : "tunezap-e2e-" + std::to_string(getpid()) + "-" + std::to_string(index);
  device.usb ? CreateGadget(device) : CreateUhid(device, index);

  // The kernel adds the device from a worker; wait for its node before the next one is made.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    const std::string node = FindHidraw(device.uniq);
    if (!node.empty() && std::filesystem::exists(node)) {
      device.seen = Clock::now();
      device.node = node;
      Record("device " + std::to_string(index) + " " + node, STDOUT_FILENO);
      return;
    }
    if (Clock::now() > deadline)
      Fail("device " + std::to_string(index) + ": no hidraw node after 10 s");
    Serve(-1, 1);
  }
}

// A box that stopped reading: usb_f_hid queues four requests for the host's reports and queues one
// again only once its node is read, so the four reports written here fill it, and usbhid refuses
// the host's next report (after its 5 s bound) until the stall ends: 6 s, between one bound and
// two.
void FillGadgetQueue(Device& device) {
  constexpr int kGadgetRequests = 4;
  const int fd = Open(device.node, O_WRONLY);
  std::vector<std::uint8_t> report(1 + device.outputLength, 0xEE);
  report[0] = 0;  // no report id
  for (int i = 0; i < kGadgetRequests; ++i) WriteAll(fd, report.data(), report.size(), device.node);
  close(fd);
  device.unrecorded = kGadgetRequests;
  StallEnd = Clock::now() + std::chrono::seconds(6);
}

int Run(int argc, char** argv) {
  if (argc < 4 || std::string_view(argv[1]) != "--out") {
    std::fprintf(stderr,
                 "usage: hid_emulator --out FILE [--opens FILE]"
                 " [usb:]VID:PID:LENGTH[:vanish][:serial=TEXT][:late][:term][:full]...\n");
    return 2;
  }
  int first = 3;
  if (argc > 5 && std::string_view(argv[3]) == "--opens") {
    OpensFd = Open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    first = 5;
  }
  for (int i = first; i < argc; ++i)
    if (!ParseModel(argv[i], &Devices.emplace_back())) Fail(std::string("bad device: ") + argv[i]);
  RecordFd = Open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);

  // Real hardware takes a report the moment it is written. Running before any ordinary process
  // gets the emulator the same: on the guest's one processor it reads each report, and unplugs a
  // vanishing device, before the writer's next write.
  sched_param priority{.sched_priority = 50};
  if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) Fail(ErrnoText("sched_setscheduler"));

  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGUSR1}) sigaddset(&signals, signal);
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) Fail(ErrnoText("sigprocmask"));
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) Fail(ErrnoText("signalfd"));

  for (std::size_t i = 0; i < Devices.size(); ++i) {
    if (!Devices[i].late) Create(i);
    if (Devices[i].full) FillGadgetQueue(Devices[i]);
  }
  Record("ready", STDOUT_FILENO);

  for (int caught = 0; caught != SIGTERM && caught != SIGINT;
       caught = Serve(signalFd, StallLeft())) {
    for (std::size_t i = 0; caught == SIGUSR1 && i < Devices.size(); ++i)
      if (Devices[i].late && Devices[i].fd < 0) Create(i);
  }
  // Whatever the kernel queued before the signal still counts as received.
  for (std::size_t i = 0; i < Devices.size(); ++i)
    while (ServeOne(i)) continue;
  for (Device& device : Devices) {
    Unplug(device);
    close(device.fd);
    if (device.usb) RemoveGadget(device);
  }
  close(RecordFd);
  if (OpensFd >= 0) close(OpensFd);
  return 0;
}

}  // namespace HidEmulator

int main(int argc, char** argv) { return HidEmulator::Run(argc, argv); }
