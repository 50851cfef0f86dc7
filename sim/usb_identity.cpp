#include "sim/usb_identity.h"

#include "base/bytes.h"
#include "base/strfmt.h"

namespace drover::sim {

namespace {

constexpr std::uint8_t kDescDevice = 1;
constexpr std::uint8_t kDescConfig = 2;
constexpr std::uint8_t kDescString = 3;
constexpr std::uint8_t kDescInterface = 4;
constexpr std::uint8_t kDescIad = 0x0B;
constexpr std::uint8_t kDescCsInterface = 0x24;

void Append(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::uint8_t Lo(std::uint32_t v) { return static_cast<std::uint8_t>(v); }
std::uint8_t Hi(std::uint32_t v) { return static_cast<std::uint8_t>(v >> 8); }

void AppendInterface(std::vector<std::uint8_t>& out, std::uint8_t number, std::uint8_t cls, std::uint8_t sub,
                     std::uint8_t protocol) {
  Append(out, {9, kDescInterface, number, 0, 0, cls, sub, protocol, 0});
}

// The audio function: control interface with its class-specific descriptors (header, input
// terminal, extension unit, output terminal), then one streaming interface.
void AppendAudioFunction(std::vector<std::uint8_t>& out, const DeviceOptions& o, std::uint8_t acIf, bool withIad) {
  const std::uint8_t asIf = static_cast<std::uint8_t>(acIf + 1);
  const bool hasXu = o.form != CommandForm::VendorRequest;
  const std::uint8_t protocol = o.uac2 ? 0x20 : 0x00;
  if (withIad) Append(out, {8, kDescIad, acIf, 2, 0x01, 0x00, protocol, 0});
  AppendInterface(out, acIf, 0x01, 0x01, protocol);

  std::vector<std::uint8_t> cs;
  const std::uint8_t itId = 1, otId = 3;
  const std::uint8_t xuSource = itId;
  const std::uint8_t otSource = hasXu ? o.unitId : itId;
  if (!o.uac2) {
    Append(cs, {12, kDescCsInterface, 0x02, itId, 0x01, 0x01, 0, 2, 0x03, 0x00, 0, 0});
    if (hasXu) {
      // bmControls: selectors 0x0A and 0x0B (bits 9 and 10).
      Append(cs, {16, kDescCsInterface, 0x08, o.unitId, Lo(o.extensionCode), Hi(o.extensionCode), 1, xuSource, 2,
                  0x03, 0x00, 0, 2, 0x00, 0x06, 0});
    }
    Append(cs, {9, kDescCsInterface, 0x03, otId, 0x01, 0x03, 0, otSource, 0});
    const std::uint16_t total = static_cast<std::uint16_t>(9 + cs.size());
    Append(out, {9, kDescCsInterface, 0x01, 0x00, 0x01, Lo(total), Hi(total), 1, asIf});
  } else {
    const std::uint8_t clockId = 0x10;
    Append(cs, {8, kDescCsInterface, 0x0A, clockId, 0x01, 0x07, 0, 0});
    Append(cs, {17, kDescCsInterface, 0x02, itId, 0x01, 0x01, 0, clockId, 2, 0x03, 0, 0, 0, 0, 0, 0, 0});
    if (hasXu) {
      Append(cs, {16, kDescCsInterface, 0x09, o.unitId, Lo(o.extensionCode), Hi(o.extensionCode), 1, xuSource, 2,
                  0x03, 0, 0, 0, 0, 0x0F, 0});
    }
    Append(cs, {12, kDescCsInterface, 0x03, otId, 0x01, 0x03, 0, otSource, clockId, 0, 0, 0});
    const std::uint16_t total = static_cast<std::uint16_t>(9 + cs.size());
    Append(out, {9, kDescCsInterface, 0x01, 0x00, 0x02, 0x08, Lo(total), Hi(total), 0});
  }
  out.insert(out.end(), cs.begin(), cs.end());
  AppendInterface(out, asIf, 0x01, 0x02, protocol);
}

}  // namespace

std::uint8_t AudioControlInterface(const DeviceOptions& o) { return o.composite == Composite::None ? 0 : 2; }

std::vector<std::uint8_t> BuildDeviceDescriptor(const DeviceOptions& o) {
  const bool composite = o.composite != Composite::None;
  const std::uint16_t bcdUsb = o.speed == Speed::High ? 0x0200 : 0x0110;
  std::vector<std::uint8_t> d;
  Append(d, {18, kDescDevice, Lo(bcdUsb), Hi(bcdUsb), static_cast<std::uint8_t>(composite ? 0xEF : 0x00),
             static_cast<std::uint8_t>(composite ? 0x02 : 0x00), static_cast<std::uint8_t>(composite ? 0x01 : 0x00),
             64, Lo(o.vid), Hi(o.vid), Lo(o.pid), Hi(o.pid), Lo(o.rev), Hi(o.rev), 1, 2,
             static_cast<std::uint8_t>(o.serial.empty() ? 0 : 3), 1});
  return d;
}

std::vector<std::uint8_t> BuildConfigDescriptor(const DeviceOptions& o) {
  std::vector<std::uint8_t> body;
  std::uint8_t interfaces = 2;
  switch (o.composite) {
    case Composite::None:
      AppendAudioFunction(body, o, 0, false);
      break;
    case Composite::AudioFirst:
      AppendAudioFunction(body, o, 2, true);
      AppendInterface(body, 0, 0x03, 0x00, 0x00);
      AppendInterface(body, 1, 0xFF, 0x00, 0x00);
      interfaces = 4;
      break;
    case Composite::OtherFirst:
      AppendInterface(body, 0, 0x03, 0x00, 0x00);
      AppendInterface(body, 1, 0xFF, 0x00, 0x00);
      AppendAudioFunction(body, o, 2, true);
      interfaces = 4;
      break;
  }
  const std::uint16_t total = static_cast<std::uint16_t>(9 + body.size());
  std::vector<std::uint8_t> c;
  Append(c, {9, kDescConfig, Lo(total), Hi(total), interfaces, 1, 0, 0x80, 50});
  c.insert(c.end(), body.begin(), body.end());
  return c;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t extra = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    }
    bool ok = c < 0x80 || extra > 0;
    for (std::size_t k = 1; ok && k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (!ok) {
      cp = 0xFFFD;
      extra = 0;
    }
    i += 1 + extra;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

bool BuildStringDescriptor(const DeviceOptions& o, std::uint8_t index, std::vector<std::uint8_t>& out) {
  out.clear();
  if (index == 0) {
    Append(out, {4, kDescString, 0x09, 0x04});
    return true;
  }
  const std::string* text = nullptr;
  if (index == 1) text = &o.manufacturer;
  if (index == 2) text = &o.product;
  if (index == 3 && !o.serial.empty()) text = &o.serial;
  if (!text) return false;
  std::u16string units = Utf8ToUtf16(*text);
  if (units.size() > 126) units.resize(126);  // bLength is one byte
  out.push_back(static_cast<std::uint8_t>(2 + 2 * units.size()));
  out.push_back(kDescString);
  for (char16_t u : units) {
    out.push_back(static_cast<std::uint8_t>(u));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return true;
}

std::string PortText(const DeviceOptions& o) {
  std::string text = StrFormat("%u-", static_cast<unsigned>(o.bus));
  for (std::size_t i = 0; i < o.ports.size(); ++i) {
    if (i) text += ".";
    text += StrFormat("%u", static_cast<unsigned>(o.ports[i]));
  }
  return text;
}

std::string DeviceInstanceId(const DeviceOptions& o) {
  return StrFormat("USB\\VID_%04X&PID_%04X\\%s", o.vid, o.pid, PortText(o).c_str());
}

std::string FunctionInstanceId(const DeviceOptions& o) {
  if (o.composite == Composite::None) return DeviceInstanceId(o);
  const unsigned acIf = AudioControlInterface(o);
  return StrFormat("USB\\VID_%04X&PID_%04X&MI_%02X\\%s:1.%u", o.vid, o.pid, acIf, PortText(o).c_str(), acIf);
}

std::string LocationPathOf(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
  std::string path = StrFormat("USBROOT(%u)", static_cast<unsigned>(bus));
  for (std::uint8_t p : ports) path += StrFormat("#USB(%u)", static_cast<unsigned>(p));
  return path;
}

std::string RootHubInstanceId(const DeviceOptions& o) {
  if (!o.rootHub.empty()) return o.rootHub;
  return StrFormat("USB\\ROOT_HUB%s\\%u", o.speed == Speed::High ? "30" : "20", static_cast<unsigned>(o.bus));
}

std::string HubInstanceId(std::uint8_t bus, const std::vector<std::uint8_t>& ports, std::size_t depth) {
  std::string text = StrFormat("USB\\VID_05E3&PID_0610\\%u-", static_cast<unsigned>(bus));
  for (std::size_t i = 0; i < depth && i < ports.size(); ++i) {
    if (i) text += ".";
    text += StrFormat("%u", static_cast<unsigned>(ports[i]));
  }
  return text;
}

}  // namespace drover::sim
