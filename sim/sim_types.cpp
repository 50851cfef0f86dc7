#include "sim/sim_types.h"

#include <cstdlib>

#include "base/strfmt.h"

namespace drover::sim {

namespace {

template <typename E, std::size_t N>
bool ParseName(const std::string& text, const std::pair<E, const char*> (&names)[N], E& out) {
  for (const auto& [value, name] : names) {
    if (text == name) {
      out = value;
      return true;
    }
  }
  return false;
}

template <typename E, std::size_t N>
const char* NameOf(E value, const std::pair<E, const char*> (&names)[N]) {
  for (const auto& [v, name] : names)
    if (v == value) return name;
  return "?";
}

constexpr std::pair<MemoryKind, const char*> kMemoryNames[] = {
    {MemoryKind::Spi, "spi"}, {MemoryKind::Nor, "nor"}, {MemoryKind::Eeprom8, "eeprom8"},
    {MemoryKind::Eeprom16, "eeprom16"}, {MemoryKind::Otp, "otp"}};
constexpr std::pair<CommandForm, const char*> kFormNames[] = {
    {CommandForm::Both, "both"}, {CommandForm::ExtensionUnit, "ext"}, {CommandForm::VendorRequest, "vendor"}};
constexpr std::pair<SignatureResult, const char*> kSignatureNames[] = {
    {SignatureResult::Pass, "pass"}, {SignatureResult::Fail, "fail"}, {SignatureResult::Busy, "busy"}};
constexpr std::pair<Composite, const char*> kCompositeNames[] = {
    {Composite::None, "none"}, {Composite::AudioFirst, "audio-first"}, {Composite::OtherFirst, "other-first"}};
constexpr std::pair<FaultTarget, const char*> kTargetNames[] = {
    {FaultTarget::Command, "cmd"}, {FaultTarget::Data, "data"},     {FaultTarget::Status, "status"},
    {FaultTarget::GetLen, "getlen"}, {FaultTarget::Vendor, "vendor"}, {FaultTarget::Any, "any"}};

bool ParseNumber(const std::string& text, std::uint64_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtoull(text.c_str(), &end, 0);
  return end && *end == 0 && text[0] != '-';
}

}  // namespace

const char* MemoryKindName(MemoryKind kind) { return NameOf(kind, kMemoryNames); }
bool ParseMemoryKind(const std::string& text, MemoryKind& out) { return ParseName(text, kMemoryNames, out); }
const char* CommandFormName(CommandForm form) { return NameOf(form, kFormNames); }
bool ParseCommandForm(const std::string& text, CommandForm& out) { return ParseName(text, kFormNames, out); }
const char* SignatureName(SignatureResult result) { return NameOf(result, kSignatureNames); }
bool ParseSignature(const std::string& text, SignatureResult& out) { return ParseName(text, kSignatureNames, out); }
const char* CompositeName(Composite composite) { return NameOf(composite, kCompositeNames); }
bool ParseComposite(const std::string& text, Composite& out) { return ParseName(text, kCompositeNames, out); }

std::string FaultRuleText(const FaultRule& rule) {
  std::string text = NameOf(rule.target, kTargetNames);
  if (rule.target == FaultTarget::Command || rule.target == FaultTarget::Data || rule.target == FaultTarget::Vendor)
    text += StrFormat(":0x%02X", rule.code);
  if (rule.skip) text += StrFormat("+%u", rule.skip);
  if (rule.times) text += StrFormat("*%u", rule.times);
  return text;
}

bool ParseFaultRule(const std::string& text, FaultRule& out) {
  FaultRule rule;
  std::string rest = text;
  auto cutNumber = [&rest](char mark, std::uint32_t& value) {
    const std::size_t at = rest.rfind(mark);
    if (at == std::string::npos) return true;
    std::uint64_t v = 0;
    if (!ParseNumber(rest.substr(at + 1), v) || v > 0xFFFFFFFFu) return false;
    value = static_cast<std::uint32_t>(v);
    rest.resize(at);
    return true;
  };
  if (!cutNumber('*', rule.times) || !cutNumber('+', rule.skip)) return false;
  std::string name = rest, codeText;
  if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
    name = rest.substr(0, colon);
    codeText = rest.substr(colon + 1);
  }
  if (!ParseName(name, kTargetNames, rule.target)) return false;
  const bool needsCode =
      rule.target == FaultTarget::Command || rule.target == FaultTarget::Data || rule.target == FaultTarget::Vendor;
  if (needsCode != !codeText.empty()) return false;
  if (needsCode) {
    std::uint64_t code = 0;
    if (!ParseNumber(codeText, code) || code > 0xFF) return false;
    rule.code = static_cast<std::uint8_t>(code);
  }
  out = rule;
  return true;
}

}  // namespace drover::sim
