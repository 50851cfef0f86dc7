// Writes the built-in firmware images of the manifest: firmware_gen MANIFEST OUTDIR writes
// OUTDIR/NAME.rfw for every line. The images are raw flash images with a configuration block,
// built from the manifest alone, so the same manifest always gives the same bytes. The block
// encoder here is independent of the program's parser on purpose: the tests read these
// images back through the parser, and a fault on either side shows as a mismatch.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kFlashImage = 0x10000;
constexpr std::size_t kConfigSector = 0xF000;
constexpr std::size_t kTagAddress = 0xEFFE;
constexpr std::size_t kVersionAt = 0x100C;       // version bytes of a 64 KiB image
constexpr std::size_t kVersionAtSmall = 0x11B;   // ... of a shorter one
constexpr std::size_t kIdentityAt = 0x1003;      // code identity bytes 0x1003..0x1007
constexpr std::size_t kMaxText = 48;             // the longest text the tool writes into a string item
constexpr std::uint8_t kFlashKind = 0x55;

struct Entry {
  int line = 0;
  std::string name;
  int resource = 0;
  int chip = 0;
  std::size_t size = 0;
  std::string layout;
  std::uint8_t version[8] = {};
  std::uint16_t vid = 0, pid = 0, rev = 0;
  std::string manufacturer, product, serial, iad;
  std::uint8_t identity[5] = {};  // in text order: 0x1003, 0x1005, 0x1004, 0x1007, 0x1006
};

[[noreturn]] void Fail(const Entry& e, const std::string& why) {
  std::cerr << "firmware_gen: manifest line " << e.line << " (" << e.name << "): " << why << "\n";
  std::exit(1);
}

std::string Trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  const std::size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

bool ParseHex(const std::string& s, std::uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  out = 0;
  for (char c : s) {
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    out = out * 16 + static_cast<std::uint32_t>(d);
  }
  return true;
}

std::uint16_t Hex16(const Entry& e, const std::string& s, const char* what) {
  std::uint32_t v = 0;
  if (s.size() != 4 || !ParseHex(s, v)) Fail(e, std::string("bad ") + what + " \"" + s + "\"");
  return static_cast<std::uint16_t>(v);
}

// "A.BCC.DDDD-EEEE.FFFF": e0 = A<<4 | B, e1 = CC, then three big-endian words.
void ParseVersion(Entry& e, const std::string& s) {
  std::uint32_t a, b, c, d, f, g;
  if (s.size() != 20 || s[1] != '.' || s[5] != '.' || s[10] != '-' || s[15] != '.' || !ParseHex(s.substr(0, 1), a) ||
      !ParseHex(s.substr(2, 1), b) || !ParseHex(s.substr(3, 2), c) || !ParseHex(s.substr(6, 4), d) ||
      !ParseHex(s.substr(11, 4), f) || !ParseHex(s.substr(16, 4), g)) {
    Fail(e, "bad version \"" + s + "\"");
  }
  const std::uint32_t w[3] = {d, f, g};
  e.version[0] = static_cast<std::uint8_t>(a << 4 | b);
  e.version[1] = static_cast<std::uint8_t>(c);
  for (int i = 0; i < 3; ++i) {
    e.version[2 + 2 * i] = static_cast<std::uint8_t>(w[i] >> 8);
    e.version[3 + 2 * i] = static_cast<std::uint8_t>(w[i]);
  }
}

std::uint16_t HwId(int chip) {
  switch (chip) {
    case 17: return 0x7310;
    case 21: return 0x7330;
    case 22: return 0x7320;
    case 23: return 0x7322;
    case 24: return 0x7332;
    case 25: return 0x7340;
    case 26: return 0x7370;
    default: return 0;
  }
}

Entry ParseLine(const std::string& text, int line) {
  Entry e;
  e.line = line;
  std::vector<std::string> f;
  std::stringstream ss(text);
  for (std::string part; std::getline(ss, part, '|');) f.push_back(Trim(part));
  e.name = f.empty() ? std::string() : f[0];
  if (f.size() != 14) Fail(e, "expected 14 fields");
  e.resource = std::atoi(f[1].c_str());
  e.chip = std::atoi(f[2].c_str());
  e.size = static_cast<std::size_t>(std::strtoul(f[3].c_str(), nullptr, 10));
  e.layout = f[4];
  ParseVersion(e, f[5]);
  e.vid = Hex16(e, f[6], "VID");
  e.pid = Hex16(e, f[7], "PID");
  e.rev = Hex16(e, f[8], "revision");
  e.manufacturer = f[9];
  e.product = f[10];
  e.serial = f[11];
  e.iad = f[12] == "-" ? std::string() : f[12];
  std::uint32_t v = 0;
  if (f[13].size() != 12 || f[13].compare(0, 2, "0x") != 0) Fail(e, "bad code identity");
  for (int i = 0; i < 5; ++i) {
    if (!ParseHex(f[13].substr(2 + 2 * i, 2), v)) Fail(e, "bad code identity");
    e.identity[i] = static_cast<std::uint8_t>(v);
  }

  if (e.name.rfind("FFU_", 0) != 0) Fail(e, "a name starts with FFU_");
  if (e.name.size() == 13) {
    char expect[16];
    std::snprintf(expect, sizeof expect, "FFU_%04X_%04X", e.vid, e.pid);
    if (e.name != expect) Fail(e, "VID/PID do not match the name");
  }
  if (e.chip < 17 || e.chip > 31) Fail(e, "chip code outside 17..31");
  if (e.layout != "sector" && e.layout != "start") Fail(e, "layout is sector or start");
  if (e.size <= 0x1020 || e.size > 0x200000) Fail(e, "size out of range");
  if (e.layout == "sector" && e.size < kConfigSector + 0x200) Fail(e, "too short for a block at 0xF000");
  for (const std::string* t : {&e.manufacturer, &e.product, &e.serial, &e.iad}) {
    if (t->size() > kMaxText) Fail(e, "text longer than 48 bytes");
  }
  return e;
}

// Deterministic filler for the code regions: xorshift seeded from the name.
class Filler {
 public:
  explicit Filler(const std::string& name) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    m_state = h ? h : 1;
  }
  std::uint8_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return static_cast<std::uint8_t>(m_state >> 24);
  }

 private:
  std::uint64_t m_state;
};

void Put16LE(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put16BE(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

void StringItem(Bytes& items, int& count, std::uint8_t type, const std::string& text) {
  items.push_back(static_cast<std::uint8_t>(text.size() + 4));
  items.push_back(type);
  items.push_back(static_cast<std::uint8_t>(text.size() + 2));  // bLength
  items.push_back(3);                                           // string descriptor
  items.insert(items.end(), text.begin(), text.end());
  ++count;
}

Bytes BuildBlock(const Entry& e) {
  Bytes items;
  int count = 0;
  // Leading items: HW/AP version, EEPROM info, bank copy (VQ7340, VQ7370), force update.
  items.insert(items.end(), {6, 47});
  Put16LE(items, HwId(e.chip));
  Put16LE(items, static_cast<std::uint16_t>(e.version[0] << 8 | e.version[1]));
  ++count;
  items.insert(items.end(), {3, 8, 0x02});
  ++count;
  if (e.chip == 25 || e.chip == 26) {
    items.insert(items.end(), {3, 20, 0x00});
    ++count;
  }
  items.insert(items.end(), {3, 21, 0x00});
  ++count;

  StringItem(items, count, 1, e.manufacturer);
  StringItem(items, count, 2, e.product);
  StringItem(items, count, 3, e.serial);
  if (!e.iad.empty()) StringItem(items, count, 7, e.iad);
  items.insert(items.end(), {8, 4});
  Put16LE(items, e.vid);
  Put16LE(items, e.pid);
  Put16LE(items, e.rev);
  ++count;

  if (e.chip == 17) {
    // I2S1 channel map of the VQ7310.
    items.insert(items.end(), {6, 11, 0x01, 0x02, 0x00, 0x00});
    ++count;
  } else {
    // UAC top settings; the VQ7322, VQ7340 and VQ7370 carry it through unread.
    items.insert(items.end(), {18, 64});
    Put16BE(items, 0x0100);                            // UAC version
    items.insert(items.end(), {1, 1, 1, 1, 5, 3, 0, 7});  // speed, HID, intervals, PHY, jack, wake-up, endpoints
    Put16BE(items, e.vid);
    Put16BE(items, e.pid);
    Put16BE(items, e.rev);
    ++count;
  }
  if (e.chip == 21 || e.chip == 24) {
    // Endpoint A: 48 kHz, 24 bits, front left and right, speaker.
    items.insert(items.end(), {17, 65, 1});
    Put16BE(items, 48000);
    items.push_back(24);
    Put16BE(items, 0x0003);
    Put16BE(items, 0x0301);
    Put16BE(items, 0xC400);
    Put16BE(items, 0x0000);
    Put16BE(items, 0x0100);
    items.push_back(0);
    ++count;
  }

  const std::size_t length = items.size() + 6;
  Bytes block(length, 0);
  block[0] = kFlashKind;
  block[1] = 0xA5;
  block[2] = static_cast<std::uint8_t>(e.chip << 3);  // sub-mode 0
  block[3] = static_cast<std::uint8_t>(length);
  block[4] = static_cast<std::uint8_t>(length >> 8);
  block[5] = static_cast<std::uint8_t>(count);
  std::copy(items.begin(), items.end(), block.begin() + 6);
  return block;
}

Bytes BuildImage(const Entry& e) {
  Bytes image(e.size, 0xFF);
  Filler fill(e.name);
  if (e.layout == "sector") {
    // Code up to the VQ7310's configuration place, a second code region below the tag.
    for (std::size_t i = 0; i < 0xA000 && i < e.size; ++i) image[i] = fill.Next();
    for (std::size_t i = 0xB000; i < 0xE000 && i < e.size; ++i) image[i] = fill.Next();
    // Code is never mistaken for a block at offset 0.
    if (image[1] == 0xA5) image[1] = 0x5A;
  }
  if (e.size > 0x20000) {
    // The further region of a large image; 0x10000..0x1FFFF stays erased (the download
    // carries the device's own unit data over at 0x1F000).
    for (std::size_t i = 0x20000; i < 0x30000 && i < e.size; ++i) image[i] = fill.Next();
  }
  const std::size_t versionAt = e.size < kFlashImage ? kVersionAtSmall : kVersionAt;
  for (int i = 0; i < 8; ++i) image[versionAt + static_cast<std::size_t>(i)] = e.version[i];
  image[kIdentityAt + 0] = e.identity[0];
  image[kIdentityAt + 2] = e.identity[1];
  image[kIdentityAt + 1] = e.identity[2];
  image[kIdentityAt + 4] = e.identity[3];
  image[kIdentityAt + 3] = e.identity[4];
  image[kTagAddress] = 0xFF;  // untagged: the tag is the download's to write
  image[kTagAddress + 1] = 0xFF;

  const Bytes block = BuildBlock(e);
  const std::size_t at = e.layout == "sector" ? kConfigSector : 0;
  if (block.size() + 128 > 0x1000 || at + block.size() > e.size) Fail(e, "configuration block does not fit");
  if (at == 0 && block.size() > kIdentityAt) Fail(e, "configuration block reaches the code identity");
  std::copy(block.begin(), block.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: firmware_gen MANIFEST OUTDIR\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "firmware_gen: cannot read " << argv[1] << "\n";
    return 1;
  }
  const std::filesystem::path outDir(argv[2]);
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  int lineNo = 0;
  int written = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    const Entry e = ParseLine(t, lineNo);
    const Bytes image = BuildImage(e);
    const std::filesystem::path path = outDir / (e.name + ".rfw");
    const std::filesystem::path tmp = outDir / (e.name + ".rfw.tmp");
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
      if (!out) Fail(e, "cannot write " + tmp.string());
    }
    std::filesystem::rename(tmp, path, ec);
    if (ec) Fail(e, "cannot write " + path.string());
    ++written;
  }
  if (written == 0) {
    std::cerr << "firmware_gen: no image in " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
