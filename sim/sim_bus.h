#pragma once
// The simulated USB bus: a directory holding any number of simulated codec devices. Each
// device's memories are files in the directory, mapped shared so that what one process writes
// the next one sees, and a small text file keeps its identity and state. Locks are taken per
// operation, so drover-sim plug/unplug and a second process work while a device is open.
//
// Files: "bus.txt" (device count, object-name counter), "events" (rewritten on every presence
// change, watched by running buses), per device N "devN.txt" (identity, state, faults),
// "devN.flash", "devN.eeprom", "devN.otp", "devN.regs" (register space), "devN.aux"
// (I2C and PHY spaces).
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_types.h"
#include "transport/usb_backend.h"

namespace drover::sim {

class SimBusImpl;

// Contract: a usb::IUsbBackend over a bus directory, plus the inspection and fault controls
// tests and drover-sim use. Thread-safe; time runs on drover::Clock().
class SimBus final : public usb::IUsbBackend, public std::enable_shared_from_this<SimBus> {
 public:
  // Opens a bus directory; with create, makes it (and its bus file) when missing. A reset
  // return left pending by another bus object (another process) completes now.
  // nullptr and an error text when the directory is missing or unusable.
  static std::shared_ptr<SimBus> Open(const std::string& directory, bool create, std::string* error = nullptr);
  ~SimBus() override;
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  const std::string& Directory() const;
  std::shared_ptr<usb::IUsbBackend> Backend() { return shared_from_this(); }

  // Adds a plugged device (powered on: it boots its preloaded image when that is bootable).
  // Answers its number 0, 1, ... or -1 with an error text (unknown IC, port in use, bad size).
  int AddDevice(const DeviceOptions& options, std::string* error = nullptr);
  int DeviceCount();
  bool HasDevice(int n);
  bool GetOptions(int n, DeviceOptions& out);  // image left empty

  // Inspection and pokes. False when n is no device or the range lies outside the memory.
  bool GetInfo(int n, DeviceInfo& out);
  bool ReadMemory(int n, Memory which, std::uint32_t offset, std::uint32_t length, std::vector<std::uint8_t>& out);
  bool WriteMemory(int n, Memory which, std::uint32_t offset, std::span<const std::uint8_t> data);
  std::uint32_t MemorySize(int n, Memory which);  // 0 when the device has no such memory
  bool SetStatusRegister(int n, std::uint8_t value);
  bool SetFaults(int n, const Faults& faults);
  bool GetFaults(int n, Faults& out);
  // Plug powers the device on (it boots); unplug takes it off the bus at once.
  bool Plug(int n);
  bool Unplug(int n);
  // Records this bus object's transfers to device n until switched off; Take empties the log.
  void RecordTransfers(int n, bool on);
  std::vector<TransferRecord> TakeTransfers(int n);

  // usb::IUsbBackend
  std::uint32_t EnumerateFunctions(std::vector<usb::UsbFunction>& out) override;
  std::uint32_t GetNode(const std::string& instanceId, usb::UsbNode& out) override;
  std::uint32_t Open(const std::string& deviceInstance, std::unique_ptr<usb::IUsbDevice>& out) override;
  int Subscribe(std::function<void(const std::string& deviceInstance, usb::HotplugEvent)> callback) override;
  void Unsubscribe(int handle) override;
  void Poll() override;

 private:
  explicit SimBus(std::unique_ptr<SimBusImpl> impl);
  friend class SimBusImpl;
  friend class SimUsbDevice;
  std::unique_ptr<SimBusImpl> m_impl;
};

// The bus the program uses when the environment variable DROVER_SIM names a bus directory.
// nullptr when DROVER_SIM is unset or empty; also nullptr, with an error text, when the
// directory cannot be opened (it is not created).
std::shared_ptr<usb::IUsbBackend> OpenBusFromEnvironment(std::string* error = nullptr);
// True when DROVER_SIM is set and not empty.
bool SimulationRequested();
// True when DROVER_SIM_REALTIME is "1": command-line mode then keeps the real clock.
bool SimulationRealtimeRequested();

// The drover-sim command: argv[0] is the program name. Answers the exit status (0 success,
// 1 failure such as a missing bus or device, 2 bad arguments with a usage message on err).
int RunSimTool(const std::vector<std::string>& args, std::string& out, std::string& err);

}  // namespace drover::sim
