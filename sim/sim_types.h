#pragma once
// Options, faults and read-outs of one simulated codec device. Plain data shared by the chip
// model (sim_chip.h), the bus (sim_bus.h) and the drover-sim command.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace drover::sim {

// The memory behind the chip.
enum class MemoryKind : std::uint8_t { Spi, Nor, Eeprom8, Eeprom16, Otp };

// The memories a test or the tool may read and poke. Flash serves both SPI and NOR devices.
enum class Memory : std::uint8_t { Flash, Eeprom, Otp, Regs };

// Which vendor command forms the device answers. The host accepts only devices with both.
enum class CommandForm : std::uint8_t { Both, ExtensionUnit, VendorRequest };

// Composite layouts: AudioFirst puts the audio function (interface 2) first in the
// configuration; OtherFirst puts another function's interface first, which the host refuses.
enum class Composite : std::uint8_t { None, AudioFirst, OtherFirst };

enum class Speed : std::uint8_t { High, Full };

enum class SignatureResult : std::uint8_t { Pass, Fail, Busy };

// Everything that makes one device, fixed when it is added.
struct DeviceOptions {
  std::string ic = "VQ7330";  // one of the six IC type names
  MemoryKind memory = MemoryKind::Spi;
  std::uint16_t vid = 0x0B05;
  std::uint16_t pid = 0x1996;
  std::uint16_t rev = 0x0100;
  std::string manufacturer = "Generic";
  std::string product = "USB Audio";
  std::string serial = "000000000001";  // empty: the device has no serial string
  std::string friendlyName;             // empty: the function has no friendly name
  std::uint8_t bus = 1;
  std::vector<std::uint8_t> ports;  // port chain from the root hub; empty: first free root port
  std::string rootHub;              // root hub instance; empty: USB\ROOT_HUB30\<bus> (high) or 20 (full)
  CommandForm form = CommandForm::Both;
  bool chipIdSet = false;                           // false: the IC type's identity bytes
  std::array<std::uint8_t, 2> chipId{0x10, 0xB0};  // bytes at 0xFE21, 0xFE22
  std::uint16_t extensionCode = 0x0BDA;
  std::uint8_t unitId = 6;
  bool uac2 = false;  // audio class 2 descriptors: extension unit subtype 9
  Speed speed = Speed::High;
  Composite composite = Composite::None;
  bool problem = false;  // the function's node reports a problem (not a candidate)
  std::uint32_t flashSize = 0x80000;
  std::uint32_t eepromSize = 0x40000;
  bool hasOtp = false;  // a chip with OTP besides its flash (always true for Memory Otp)
  std::uint32_t maxDataControlSize = 1024;  // largest chunk size the chip agrees to
  std::uint32_t resetDelayMs = 1500;        // time off the bus after a reset
  std::uint32_t srBusyReads = 1;     // status register reads that still show write-in-progress
  std::uint32_t eraseBusyPolls = 0;  // block-erase polls that still answer "not done"
  std::uint8_t romBootStatus = 0;    // boot status byte while the ROM runs
  bool dualWpPairs = false;          // a 0x1010 chip answering with two write-protect pairs
  bool otpLocked = false;            // write-lock bit set at power-on
  SignatureResult signature = SignatureResult::Pass;
  std::uint32_t signatureBusyQueries = 1;  // check-state queries answering busy before the result
  std::vector<std::uint8_t> image;  // preloaded as if it had been downloaded (empty: blank memory)
};

// Which transfers a stall or time-out fault hits.
enum class FaultTarget : std::uint8_t {
  Command,  // extension-unit command block whose opcode is `code`
  Data,     // extension-unit data phase chunk of the command whose opcode is `code`
  Status,   // extension-unit status block read
  GetLen,   // extension-unit GET_LEN of the data control
  Vendor,   // vendor request whose request code is `code` (either direction)
  Any       // any control transfer
};

struct FaultRule {
  FaultTarget target = FaultTarget::Any;
  std::uint8_t code = 0;
  std::uint32_t skip = 0;   // matching transfers answered normally before the fault fires
  std::uint32_t times = 0;  // how often it fires; 0: every time
};

struct Faults {
  std::int64_t leaveAfter = -1;  // leave the bus after this many more transfers; -1: never
  std::vector<FaultRule> stall;
  std::vector<FaultRule> timeout;
  int statusAfterFailure = -1;  // status byte reported after a failed command; -1: the real code
  std::vector<std::uint16_t> otpBad;  // OTP addresses whose bits never program
  // A program-fail record (19 bytes) answered once, for the next read, instead of the chip's
  // own: a device whose report contradicts what it was sent.
  std::vector<std::uint8_t> otpFailRecord;
  bool eraseNeverCompletes = false;
  SignatureResult signature = SignatureResult::Pass;
};

// A snapshot of one device, as drover-sim show prints it.
struct DeviceInfo {
  int number = -1;
  std::string ic;
  MemoryKind memory = MemoryKind::Spi;
  std::uint16_t vid = 0, pid = 0, rev = 0;
  bool present = false;       // on the bus now
  bool plugged = false;       // not unplugged (may still be away after a reset)
  bool resetPending = false;  // away after a reset, not back yet
  bool runningCode = false;   // false: the ROM (or update mode) runs
  std::uint8_t bootStatus = 0;
  std::string bootText;                       // ROM, SPI, ROM&&OTP, SPI&&OTP, ROM&&SPI, Unknown
  std::array<std::uint8_t, 8> versionBytes{};  // e0..e7 of the running code, 0xBB in ROM
  std::string versionText;                    // "%01X.%01X%02X.%04X-%04X.%04X"
  std::array<std::uint8_t, 2> tag{0xFF, 0xFF};  // flash bytes at the IC type's tag address
  std::uint8_t statusRegister = 0;
  bool flashWpReleased = false;
  bool eepromWpReleased = false;
  std::array<std::uint32_t, 4> resets{};  // received resets of type 7, 8, 9 and 10
  std::uint64_t transfers = 0;
  std::uint32_t dataControlSize = 8;
  std::uint8_t lastStatus = 0;  // status block byte 0
  bool otpLocked = false;
  std::string deviceInstance;
  std::string functionInstance;
  std::string locationPath;
  std::string objectName;  // empty while absent
};

// One control transfer as the device saw it (for tests that check the host's wire traffic).
struct TransferRecord {
  std::uint8_t bmRequestType = 0;  // as on the wire: bit 7 from the direction
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
  std::vector<std::uint8_t> data;  // bytes sent, or bytes answered
  std::uint32_t error = 0;
};

const char* MemoryKindName(MemoryKind kind);  // "spi", "nor", "eeprom8", "eeprom16", "otp"
bool ParseMemoryKind(const std::string& text, MemoryKind& out);
const char* CommandFormName(CommandForm form);  // "both", "ext", "vendor"
bool ParseCommandForm(const std::string& text, CommandForm& out);
const char* SignatureName(SignatureResult result);  // "pass", "fail", "busy"
bool ParseSignature(const std::string& text, SignatureResult& out);
const char* CompositeName(Composite composite);  // "none", "audio-first", "other-first"
bool ParseComposite(const std::string& text, Composite& out);
// "cmd:0xC2", "data:0xC2", "status", "getlen", "vendor:0x25", "any", each optionally followed
// by "+SKIP" and "*TIMES".
std::string FaultRuleText(const FaultRule& rule);
bool ParseFaultRule(const std::string& text, FaultRule& out);

}  // namespace drover::sim
