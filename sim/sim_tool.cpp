// The drover-sim command: manages a simulated bus directory.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "base/strfmt.h"
#include "sim/sim_bus.h"
#include "sim/sim_chip.h"

namespace drover::sim {

namespace {

constexpr const char* kUsage =
    "usage: drover-sim add BUS --ic NAME [--memory spi|nor|eeprom8|eeprom16|otp]\n"
    "                  [--vid 0xV --pid 0xP --rev 0xR] [--manufacturer TEXT] [--product TEXT]\n"
    "                  [--serial TEXT] [--friendly-name TEXT] [--port N[.N...]] [--bus N] [--root-hub ID]\n"
    "                  [--form both|ext|vendor] [--chip-id 0xB0,0xB1] [--image FILE]\n"
    "                  [--signature pass|fail|busy] [--ext-code 0xC] [--unit-id N] [--uac2]\n"
    "                  [--speed high|full] [--composite none|audio-first|other-first] [--problem]\n"
    "                  [--flash-size N] [--eeprom-size N] [--otp] [--otp-locked] [--dual-wp]\n"
    "                  [--max-dcs N] [--reset-delay MS] [--sr-busy-reads N] [--erase-busy-polls N]\n"
    "                  [--rom-boot N] [--signature-busy N]\n"
    "       drover-sim list BUS\n"
    "       drover-sim show BUS N\n"
    "       drover-sim read BUS N --memory spi|nor|eeprom|otp|regs OUT [--offset O] [--length L]\n"
    "       drover-sim write BUS N --memory spi|nor|eeprom|otp|regs FILE [--offset O]\n"
    "       drover-sim fault BUS N [--clear] [--leave-after N] [--stall RULE]... [--timeout RULE]...\n"
    "                  [--status-after-failure B|none] [--otp-bad A,A,...] [--erase-never-completes yes|no]\n"
    "                  [--signature pass|fail|busy]\n"
    "         RULE: cmd:OP | data:OP | status | getlen | vendor:REQ | any, then +SKIP and *TIMES\n"
    "       drover-sim plug BUS N\n"
    "       drover-sim unplug BUS N\n";

struct UsageError {
  std::string text;
};

bool ParseU64(const std::string& text, std::uint64_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && end && *end == 0;
}

std::uint64_t Number(const std::string& option, const std::string& text, std::uint64_t max) {
  std::uint64_t v = 0;
  if (!ParseU64(text, v) || v > max) throw UsageError{StrFormat("bad value for %s: %s", option.c_str(), text.c_str())};
  return v;
}

std::vector<std::uint64_t> NumberList(const std::string& option, const std::string& text, char sep,
                                      std::uint64_t max) {
  std::vector<std::uint64_t> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(sep, start);
    out.push_back(Number(option, text.substr(start, at == std::string::npos ? std::string::npos : at - start), max));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return out;
}

// Options of the form --name VALUE or --flag, collected after the positional arguments.
class Args {
 public:
  Args(const std::vector<std::string>& args, std::size_t from, const std::vector<std::string>& valued,
       const std::vector<std::string>& flags) {
    for (std::size_t i = from; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a.rfind("--", 0) == 0) {
        if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
          m_values.emplace_back(a, "");
          continue;
        }
        if (std::find(valued.begin(), valued.end(), a) == valued.end()) throw UsageError{"unknown option " + a};
        if (i + 1 >= args.size()) throw UsageError{"missing value for " + a};
        m_values.emplace_back(a, args[++i]);
      } else {
        m_positional.push_back(a);
      }
    }
  }
  bool Has(const std::string& name) const {
    for (const auto& [k, v] : m_values)
      if (k == name) return true;
    return false;
  }
  std::string Get(const std::string& name) const {
    std::string value;
    for (const auto& [k, v] : m_values)
      if (k == name) value = v;
    return value;
  }
  std::vector<std::string> All(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& [k, v] : m_values)
      if (k == name) out.push_back(v);
    return out;
  }
  const std::vector<std::string>& Positional() const { return m_positional; }

 private:
  std::vector<std::pair<std::string, std::string>> m_values;
  std::vector<std::string> m_positional;
};

bool ParseMemoryName(const std::string& text, Memory& out) {
  if (text == "spi" || text == "nor" || text == "flash") out = Memory::Flash;
  else if (text == "eeprom" || text == "eeprom8" || text == "eeprom16") out = Memory::Eeprom;
  else if (text == "otp") out = Memory::Otp;
  else if (text == "regs") out = Memory::Regs;
  else return false;
  return true;
}

int Fail(std::string& err, const std::string& text) {
  err += "drover-sim: " + text + "\n";
  return 1;
}

std::string ResetsText(const std::array<std::uint32_t, 4>& r) {
  std::string text = StrFormat("7:%u 9:%u 10:%u", r[0], r[2], r[3]);
  if (r[1]) text += StrFormat(" 8:%u", r[1]);
  return text;
}

std::string FaultsText(const Faults& f) {
  std::string text;
  auto add = [&text](const std::string& part) {
    if (!text.empty()) text += " ";
    text += part;
  };
  if (f.leaveAfter >= 0) add(StrFormat("leave-after=%lld", static_cast<long long>(f.leaveAfter)));
  for (const auto& r : f.stall) add("stall=" + FaultRuleText(r));
  for (const auto& r : f.timeout) add("timeout=" + FaultRuleText(r));
  if (f.statusAfterFailure >= 0) add(StrFormat("status-after-failure=0x%02X", f.statusAfterFailure));
  if (!f.otpBad.empty()) {
    std::string list;
    for (auto a : f.otpBad) list += (list.empty() ? "" : ",") + StrFormat("0x%04X", a);
    add("otp-bad=" + list);
  }
  if (f.eraseNeverCompletes) add("erase-never-completes");
  if (f.signature != SignatureResult::Pass) add(std::string("signature=") + SignatureName(f.signature));
  return text.empty() ? "none" : text;
}

std::shared_ptr<SimBus> OpenExisting(const std::string& dir, std::string& err) {
  std::string error;
  auto bus = SimBus::Open(dir, false, &error);
  if (!bus) Fail(err, error);
  return bus;
}

int DeviceNumber(SimBus& bus, const std::string& text, std::string& err) {
  std::uint64_t n = 0;
  if (!ParseU64(text, n)) throw UsageError{"bad device number " + text};
  if (n > 0x7FFFFFFF || !bus.HasDevice(static_cast<int>(n))) {
    Fail(err, StrFormat("no device %s on bus %s", text.c_str(), bus.Directory().c_str()));
    return -1;
  }
  return static_cast<int>(n);
}

int CmdAdd(const std::vector<std::string>& args, std::string& out, std::string& err) {
  Args a(args, 3,
         {"--ic", "--memory", "--vid", "--pid", "--rev", "--manufacturer", "--product", "--serial", "--friendly-name",
          "--port", "--bus", "--root-hub", "--form", "--chip-id", "--image", "--signature", "--ext-code", "--unit-id",
          "--speed", "--composite", "--flash-size", "--eeprom-size", "--max-dcs", "--reset-delay", "--sr-busy-reads",
          "--erase-busy-polls", "--rom-boot", "--signature-busy"},
         {"--uac2", "--problem", "--otp", "--otp-locked", "--dual-wp"});
  if (!a.Positional().empty()) throw UsageError{"unexpected argument " + a.Positional()[0]};
  DeviceOptions o;
  if (!a.Has("--ic")) throw UsageError{"add needs --ic NAME"};
  o.ic = a.Get("--ic");
  if (!FindSimIcType(o.ic)) throw UsageError{"unknown IC type " + o.ic};
  if (a.Has("--memory") && !ParseMemoryKind(a.Get("--memory"), o.memory))
    throw UsageError{"unknown memory type " + a.Get("--memory")};
  if (a.Has("--vid")) o.vid = static_cast<std::uint16_t>(Number("--vid", a.Get("--vid"), 0xFFFF));
  if (a.Has("--pid")) o.pid = static_cast<std::uint16_t>(Number("--pid", a.Get("--pid"), 0xFFFF));
  if (a.Has("--rev")) o.rev = static_cast<std::uint16_t>(Number("--rev", a.Get("--rev"), 0xFFFF));
  if (a.Has("--manufacturer")) o.manufacturer = a.Get("--manufacturer");
  if (a.Has("--product")) o.product = a.Get("--product");
  if (a.Has("--serial")) o.serial = a.Get("--serial");
  if (a.Has("--friendly-name")) o.friendlyName = a.Get("--friendly-name");
  if (a.Has("--port"))
    for (auto p : NumberList("--port", a.Get("--port"), '.', 255)) o.ports.push_back(static_cast<std::uint8_t>(p));
  if (a.Has("--bus")) o.bus = static_cast<std::uint8_t>(Number("--bus", a.Get("--bus"), 255));
  if (a.Has("--root-hub")) o.rootHub = a.Get("--root-hub");
  if (a.Has("--form") && !ParseCommandForm(a.Get("--form"), o.form)) throw UsageError{"unknown form " + a.Get("--form")};
  if (a.Has("--chip-id")) {
    const auto id = NumberList("--chip-id", a.Get("--chip-id"), ',', 0xFF);
    if (id.size() != 2) throw UsageError{"--chip-id takes two bytes"};
    o.chipIdSet = true;
    o.chipId = {static_cast<std::uint8_t>(id[0]), static_cast<std::uint8_t>(id[1])};
  }
  if (a.Has("--signature") && !ParseSignature(a.Get("--signature"), o.signature))
    throw UsageError{"unknown signature result " + a.Get("--signature")};
  if (a.Has("--ext-code")) o.extensionCode = static_cast<std::uint16_t>(Number("--ext-code", a.Get("--ext-code"), 0xFFFF));
  if (a.Has("--unit-id")) o.unitId = static_cast<std::uint8_t>(Number("--unit-id", a.Get("--unit-id"), 255));
  if (a.Has("--speed")) {
    const std::string s = a.Get("--speed");
    if (s == "high") o.speed = Speed::High;
    else if (s == "full") o.speed = Speed::Full;
    else throw UsageError{"unknown speed " + s};
  }
  if (a.Has("--composite") && !ParseComposite(a.Get("--composite"), o.composite))
    throw UsageError{"unknown composite layout " + a.Get("--composite")};
  if (a.Has("--flash-size")) o.flashSize = static_cast<std::uint32_t>(Number("--flash-size", a.Get("--flash-size"), 0xFFFFFFFF));
  if (a.Has("--eeprom-size"))
    o.eepromSize = static_cast<std::uint32_t>(Number("--eeprom-size", a.Get("--eeprom-size"), 0xFFFFFFFF));
  if (a.Has("--max-dcs")) o.maxDataControlSize = static_cast<std::uint32_t>(Number("--max-dcs", a.Get("--max-dcs"), 0xFFFFFFFF));
  if (a.Has("--reset-delay"))
    o.resetDelayMs = static_cast<std::uint32_t>(Number("--reset-delay", a.Get("--reset-delay"), 0xFFFFFFFF));
  if (a.Has("--sr-busy-reads"))
    o.srBusyReads = static_cast<std::uint32_t>(Number("--sr-busy-reads", a.Get("--sr-busy-reads"), 0xFFFFFFFF));
  if (a.Has("--erase-busy-polls"))
    o.eraseBusyPolls = static_cast<std::uint32_t>(Number("--erase-busy-polls", a.Get("--erase-busy-polls"), 0xFFFFFFFF));
  if (a.Has("--rom-boot")) o.romBootStatus = static_cast<std::uint8_t>(Number("--rom-boot", a.Get("--rom-boot"), 255));
  if (a.Has("--signature-busy"))
    o.signatureBusyQueries = static_cast<std::uint32_t>(Number("--signature-busy", a.Get("--signature-busy"), 0xFFFFFFFF));
  o.uac2 = a.Has("--uac2");
  o.problem = a.Has("--problem");
  o.hasOtp = a.Has("--otp");
  o.otpLocked = a.Has("--otp-locked");
  o.dualWpPairs = a.Has("--dual-wp");
  if (a.Has("--image")) {
    const std::string path = a.Get("--image");
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(err, "cannot read image file " + path);
    o.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (o.image.empty()) return Fail(err, "image file " + path + " is empty");
  }
  std::string error;
  auto bus = SimBus::Open(args[2], true, &error);
  if (!bus) return Fail(err, error);
  const int n = bus->AddDevice(o, &error);
  if (n < 0) return Fail(err, error);
  out += StrFormat("%d\n", n);
  return 0;
}

int CmdShow(SimBus& bus, int n, std::string& out, std::string& err) {
  DeviceInfo i;
  Faults f;
  if (!bus.GetInfo(n, i) || !bus.GetFaults(n, f)) return Fail(err, StrFormat("cannot read device %d", n));
  const bool flash = i.memory == MemoryKind::Spi || i.memory == MemoryKind::Nor;
  out += StrFormat("device: %d\n", n);
  out += StrFormat("ic: %s\n", i.ic.c_str());
  out += StrFormat("memory: %s\n", MemoryKindName(i.memory));
  out += StrFormat("vid: 0x%04X\n", i.vid);
  out += StrFormat("pid: 0x%04X\n", i.pid);
  out += StrFormat("rev: 0x%04X\n", i.rev);
  out += StrFormat("present: %s\n", i.present ? "yes" : "no");
  out += StrFormat("plugged: %s\n", i.plugged ? "yes" : "no");
  out += StrFormat("boot: %s\n", i.bootText.c_str());
  out += StrFormat("boot_status: %u\n", i.bootStatus);
  out += StrFormat("running: %s\n", i.runningCode ? "code" : "rom");
  out += StrFormat("version: %s\n", i.versionText.c_str());
  out += flash ? StrFormat("tag: %02x%02x\n", i.tag[0], i.tag[1]) : std::string("tag: none\n");
  out += StrFormat("sr: %02x\n", i.statusRegister);
  out += StrFormat("wp: flash=%s eeprom=%s\n", i.flashWpReleased ? "released" : "protected",
                   i.eepromWpReleased ? "released" : "protected");
  out += StrFormat("resets: %s\n", ResetsText(i.resets).c_str());
  out += StrFormat("transfers: %llu\n", static_cast<unsigned long long>(i.transfers));
  out += StrFormat("dcs: %u\n", i.dataControlSize);
  out += StrFormat("status: 0x%02X\n", i.lastStatus);
  out += StrFormat("otp_locked: %s\n", i.otpLocked ? "yes" : "no");
  out += StrFormat("instance: %s\n", i.deviceInstance.c_str());
  out += StrFormat("function: %s\n", i.functionInstance.c_str());
  out += StrFormat("location: %s\n", i.locationPath.c_str());
  out += StrFormat("object: %s\n", i.objectName.c_str());
  out += StrFormat("faults: %s\n", FaultsText(f).c_str());
  return 0;
}

int CmdRead(SimBus& bus, int n, const Args& a, std::string& err) {
  if (a.Positional().size() != 1) throw UsageError{"read needs one output file"};
  Memory which;
  if (!a.Has("--memory") || !ParseMemoryName(a.Get("--memory"), which)) throw UsageError{"read needs --memory"};
  const std::uint32_t size = bus.MemorySize(n, which);
  if (size == 0) return Fail(err, StrFormat("device %d has no %s memory", n, a.Get("--memory").c_str()));
  const std::uint64_t offset = a.Has("--offset") ? Number("--offset", a.Get("--offset"), 0xFFFFFFFF) : 0;
  if (offset > size) return Fail(err, StrFormat("offset 0x%llX lies beyond the memory (0x%X bytes)",
                                                static_cast<unsigned long long>(offset), size));
  const std::uint64_t length = a.Has("--length") ? Number("--length", a.Get("--length"), 0xFFFFFFFF) : size - offset;
  std::vector<std::uint8_t> data;
  if (offset + length > size || !bus.ReadMemory(n, which, static_cast<std::uint32_t>(offset),
                                                 static_cast<std::uint32_t>(length), data))
    return Fail(err, StrFormat("range lies beyond the memory (0x%X bytes)", size));
  const std::string& path = a.Positional()[0];
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!file) return Fail(err, "cannot write " + path);
  return 0;
}

int CmdWrite(SimBus& bus, int n, const Args& a, std::string& err) {
  if (a.Positional().size() != 1) throw UsageError{"write needs one input file"};
  Memory which;
  if (!a.Has("--memory") || !ParseMemoryName(a.Get("--memory"), which)) throw UsageError{"write needs --memory"};
  const std::uint64_t offset = a.Has("--offset") ? Number("--offset", a.Get("--offset"), 0xFFFFFFFF) : 0;
  const std::string& path = a.Positional()[0];
  std::ifstream file(path, std::ios::binary);
  if (!file) return Fail(err, "cannot read " + path);
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::uint32_t size = bus.MemorySize(n, which);
  if (size == 0) return Fail(err, StrFormat("device %d has no %s memory", n, a.Get("--memory").c_str()));
  if (offset > size || data.size() > size - offset ||
      !bus.WriteMemory(n, which, static_cast<std::uint32_t>(offset), data))
    return Fail(err, StrFormat("data does not fit into the memory (0x%X bytes)", size));
  return 0;
}

int CmdFault(SimBus& bus, int n, const Args& a, std::string& err) {
  if (!a.Positional().empty()) throw UsageError{"unexpected argument " + a.Positional()[0]};
  Faults f;
  if (!a.Has("--clear") && !bus.GetFaults(n, f)) return Fail(err, StrFormat("cannot read device %d", n));
  if (a.Has("--leave-after")) {
    const std::string v = a.Get("--leave-after");
    f.leaveAfter = v == "none" ? -1 : static_cast<std::int64_t>(Number("--leave-after", v, 0x7FFFFFFF));
  }
  for (const auto& rule : a.All("--stall")) {
    FaultRule r;
    if (!ParseFaultRule(rule, r)) throw UsageError{"bad fault rule " + rule};
    f.stall.push_back(r);
  }
  for (const auto& rule : a.All("--timeout")) {
    FaultRule r;
    if (!ParseFaultRule(rule, r)) throw UsageError{"bad fault rule " + rule};
    f.timeout.push_back(r);
  }
  if (a.Has("--status-after-failure")) {
    const std::string v = a.Get("--status-after-failure");
    f.statusAfterFailure = v == "none" ? -1 : static_cast<int>(Number("--status-after-failure", v, 0xFF));
  }
  if (a.Has("--otp-bad")) {
    f.otpBad.clear();
    if (a.Get("--otp-bad") != "none")
      for (auto v : NumberList("--otp-bad", a.Get("--otp-bad"), ',', 0x3FFF))
        f.otpBad.push_back(static_cast<std::uint16_t>(v));
  }
  if (a.Has("--erase-never-completes")) {
    const std::string v = a.Get("--erase-never-completes");
    if (v != "yes" && v != "no") throw UsageError{"--erase-never-completes takes yes or no"};
    f.eraseNeverCompletes = v == "yes";
  }
  if (a.Has("--signature") && !ParseSignature(a.Get("--signature"), f.signature))
    throw UsageError{"unknown signature result " + a.Get("--signature")};
  if (!bus.SetFaults(n, f)) return Fail(err, StrFormat("cannot write device %d", n));
  return 0;
}

int Run(const std::vector<std::string>& args, std::string& out, std::string& err) {
  if (args.size() < 2) throw UsageError{"no command given"};
  const std::string& cmd = args[1];
  if (cmd == "help" || cmd == "--help" || cmd == "-h") {
    out += kUsage;
    return 0;
  }
  static const std::vector<std::string> kCommands = {"add", "list", "show", "read", "write", "fault", "plug", "unplug"};
  if (std::find(kCommands.begin(), kCommands.end(), cmd) == kCommands.end()) throw UsageError{"unknown command " + cmd};
  if (args.size() < 3 || args[2].rfind("--", 0) == 0) throw UsageError{cmd + " needs a bus directory"};
  if (cmd == "add") return CmdAdd(args, out, err);
  if (cmd == "list") {
    if (args.size() != 3) throw UsageError{"list takes only the bus directory"};
    auto bus = OpenExisting(args[2], err);
    if (!bus) return 1;
    const int count = bus->DeviceCount();
    for (int n = 0; n < count; ++n) {
      DeviceInfo i;
      if (!bus->GetInfo(n, i)) continue;
      out += StrFormat("%d %s %s %s %s\n", n, i.ic.c_str(), MemoryKindName(i.memory), i.present ? "present" : "absent",
                       i.deviceInstance.c_str());
    }
    return 0;
  }
  if (args.size() < 4 || args[3].rfind("--", 0) == 0) throw UsageError{cmd + " needs a device number"};
  std::uint64_t dummy = 0;
  if (!ParseU64(args[3], dummy)) throw UsageError{"bad device number " + args[3]};
  const std::vector<std::string> valued = {"--memory", "--offset", "--length", "--leave-after", "--stall", "--timeout",
                                           "--status-after-failure", "--otp-bad", "--erase-never-completes",
                                           "--signature"};
  std::vector<std::string> allowed;
  std::vector<std::string> flags;
  if (cmd == "read") allowed = {"--memory", "--offset", "--length"};
  if (cmd == "write") allowed = {"--memory", "--offset"};
  if (cmd == "fault") {
    allowed = {"--leave-after", "--stall", "--timeout", "--status-after-failure", "--otp-bad",
               "--erase-never-completes", "--signature"};
    flags = {"--clear"};
  }
  Args a(args, 4, allowed, flags);
  if ((cmd == "show" || cmd == "plug" || cmd == "unplug") && !a.Positional().empty())
    throw UsageError{"unexpected argument " + a.Positional()[0]};
  auto bus = OpenExisting(args[2], err);
  if (!bus) return 1;
  const int n = DeviceNumber(*bus, args[3], err);
  if (n < 0) return 1;
  if (cmd == "show") return CmdShow(*bus, n, out, err);
  if (cmd == "read") return CmdRead(*bus, n, a, err);
  if (cmd == "write") return CmdWrite(*bus, n, a, err);
  if (cmd == "fault") return CmdFault(*bus, n, a, err);
  if (cmd == "plug") return bus->Plug(n) ? 0 : Fail(err, StrFormat("cannot plug device %d", n));
  return bus->Unplug(n) ? 0 : Fail(err, StrFormat("cannot unplug device %d", n));
}

}  // namespace

int RunSimTool(const std::vector<std::string>& args, std::string& out, std::string& err) {
  try {
    return Run(args, out, err);
  } catch (const UsageError& e) {
    err += "drover-sim: " + e.text + "\n";
    err += kUsage;
    return 2;
  }
}

}  // namespace drover::sim
