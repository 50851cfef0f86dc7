#include "transport/kes_device.h"

#include <algorithm>
#include <mutex>

#include "base/bytes.h"
#include "base/debug_channel.h"
#include "base/strfmt.h"
#include "transport/named_lock.h"
#include "transport/transport_service.h"

namespace drover {
namespace {

constexpr std::uint16_t kOpenPokeAddress = 0xC3BA;
constexpr std::uint16_t kChipIdAddress = 0xFE21;
constexpr std::uint16_t kResetPrepAddress = 0xFF92;
constexpr std::uint32_t kNotReadyPauseMs = 300;
constexpr std::uint32_t kNoCandidatePauseMs = 200;
constexpr std::uint32_t kNoRootHubPauseMs = 500;
constexpr std::uint32_t kAnswerPauseMs = 300;
constexpr std::uint32_t kSlowChipExtraMs = 2000;
constexpr std::uint32_t kBlockEraseSize = 0x10000;

// The current device. The worker thread opens, uses and closes it; the dialog thread only
// signals its removal event, under the lock.
std::mutex g_currentLock;
std::unique_ptr<CKesCam> g_current;
DevInst g_currentInst = 0;

CKesCam* Current() {
  std::lock_guard<std::mutex> g(g_currentLock);
  return g_current.get();
}

// The current device when the caller's handle names it.
CKesCam* CurrentFor(DevInst h) {
  std::lock_guard<std::mutex> g(g_currentLock);
  if (!g_current || h == 0 || h != g_currentInst) return nullptr;
  return g_current.get();
}

void SetCurrent(std::unique_ptr<CKesCam> dev, DevInst inst) {
  std::unique_ptr<CKesCam> old;
  {
    std::lock_guard<std::mutex> g(g_currentLock);
    old = std::move(g_current);
    g_current = std::move(dev);
    g_currentInst = g_current ? inst : 0;
  }
}

enum class Rule { Default, DefaultNoRoute, Own, ExtOnly };

CVendorCmdCommon* Pick(CKesCam& dev, std::uint32_t flags, Rule rule) {
  switch (rule) {
    case Rule::Default: return dev.Choose(flags);
    case Rule::DefaultNoRoute: return dev.Choose(flags & ~kCmdFlagRoute);
    case Rule::Own:
      if (flags & kCmdFlagRoute) return dev.ExtUnit();
      return dev.VendorReq() ? static_cast<CVendorCmdCommon*>(dev.VendorReq()) : dev.ExtUnit();
    case Rule::ExtOnly: return dev.ExtUnitOnly();
  }
  return nullptr;
}

template <typename F>
bool With(DevInst h, std::uint32_t flags, Rule rule, F&& f) {
  CKesCam* dev = CurrentFor(h);
  if (!dev) return false;
  CVendorCmdCommon* t = Pick(*dev, flags, rule);
  return t != nullptr && f(*t) == 0;
}

template <typename F>
bool WithExt(DevInst h, F&& f) {
  CKesCam* dev = CurrentFor(h);
  if (!dev) return false;
  CExtUnit* t = dev->ExtUnitOnly();
  return t != nullptr && f(*t) == 0;
}

// Commands only the vendor-request form has: they go out when the default choice is it.
template <typename F>
bool WithVendorDefault(DevInst h, std::uint32_t flags, F&& f) {
  CKesCam* dev = CurrentFor(h);
  if (!dev) return false;
  CVendorCmdCommon* t = dev->Choose(flags & ~kCmdFlagRoute);
  return t != nullptr && t == dev->VendorReq() && f(*dev->VendorReq()) == 0;
}

}  // namespace

// ---- device objects ----

CCamDev::CCamDev(const DeviceRecord& source) {
  m_dwStatus = OpenDeviceRecord(source.strOpenedInstance, m_record);
  if (m_dwStatus != 0) return;
  if (source.pCapabilities) {
    m_record.pCapabilities = std::make_shared<CapabilityRecord>(*source.pCapabilities);
  } else {
    QueryCapabilities(m_record, false);
  }
}

CKesCam::CKesCam(const DeviceRecord& source) : CCamDev(source) {
  if (m_dwStatus == 0) RebuildTransports();
}

CKesCam::~CKesCam() {
  // The transports refer to the record; they go first.
  m_pExtUnit.reset();
  m_pVendor.reset();
}

void CKesCam::SignalRemoval() { m_removal.Set(); }

void CKesCam::RebuildTransports() {
  m_pExtUnit.reset();
  m_pVendor.reset();
  if (!m_record.pCapabilities && m_record.IsValid()) QueryCapabilities(m_record, false);
  const CapabilityRecord* caps = m_record.pCapabilities.get();
  if (!caps) return;
  if (caps->bHasExtensionUnit) m_pExtUnit = std::make_unique<CExtUnit>(m_record, caps->byExtensionUnitId);
  if (caps->bVendorRequests) m_pVendor = std::make_unique<CVendorRequestV2>(m_record);
}

CVendorCmdCommon* CKesCam::Choose(std::uint32_t flags) {
  if (flags & kCmdFlagRoute) return m_pExtUnit.get();
  const CapabilityRecord* caps = Capabilities();
  if (!caps) return nullptr;
  if (caps->bVendorRequests && m_pVendor) return m_pVendor.get();
  if (caps->bHasExtensionUnit && m_pExtUnit) return m_pExtUnit.get();
  return nullptr;
}

CExtUnit* CKesCam::ExtUnitOnly() {
  const CapabilityRecord* caps = Capabilities();
  return caps && caps->bHasExtensionUnit ? m_pExtUnit.get() : nullptr;
}

// ---- open and close ----

namespace {

DevInst OpenCandidate(const CandidateEntry& entry) {
  DeviceRecord temp;
  if (OpenDeviceRecord(entry.functionInstance, temp) != 0) return 0;
  {
    // The chip expects this one-byte write as soon as a host opens it; its outcome does not
    // matter (a device without vendor requests simply refuses it).
    CVendorRequestV2 poke(temp);
    const std::uint8_t zero = 0;
    poke.WriteMem(kOpenPokeAddress, std::span<const std::uint8_t>(&zero, 1));
  }
  if (!QueryCapabilities(temp, false) || !temp.pCapabilities->bAccepted) return 0;
  auto dev = std::make_unique<CKesCam>(temp);
  temp.Release();
  if (dev->Status() != 0 || !dev->Capabilities() || !dev->Capabilities()->bAccepted) return 0;
  const DevInst inst = DevInstFromId(dev->Record().strDeviceInstance);
  SetCurrent(std::move(dev), inst);
  return inst;
}

}  // namespace

DevInst OpenDeviceByIndex(std::uint32_t n) {
  {
    std::lock_guard<std::mutex> g(g_currentLock);
    if (g_current) return g_currentInst;
  }
  std::vector<CandidateEntry> list;
  if (EnumerateAudioDevices(list) != 0 || n >= list.size()) return 0;
  return OpenCandidate(list[n]);
}

bool CloseCurrentDevice() {
  SetCurrent(nullptr, 0);
  return true;
}

CCamDev* CurrentDevice() { return Current(); }

DevInst CurrentDeviceInstance() {
  std::lock_guard<std::mutex> g(g_currentLock);
  return g_currentInst;
}

std::uint8_t GetDeviceCount() {
  std::vector<CandidateEntry> list;
  if (EnumerateAudioDevices(list) != 0) return 0;
  return static_cast<std::uint8_t>(list.size() & 0xFF);
}

// ---- identity ----

bool GetDeviceIds(std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev) {
  CKesCam* dev = Current();
  if (!dev || !dev->Capabilities()) return false;
  vid = dev->Capabilities()->Vid();
  pid = dev->Capabilities()->Pid();
  rev = dev->Capabilities()->Rev();
  return true;
}

bool GetDeviceIdsAndManufacturer(std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev,
                                 std::string& manufacturer) {
  if (!GetDeviceIds(vid, pid, rev)) return false;
  CKesCam* dev = Current();
  return ReadStringDescriptor(dev->Record(), dev->Capabilities()->ManufacturerIndex(), manufacturer) == 0;
}

bool GetManufacturerString(std::string& manufacturer) {
  if (Current()) return false;
  if (OpenDeviceByIndex(0) == 0) return false;
  CKesCam* dev = Current();
  std::string text;
  const bool ok = dev && dev->Capabilities() &&
                  ReadStringDescriptor(dev->Record(), dev->Capabilities()->ManufacturerIndex(), text) == 0;
  CloseCurrentDevice();
  if (ok) manufacturer = text;
  return ok;
}

bool GetSerialNumberString(std::string& serial) {
  CKesCam* dev = Current();
  if (!dev || !dev->Capabilities()) return false;
  return ReadStringDescriptor(dev->Record(), dev->Capabilities()->SerialIndex(), serial) == 0;
}

bool GetDeviceName(std::string& name) {
  CKesCam* dev = Current();
  if (!dev) return false;
  name = dev->Record().strName;
  return true;
}

std::string GetDevicePath() {
  CKesCam* dev = Current();
  return dev ? dev->Record().strDeviceInstance : std::string();
}

bool GetBusAddressAndParentHub(DevInst inst, std::uint32_t& busAddress, DevInst& hubInst) {
  busAddress = 0;
  hubInst = 0;
  const std::string id = DevInstId(inst);
  if (id.empty()) return false;
  std::string hub;
  if (GetBusAddressAndHub(id, busAddress, hub) != 0) return false;
  hubInst = DevInstFromId(hub);
  return true;
}

// ---- access functions ----

bool KesGetDevStatus(DevInst h, std::uint32_t flags, std::span<std::uint8_t> buffer104) {
  if (buffer104.size() < kStatusAreaSize) return false;
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.GetDevStatus(0, buffer104.first(kStatusAreaSize)); });
}
bool KesGetDevStatusFrom(DevInst h, std::uint32_t flags, std::uint32_t page, std::span<std::uint8_t> buffer) {
  return With(h, flags, Rule::Own, [&](CVendorCmdCommon& t) { return t.GetDevStatus(page, buffer); });
}
bool KesReadMem(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.ReadMem(address, buffer); });
}
bool KesWriteMem(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.WriteMem(address, data); });
}
bool KesEraseFlash(DevInst h, std::uint32_t flags) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.EraseFlash(); });
}
bool KesWriteFlash(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.WriteFlash(address, data); });
}
bool KesNorFlashWriteTag(DevInst h, std::uint32_t flags) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.NorFlash_WriteTag(); });
}
bool KesSpiRead(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.SPI_SF_Read(address, buffer, 0); });
}
bool KesSpiWrite(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.SPI_SF_Write(address, data); });
}
bool KesSpiReadSr(DevInst h, std::uint32_t flags, std::uint8_t& value) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.SPI_SF_ReadSr(value); });
}
bool KesSpiWriteSr(DevInst h, std::uint32_t flags, std::uint8_t value) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.SPI_SF_WriteSr(value); });
}
bool KesSpiEraseChip(DevInst h, std::uint32_t flags, std::uint32_t timeoutMs) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.SPI_SF_EraseChip(timeoutMs); });
}
bool KesSpiEraseBlock(DevInst h, std::uint32_t flags, std::uint32_t address, bool wait) {
  return With(h, flags, Rule::DefaultNoRoute,
              [&](CVendorCmdCommon& t) { return t.SPI_SF_EraseBlock(address, kBlockEraseSize, wait); });
}
bool KesSpiWriteTag(DevInst h, std::uint32_t flags) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.SPI_SF_WriteTag(); });
}
bool KesEep8Erase(DevInst h, std::uint32_t flags, std::uint32_t size) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.I2C_EEP8_Erase(size); });
}
bool KesEep8Read(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.I2C_EEP8_Read(address, buffer); });
}
bool KesEep8Write(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.I2C_EEP8_Write(address, data); });
}
bool KesEep8WriteTag(DevInst h, std::uint32_t flags) {
  return With(h, flags, Rule::Default, [&](CVendorCmdCommon& t) { return t.I2C_EEP8_WriteTag(); });
}
bool KesEep16Fill(DevInst h, std::uint32_t, std::uint32_t size) {
  const std::vector<std::uint8_t> ones(size, 0xFF);
  return WithExt(h, [&](CExtUnit& t) { return t.I2C_EEP16_Write(0, ones); });
}
bool KesEep16Read(DevInst h, std::uint32_t, std::uint32_t address, std::span<std::uint8_t> buffer) {
  return WithExt(h, [&](CExtUnit& t) { return t.I2C_EEP16_Read(address, buffer); });
}
bool KesEep16Write(DevInst h, std::uint32_t, std::uint32_t address, std::span<const std::uint8_t> data) {
  return WithExt(h, [&](CExtUnit& t) { return t.I2C_EEP16_Write(address, data); });
}
bool KesEep16WriteTag(DevInst h, std::uint32_t) {
  return WithExt(h, [&](CExtUnit& t) { return t.I2C_EEP16_WriteTag(); });
}
bool KesChangeDataControlSize(DevInst h, std::uint32_t, std::uint32_t& size) {
  return WithExt(h, [&](CExtUnit& t) { return t.ChangeDataControlSize(size) ? 0u : 1u; });
}
bool KesOtpRead(DevInst h, std::uint32_t, std::uint32_t address, std::span<std::uint8_t> buffer) {
  return WithExt(h, [&](CExtUnit& t) { return t.OTPRead(address, buffer); });
}
bool KesOtpPrgmFailAddr(DevInst h, std::uint32_t, std::span<std::uint8_t> record19) {
  if (record19.size() < kOtpFailRecordSize) return false;
  return WithExt(h, [&](CExtUnit& t) { return t.OTPPrgmFailAddr(record19.first(kOtpFailRecordSize)); });
}
bool KesOtpWrite(DevInst h, std::uint32_t, std::uint32_t address, std::uint16_t param, std::span<const std::uint8_t> data) {
  return WithExt(h, [&](CExtUnit& t) { return t.OTPWrite(address, param, data); });
}
bool KesResetToRom(DevInst h, std::uint32_t flags) {
  return With(h, flags, Rule::DefaultNoRoute, [&](CVendorCmdCommon& t) { return t.ResetToRom(); });
}
bool KesCommand10(DevInst h, std::uint32_t flags, std::uint8_t argument) {
  return WithVendorDefault(h, flags, [&](CVendorRequestV2& t) { return t.Command10(argument); });
}
bool KesReadByte06(DevInst h, std::uint32_t flags, std::uint8_t& value) {
  return WithVendorDefault(h, flags, [&](CVendorRequestV2& t) { return t.ReadByte06(value); });
}
bool KesVendorCtl70Out(DevInst h, std::uint32_t flags, std::uint32_t argument) {
  return With(h, flags, Rule::DefaultNoRoute, [&](CVendorCmdCommon& t) { return t.VendorCtl70Out(argument); });
}
bool KesVendorCtl70In(DevInst h, std::uint32_t flags, std::uint8_t value, std::span<std::uint8_t> buffer,
                      std::uint32_t& count) {
  return With(h, flags, Rule::DefaultNoRoute, [&](CVendorCmdCommon& t) { return t.VendorCtl70In(value, buffer, count); });
}

bool KesSignalRemoval(DevInst h) {
  std::lock_guard<std::mutex> g(g_currentLock);
  if (!g_current || (h != 0 && h != g_currentInst)) return false;
  g_current->SignalRemoval();
  return true;
}

// ---- resets ----

namespace {

bool ResetCurrent(std::uint8_t type, std::uint16_t value, std::uint32_t flags, std::uint32_t waitTimeMs,
                  DevInst& outInst) {
  CKesCam* dev = Current();
  std::uint32_t rc = usb::kErrInvalidParameter;
  if (dev) {
    KnownCapabilities known;
    const KnownCapabilities* pKnown = nullptr;
    const CapabilityRecord* caps = dev->Capabilities();
    if (type != 7 && (flags & kCmdFlagKnownCaps) && caps) {
      known.byExtensionUnitId = caps->byExtensionUnitId;
      known.bVendorRequests = caps->bVendorRequests;
      known.bOneByteProbe = caps->bOneByteProbe;
      pKnown = &known;
    }
    rc = ResetAndReopen(dev->Record(), value, type, pKnown, (flags & kCmdFlagRoute) != 0, kResetTimeLimitMs,
                        &dev->RemovalEvent(), waitTimeMs);
  }
  if (rc != 0) {
    OutputDebugString(StrFormat("Reset type %u failed with %u; reopening the first device\n",
                                static_cast<unsigned>(type), static_cast<unsigned>(rc)));
    CloseCurrentDevice();
    outInst = OpenDeviceByIndex(0);
    return false;
  }
  dev->RebuildTransports();
  if (!dev->Choose(0)) return false;
  const DevInst inst = DevInstFromId(dev->Record().strDeviceInstance);
  {
    std::lock_guard<std::mutex> g(g_currentLock);
    g_currentInst = inst;
  }
  outInst = inst;
  return true;
}

}  // namespace

bool KesResetToUpdateFW(std::uint16_t value, std::uint32_t flags, std::uint32_t waitTimeMs, DevInst& outInst) {
  return ResetCurrent(7, value, flags, waitTimeMs, outInst);
}
bool KesResetToRomWait(std::uint32_t flags, std::uint32_t waitTimeMs, DevInst& outInst) {
  return ResetCurrent(9, 0, flags, waitTimeMs, outInst);
}
bool KesResetToRomByVendor(std::uint32_t flags, std::uint32_t waitTimeMs, DevInst& outInst) {
  return ResetCurrent(10, 0, flags, waitTimeMs, outInst);
}

std::uint32_t ResetAndReopen(DeviceRecord& record, std::uint16_t v, std::uint8_t t, const KnownCapabilities* known,
                             bool forceExtUnit, std::uint32_t timeLimitMs, CEvent* removal, std::uint32_t waitTimeMs) {
  if (!record.IsValid()) return usb::kErrInvalidParameter;
  IClock& clock = Clock();
  auto backend = UsbBackend();
  if (!backend) return kErrPathNotFound;

  // Path choice.
  std::uint8_t unitId = 0;
  bool vendor = false;
  bool oneByte = false;
  if (t == 10) {
    vendor = true;
  } else if (known) {
    unitId = known->byExtensionUnitId;
    vendor = known->bVendorRequests;
    oneByte = known->bOneByteProbe;
  } else {
    std::array<std::uint8_t, 9> head{};
    std::vector<std::uint8_t> config;
    if (GetDescriptor(record.ref, kDescConfiguration, 0, 0, head) == 0 && ReadLE16(head, 2) >= head.size()) {
      config.assign(ReadLE16(head, 2), 0);
      if (GetDescriptor(record.ref, kDescConfiguration, 0, 0, config) != 0) config.clear();
    }
    std::array<std::uint8_t, 32> status{};
    vendor = raw::VendorStatusPages(record, 4, status) == 0 &&
             std::equal(kQualifySignature.begin(), kQualifySignature.end(), status.begin() + 24);
    if (!vendor) {
      std::uint8_t b = 0;
      oneByte = raw::VendorQuery06(record, 0, b) == 0;
    }
    bool qualified = false;
    const int unit = FindExtensionUnit(config);
    if (unit >= 0) {
      unitId = static_cast<std::uint8_t>(unit);
      qualified = raw::ExtQualify(record, unitId);
    }
    if (!vendor && !qualified) return kVcmdFail;
  }
  if (forceExtUnit && unitId > 0) vendor = oneByte = false;
  const bool extPath = !vendor;
  std::uint16_t m = v;
  if (extPath && !oneByte && v != 2) {
    if (v == 0) m = 1;
    else if (v == 1) m = 0;
  }

  // Preparation: the chip identity decides an extra settling time after the reset.
  bool slowChip = false;
  if (t != 10) {
    std::array<std::uint8_t, 2> id{};
    const std::uint8_t one = 0x01;
    if (vendor) {
      raw::VendorReadMem(record, kChipIdAddress, id);
      raw::VendorWriteMem(record, kResetPrepAddress, std::span<const std::uint8_t>(&one, 1));
    } else {
      raw::ExtReadMem(record, unitId, kChipIdAddress, id);
      raw::ExtWriteMem(record, unitId, kResetPrepAddress, std::span<const std::uint8_t>(&one, 1));
    }
    const std::uint32_t c = ((id[1] & 0xF0u) << 8) | id[0];
    slowChip = c == 0xB013 || c == 0xB014;
  } else {
    t = 9;
  }

  // The reset, repeated while the device is not ready; those pauses count against the limit.
  std::uint64_t spent = 0;
  for (;;) {
    std::uint32_t rc;
    if (extPath && !oneByte) rc = raw::ExtReset(record, unitId, t, t == 9 ? 0 : m);
    else if (extPath) rc = raw::VendorAltReset(record, t, m);
    else rc = raw::VendorReset(record, t, m);
    if (rc == 0) break;
    if (rc != usb::kErrNotReady) return rc;
    if (spent + kNotReadyPauseMs > timeLimitMs) return usb::kErrTimeout;
    clock.Sleep(kNotReadyPauseMs);
    spent += kNotReadyPauseMs;
  }

  const std::string oldLocation = record.strLocationPath;
  record.Release();

  // Let the device leave the bus.
  if (m != 2 && m != 5) {
    if (removal) {
      removal->Reset();
      clock.WaitForEvent(*removal, waitTimeMs);
    } else {
      clock.Sleep(waitTimeMs);
    }
    if (slowChip) clock.Sleep(kSlowChipExtraMs);
  }

  // Rediscovery by location path. The whole search, its pauses and the time the opens take,
  // stays within the limit.
  const std::uint64_t searchStart = clock.NowMs();
  auto exceeded = [&] { return spent + (clock.NowMs() - searchStart) > timeLimitMs; };
  DeviceRecord found;
  bool accepted = false;
  while (!accepted) {
    if (exceeded()) return usb::kErrTimeout;
    std::vector<CandidateEntry> list;
    const std::uint32_t rc = EnumerateAudioDevices(list);
    if (rc != 0) {
      clock.Sleep(kNoCandidatePauseMs);
      continue;
    }
    bool restart = false;
    for (std::size_t i = 0; i < list.size() && !accepted && !restart; ++i) {
      if (exceeded()) return usb::kErrTimeout;
      DeviceRecord temp;
      const std::uint32_t orc = OpenDeviceRecord(list[i].functionInstance, temp);
      if (orc == usb::kErrNotFound) {
        clock.Sleep(kNoRootHubPauseMs);
        restart = true;
        continue;
      }
      if (orc != 0) continue;
      const bool same = LocationPathContains(temp.strLocationPath, oldLocation) ||
                        LocationPathContains(oldLocation, temp.strLocationPath);
      if (!same) continue;
      usb::UsbNode n;
      const bool nameReadable = backend->GetNode(temp.strDeviceInstance, n) == 0 && !n.objectName.empty();
      if (m == 2 || m == 5 || nameReadable) {
        found = std::move(temp);
        accepted = true;
      }
    }
    if (!accepted && !restart) clock.Sleep(kNoCandidatePauseMs);
  }

  // Wait until the device answers.
  for (;;) {
    std::uint32_t rc;
    if (extPath && !oneByte) {
      std::array<std::uint8_t, 8> page{};
      rc = raw::ExtGetDevStatus(found, unitId, 0, page);
    } else {
      std::uint8_t b = 0;
      rc = raw::VendorQuery06(found, v == 2 ? 1 : v, b);
    }
    if (rc != usb::kErrDeviceNotConnected) break;
    if (exceeded()) return usb::kErrTimeout;
    clock.Sleep(kAnswerPauseMs);
  }
  record = std::move(found);
  return 0;
}

// ---- raw command path ----

namespace raw {
namespace {

constexpr std::uint32_t kRawChunk = 8;

std::uint32_t SetBlock(const DeviceRecord& r, std::uint8_t unit, CmdBlock block) {
  return ClassRequest(r.ref, kReqTypeClassOut, kUacSetCur, kSelectorCommand, unit, r.byInterfaceNumber, block, false);
}

// After a failed phase: read the status block, then abort the command.
void Recover(const DeviceRecord& r, std::uint8_t unit) {
  std::array<std::uint8_t, 8> status{};
  ClassRequest(r.ref, kReqTypeClassIn, kUacGetCur, kSelectorCommand, unit, r.byInterfaceNumber, status, true);
  SetBlock(r, unit, kAbortBlock);
}

CmdBlock Block(std::uint8_t op, std::uint16_t a, std::uint16_t l) {
  CmdBlock b{0x00, op, 0, 0, 0, 0, 0, 0};
  WriteLE16(b, 2, a);
  WriteLE16(b, 4, l);
  return b;
}

// Reads data in 8-byte chunks, the last one asked with the remaining length.
std::uint32_t ReadChunks(const DeviceRecord& r, std::uint8_t unit, std::span<std::uint8_t> buffer) {
  for (std::size_t at = 0; at < buffer.size(); at += kRawChunk) {
    const std::size_t n = std::min<std::size_t>(kRawChunk, buffer.size() - at);
    std::uint32_t got = 0;
    const std::uint32_t rc = ClassRequest(r.ref, kReqTypeClassIn, kUacGetCur, kSelectorData, unit, r.byInterfaceNumber,
                                          buffer.subspan(at, n), true, &got);
    if (rc) return rc;
    if (got != n) return kErrBadLength;
  }
  return 0;
}

}  // namespace

bool ExtQualify(const DeviceRecord& record, std::uint8_t unitId) {
  CSyncOperate lock(RawPathLock());
  if (SetBlock(record, unitId, {0x00, 0xD0, 0, 0, 8, 0, 0, 0}) != 0) {
    Recover(record, unitId);
    return false;
  }
  std::array<std::uint8_t, 8> answer{};
  if (ReadChunks(record, unitId, answer) != 0) {
    Recover(record, unitId);
    return false;
  }
  return answer == kQualifySignature;
}

std::uint32_t ExtGetDevStatus(const DeviceRecord& record, std::uint8_t unitId, std::uint16_t page,
                              std::span<std::uint8_t> buffer8) {
  if (buffer8.size() < 8) return usb::kErrInvalidParameter;
  CSyncOperate lock(RawPathLock());
  std::uint32_t rc = SetBlock(record, unitId, Block(0xCD, page, 8));
  if (rc == 0) rc = ReadChunks(record, unitId, buffer8.first(8));
  if (rc) Recover(record, unitId);
  return rc;
}

std::uint32_t ExtReadMem(const DeviceRecord& record, std::uint8_t unitId, std::uint16_t address,
                         std::span<std::uint8_t> buffer) {
  if (buffer.size() > 0xFFFF) return usb::kErrInvalidParameter;
  CSyncOperate lock(RawPathLock());
  std::uint32_t rc = SetBlock(record, unitId, Block(0xC2, address, static_cast<std::uint16_t>(buffer.size())));
  if (rc == 0) rc = ReadChunks(record, unitId, buffer);
  if (rc) Recover(record, unitId);
  return rc;
}

std::uint32_t ExtWriteMem(const DeviceRecord& record, std::uint8_t unitId, std::uint16_t address,
                          std::span<const std::uint8_t> data) {
  if (data.size() > 0xFFFF) return usb::kErrInvalidParameter;
  CSyncOperate lock(RawPathLock());
  std::uint32_t rc = SetBlock(record, unitId, Block(0x82, address, static_cast<std::uint16_t>(data.size())));
  for (std::size_t at = 0; rc == 0 && at < data.size(); at += kRawChunk) {
    const std::size_t n = std::min<std::size_t>(kRawChunk, data.size() - at);
    std::vector<std::uint8_t> chunk(data.begin() + static_cast<std::ptrdiff_t>(at),
                                    data.begin() + static_cast<std::ptrdiff_t>(at + n));
    // This path passes the class IN request type with the direction out; the direction
    // flag decides what goes on the wire.
    rc = ClassRequest(record.ref, kReqTypeClassIn, kUacSetCur, kSelectorData, unitId, record.byInterfaceNumber, chunk,
                      false);
  }
  if (rc) Recover(record, unitId);
  return rc;
}

std::uint32_t ExtReset(const DeviceRecord& record, std::uint8_t unitId, std::uint8_t type, std::uint16_t mode) {
  CSyncOperate lock(RawPathLock());
  CmdBlock b{0x00, type, 0, 0, 0, 0, 0, 0};
  WriteLE16(b, 2, type == 9 ? 0 : mode);
  const std::uint32_t rc = SetBlock(record, unitId, b);
  if (rc && rc != usb::kErrDeviceNotConnected) Recover(record, unitId);
  return rc;
}

std::uint32_t VendorStatusPages(const DeviceRecord& record, std::uint32_t pages, std::span<std::uint8_t> buffer) {
  if (buffer.size() < pages * 8) return usb::kErrInvalidParameter;
  for (std::uint32_t p = 0; p < pages; ++p) {
    std::uint32_t got = 0;
    const std::uint32_t rc =
        VendorRequest(record.ref, kReqTypeVendorIn, 0x07, static_cast<std::uint16_t>(p), 0, buffer.subspan(p * 8, 8), true, &got);
    if (rc) return rc;
    if (got != 8) return kVcmdFail;
  }
  return 0;
}

std::uint32_t VendorReadMem(const DeviceRecord& record, std::uint16_t address, std::span<std::uint8_t> buffer) {
  std::uint32_t got = 0;
  const std::uint32_t rc = VendorRequest(record.ref, kReqTypeVendorIn, 0x25, 0, address, buffer, true, &got);
  if (rc) return rc;
  return got == buffer.size() ? 0 : kErrBadLength;
}

std::uint32_t VendorWriteMem(const DeviceRecord& record, std::uint16_t address, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> copy(data.begin(), data.end());
  return VendorRequest(record.ref, kReqTypeVendorOut, 0x24, 0, address, copy, false);
}

std::uint32_t VendorReset(const DeviceRecord& record, std::uint8_t type, std::uint16_t mode) {
  std::uint8_t request;
  switch (type) {
    case 7: request = 0x20; break;
    case 8: request = 0x21; break;
    case 9: request = 0x22; break;
    default: return kVcmdInvalidArg;
  }
  return VendorRequest(record.ref, kReqTypeVendorOut, request, mode, 0, {}, false);
}

std::uint32_t VendorQuery06(const DeviceRecord& record, std::uint16_t value, std::uint8_t& out) {
  std::uint8_t b = 0;
  std::uint32_t got = 0;
  const std::uint32_t rc = VendorRequest(record.ref, kReqTypeVendorIn, 0x06, value, 0, std::span<std::uint8_t>(&b, 1), true, &got);
  if (rc) return rc;
  if (got != 1) return kErrBadLength;
  out = b;
  return 0;
}

std::uint32_t VendorAltReset(const DeviceRecord& record, std::uint8_t type, std::uint16_t mode) {
  return VendorRequest(record.ref, kReqTypeVendorOut, 0x01, mode, type, {}, false);
}

}  // namespace raw

}  // namespace drover
