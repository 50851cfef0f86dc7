#include "sim/sim_record.h"

#include <charconv>
#include <cstdlib>
#include <map>
#include <sstream>

#include "base/strfmt.h"
#include "sim/ic_types.h"

namespace drover::sim {

namespace {

// Plain appends: the record is rewritten after every transfer, so it is kept cheap.
class Writer {
 public:
  void Text(const char* key, const std::string& value) {
    m_out += key;
    m_out += ": ";
    m_out += value;
    m_out += '\n';
  }
  void Num(const char* key, std::uint64_t value) { Line(key, value, 10, ""); }
  void SNum(const char* key, std::int64_t value) {
    if (value < 0) {
      Line(key, static_cast<std::uint64_t>(-(value + 1)) + 1, 10, "-");
    } else {
      Line(key, static_cast<std::uint64_t>(value), 10, "");
    }
  }
  void Hex(const char* key, std::uint64_t value) { Line(key, value, 16, "0x"); }
  void Bool(const char* key, bool value) { Text(key, value ? "yes" : "no"); }
  template <typename T>
  void List(const char* key, const T& values) {
    m_out += key;
    m_out += ": ";
    bool first = true;
    for (auto v : values) {
      if (!first) m_out += ',';
      first = false;
      m_out += "0x";
      Digits(static_cast<std::uint64_t>(v), 16);
    }
    m_out += '\n';
  }
  std::string Take() { return std::move(m_out); }

 private:
  void Line(const char* key, std::uint64_t value, int base, const char* prefix) {
    m_out += key;
    m_out += ": ";
    m_out += prefix;
    Digits(value, base);
    m_out += '\n';
  }
  void Digits(std::uint64_t value, int base) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, base);
    m_out.append(buf, res.ptr);
  }
  std::string m_out;
};

class Reader {
 public:
  explicit Reader(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t colon = line.find(": ");
      if (colon == std::string::npos) {
        if (!line.empty() && line.back() == ':') m_values[line.substr(0, line.size() - 1)] = "";
        continue;
      }
      m_values[line.substr(0, colon)] = line.substr(colon + 2);
    }
  }
  bool Has(const char* key) const { return m_values.count(key) != 0; }
  std::string Text(const char* key, const std::string& def = "") const {
    auto it = m_values.find(key);
    return it == m_values.end() ? def : it->second;
  }
  std::uint64_t Num(const char* key, std::uint64_t def = 0) const {
    auto it = m_values.find(key);
    if (it == m_values.end() || it->second.empty()) return def;
    return std::strtoull(it->second.c_str(), nullptr, 0);
  }
  std::int64_t SNum(const char* key, std::int64_t def) const {
    auto it = m_values.find(key);
    if (it == m_values.end() || it->second.empty()) return def;
    return std::strtoll(it->second.c_str(), nullptr, 0);
  }
  bool Bool(const char* key, bool def = false) const {
    auto it = m_values.find(key);
    return it == m_values.end() ? def : it->second == "yes";
  }
  std::vector<std::uint64_t> List(const char* key) const {
    std::vector<std::uint64_t> out;
    std::string text = Text(key);
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t comma = text.find(',', start);
      if (comma == std::string::npos) comma = text.size();
      const std::string item = text.substr(start, comma - start);
      if (!item.empty()) out.push_back(std::strtoull(item.c_str(), nullptr, 0));
      start = comma + 1;
    }
    return out;
  }

 private:
  std::map<std::string, std::string> m_values;
};

std::string RulesText(const std::vector<FaultRule>& rules) {
  std::string text;
  for (const FaultRule& r : rules) {
    if (!text.empty()) text += " ";
    text += FaultRuleText(r);
  }
  return text;
}

std::vector<FaultRule> ParseRules(const std::string& text) {
  std::vector<FaultRule> rules;
  std::istringstream in(text);
  std::string item;
  while (in >> item) {
    FaultRule r;
    if (ParseFaultRule(item, r)) rules.push_back(r);
  }
  return rules;
}

}  // namespace

std::string SerializeRecord(const DeviceRecord& r) {
  Writer w;
  const DeviceOptions& o = r.options;
  w.Text("record", "drover-sim device");
  w.Num("number", static_cast<std::uint64_t>(r.number));
  w.Text("ic", o.ic);
  w.Text("memory", MemoryKindName(o.memory));
  w.Hex("vid", o.vid);
  w.Hex("pid", o.pid);
  w.Hex("rev", o.rev);
  w.Text("manufacturer", o.manufacturer);
  w.Text("product", o.product);
  w.Text("serial", o.serial);
  w.Text("friendly_name", o.friendlyName);
  w.Num("bus", o.bus);
  w.List("ports", o.ports);
  w.Text("root_hub", o.rootHub);
  w.Text("form", CommandFormName(o.form));
  w.Bool("chip_id_set", o.chipIdSet);
  w.List("chip_id", o.chipId);
  w.Hex("ext_code", o.extensionCode);
  w.Num("unit_id", o.unitId);
  w.Bool("uac2", o.uac2);
  w.Text("speed", o.speed == Speed::High ? "high" : "full");
  w.Text("composite", CompositeName(o.composite));
  w.Bool("problem", o.problem);
  w.Hex("flash_size", o.flashSize);
  w.Hex("eeprom_size", o.eepromSize);
  w.Bool("has_otp", o.hasOtp);
  w.Num("max_dcs", o.maxDataControlSize);
  w.Num("reset_delay_ms", o.resetDelayMs);
  w.Num("sr_busy_reads", o.srBusyReads);
  w.Num("erase_busy_polls", o.eraseBusyPolls);
  w.Num("rom_boot_status", o.romBootStatus);
  w.Bool("dual_wp_pairs", o.dualWpPairs);
  w.Bool("otp_locked_at_start", o.otpLocked);
  w.Num("signature_busy_queries", o.signatureBusyQueries);

  const ChipState& c = r.chip;
  w.Bool("running_code", c.runningCode);
  w.Num("boot_status", c.bootStatus);
  w.List("version_bytes", c.version);
  w.Hex("status_register", c.statusRegister);
  w.Num("sr_busy", c.srBusy);
  w.Num("erase_busy", c.eraseBusy);
  w.Bool("erase_stuck", c.eraseStuck);
  w.Num("data_control_size", c.dataControlSize);
  w.Num("phase", static_cast<std::uint64_t>(c.phase));
  w.Hex("phase_group", c.phGroup);
  w.Hex("phase_opcode", c.phOpcode);
  w.Hex("phase_address", c.phAddress);
  w.Hex("phase_length", c.phLength);
  w.Hex("phase_position", c.phPosition);
  w.Hex("phase_param", c.phParam);
  w.Hex("status", c.status);
  w.Hex("last_opcode", c.lastOpcode);
  w.List("resets", c.resets);
  w.Num("transfers", c.transfers);
  w.Bool("signature_active", c.signatureActive);
  w.Num("signature_queries", c.signatureQueries);
  w.Bool("otp_locked", c.otpLocked);
  w.Num("otp_budget", c.otpBudget);
  w.Num("fail_count", c.failCount);
  w.List("fail_address", c.failAddress);
  w.Hex("fail_current", c.failCurrent);
  w.Bool("fail_stopped", c.failStopped);
  w.Hex("ctl70", c.ctl70);
  w.Hex("last_reset_mode", c.lastResetMode);
  w.Hex("flash_write_end", c.flashWriteEnd);

  const Faults& f = r.faults;
  w.SNum("fault_leave_after", f.leaveAfter);
  w.Text("fault_stall", RulesText(f.stall));
  w.Text("fault_timeout", RulesText(f.timeout));
  w.SNum("fault_status_after_failure", f.statusAfterFailure);
  w.List("fault_otp_bad", f.otpBad);
  w.List("fault_otp_fail_record", f.otpFailRecord);
  w.Bool("fault_erase_never_completes", f.eraseNeverCompletes);
  w.Text("fault_signature", SignatureName(f.signature));

  const Presence& p = r.presence;
  w.Bool("plugged", p.plugged);
  w.Bool("reset_pending", p.resetPending);
  w.Num("reset_type", static_cast<std::uint64_t>(p.resetType));
  w.Num("reset_at_ms", p.resetAtMs);
  w.Num("return_at_ms", p.returnAtMs);
  w.Text("reset_owner", p.owner);
  w.Num("generation", p.generation);
  w.Text("object_name", p.objectName);
  return w.Take();
}

bool ParseRecord(const std::string& text, DeviceRecord& out, std::string* error) {
  Reader rd(text);
  if (rd.Text("record") != "drover-sim device") {
    if (error) *error = "not a simulated device record";
    return false;
  }
  DeviceRecord r;
  r.number = static_cast<int>(rd.Num("number"));
  DeviceOptions& o = r.options;
  o.ic = rd.Text("ic", o.ic);
  if (!ParseMemoryKind(rd.Text("memory", "spi"), o.memory)) {
    if (error) *error = "unknown memory type in device record";
    return false;
  }
  o.vid = static_cast<std::uint16_t>(rd.Num("vid", o.vid));
  o.pid = static_cast<std::uint16_t>(rd.Num("pid", o.pid));
  o.rev = static_cast<std::uint16_t>(rd.Num("rev", o.rev));
  o.manufacturer = rd.Text("manufacturer");
  o.product = rd.Text("product");
  o.serial = rd.Text("serial");
  o.friendlyName = rd.Text("friendly_name");
  o.bus = static_cast<std::uint8_t>(rd.Num("bus", 1));
  o.ports.clear();
  for (auto v : rd.List("ports")) o.ports.push_back(static_cast<std::uint8_t>(v));
  o.rootHub = rd.Text("root_hub");
  ParseCommandForm(rd.Text("form", "both"), o.form);
  o.chipIdSet = rd.Bool("chip_id_set");
  const auto id = rd.List("chip_id");
  if (id.size() == 2) o.chipId = {static_cast<std::uint8_t>(id[0]), static_cast<std::uint8_t>(id[1])};
  o.extensionCode = static_cast<std::uint16_t>(rd.Num("ext_code", o.extensionCode));
  o.unitId = static_cast<std::uint8_t>(rd.Num("unit_id", o.unitId));
  o.uac2 = rd.Bool("uac2");
  o.speed = rd.Text("speed", "high") == "full" ? Speed::Full : Speed::High;
  ParseComposite(rd.Text("composite", "none"), o.composite);
  o.problem = rd.Bool("problem");
  o.flashSize = static_cast<std::uint32_t>(rd.Num("flash_size", o.flashSize));
  o.eepromSize = static_cast<std::uint32_t>(rd.Num("eeprom_size", o.eepromSize));
  o.hasOtp = rd.Bool("has_otp");
  o.maxDataControlSize = static_cast<std::uint32_t>(rd.Num("max_dcs", o.maxDataControlSize));
  o.resetDelayMs = static_cast<std::uint32_t>(rd.Num("reset_delay_ms", o.resetDelayMs));
  o.srBusyReads = static_cast<std::uint32_t>(rd.Num("sr_busy_reads", o.srBusyReads));
  o.eraseBusyPolls = static_cast<std::uint32_t>(rd.Num("erase_busy_polls", o.eraseBusyPolls));
  o.romBootStatus = static_cast<std::uint8_t>(rd.Num("rom_boot_status", 0));
  o.dualWpPairs = rd.Bool("dual_wp_pairs");
  o.otpLocked = rd.Bool("otp_locked_at_start");
  o.signatureBusyQueries = static_cast<std::uint32_t>(rd.Num("signature_busy_queries", o.signatureBusyQueries));

  ChipState& c = r.chip;
  c.runningCode = rd.Bool("running_code");
  c.bootStatus = static_cast<std::uint8_t>(rd.Num("boot_status"));
  const auto version = rd.List("version_bytes");
  for (std::size_t i = 0; i < c.version.size() && i < version.size(); ++i)
    c.version[i] = static_cast<std::uint8_t>(version[i]);
  c.statusRegister = static_cast<std::uint8_t>(rd.Num("status_register", c.statusRegister));
  c.srBusy = static_cast<std::uint32_t>(rd.Num("sr_busy"));
  c.eraseBusy = static_cast<std::uint32_t>(rd.Num("erase_busy"));
  c.eraseStuck = rd.Bool("erase_stuck");
  c.dataControlSize = static_cast<std::uint32_t>(rd.Num("data_control_size", 8));
  const auto phase = rd.Num("phase");
  c.phase = phase == 1 ? Phase::In : phase == 2 ? Phase::Out : Phase::None;
  c.phGroup = static_cast<std::uint8_t>(rd.Num("phase_group"));
  c.phOpcode = static_cast<std::uint8_t>(rd.Num("phase_opcode"));
  c.phAddress = static_cast<std::uint32_t>(rd.Num("phase_address"));
  c.phLength = static_cast<std::uint32_t>(rd.Num("phase_length"));
  c.phPosition = static_cast<std::uint32_t>(rd.Num("phase_position"));
  c.phParam = static_cast<std::uint16_t>(rd.Num("phase_param"));
  c.status = static_cast<std::uint8_t>(rd.Num("status"));
  c.lastOpcode = static_cast<std::uint8_t>(rd.Num("last_opcode"));
  const auto resets = rd.List("resets");
  for (std::size_t i = 0; i < c.resets.size() && i < resets.size(); ++i)
    c.resets[i] = static_cast<std::uint32_t>(resets[i]);
  c.transfers = rd.Num("transfers");
  c.signatureActive = rd.Bool("signature_active");
  c.signatureQueries = static_cast<std::uint32_t>(rd.Num("signature_queries"));
  c.otpLocked = rd.Bool("otp_locked");
  c.otpBudget = static_cast<std::uint8_t>(rd.Num("otp_budget", 8));
  c.failCount = static_cast<std::uint8_t>(rd.Num("fail_count"));
  const auto failAddress = rd.List("fail_address");
  for (std::size_t i = 0; i < c.failAddress.size() && i < failAddress.size(); ++i)
    c.failAddress[i] = static_cast<std::uint16_t>(failAddress[i]);
  c.failCurrent = static_cast<std::uint16_t>(rd.Num("fail_current"));
  c.failStopped = rd.Bool("fail_stopped");
  c.ctl70 = static_cast<std::uint16_t>(rd.Num("ctl70"));
  c.lastResetMode = static_cast<std::uint16_t>(rd.Num("last_reset_mode"));
  c.flashWriteEnd = static_cast<std::uint32_t>(rd.Num("flash_write_end"));

  Faults& f = r.faults;
  f.leaveAfter = rd.SNum("fault_leave_after", -1);
  f.stall = ParseRules(rd.Text("fault_stall"));
  f.timeout = ParseRules(rd.Text("fault_timeout"));
  f.statusAfterFailure = static_cast<int>(rd.SNum("fault_status_after_failure", -1));
  for (auto v : rd.List("fault_otp_bad")) f.otpBad.push_back(static_cast<std::uint16_t>(v));
  for (auto v : rd.List("fault_otp_fail_record")) f.otpFailRecord.push_back(static_cast<std::uint8_t>(v));
  f.eraseNeverCompletes = rd.Bool("fault_erase_never_completes");
  ParseSignature(rd.Text("fault_signature", "pass"), f.signature);

  // A record edited by hand must not make the bus map absurd memories or index past them.
  if (!FindSimIcType(o.ic) || o.flashSize < 0x10000 || o.flashSize > 0x4000000 || (o.flashSize & 0xFFF) ||
      o.eepromSize == 0 || o.eepromSize > 0x1000000 || o.maxDataControlSize < 8 || o.maxDataControlSize > 4096 ||
      c.dataControlSize == 0 || c.dataControlSize > 4096 || c.phPosition > c.phLength || c.phLength > 0xFFFF) {
    if (error) *error = "device record holds impossible values";
    return false;
  }

  Presence& p = r.presence;
  p.plugged = rd.Bool("plugged", true);
  p.resetPending = rd.Bool("reset_pending");
  p.resetType = static_cast<int>(rd.Num("reset_type"));
  p.resetAtMs = rd.Num("reset_at_ms");
  p.returnAtMs = rd.Num("return_at_ms");
  p.owner = rd.Text("reset_owner");
  p.generation = rd.Num("generation");
  p.objectName = rd.Text("object_name");
  out = std::move(r);
  return true;
}

}  // namespace drover::sim
