#pragma once
// What the main dialog offers the device list operations of the engine: its list of device
// identities, the selected-device text, the remembered port of the chosen device and the
// auto-run event. The engine calls it from the worker thread while the dialog's controls
// that start jobs are disabled, so the dialog needs no lock for these members.
#include <cstdint>
#include <string>

namespace drover {

// Contract: a plain store of the list rows and the chosen device's data; rows are numbered
// from 0; an operation on a row that does not exist changes nothing.
class IDeviceListHost {
 public:
  virtual ~IDeviceListHost() = default;
  virtual void ClearDeviceList() = 0;
  virtual void InsertDeviceRow(int row, const std::string& text) = 0;
  virtual int DeviceRowCount() const = 0;
  // Selects row (-1: none) and copies its text into the selected-device text (empty for none).
  virtual void SelectDeviceRow(int row) = 0;
  virtual std::string SelectedDeviceText() const = 0;
  // The remembered port address and hub instance of the chosen device (0, 0: none).
  virtual void SetRememberedPort(std::uint32_t portAddr, std::uint32_t hubInst) = 0;
  virtual std::uint32_t RememberedPortAddr() const = 0;
  virtual std::uint32_t RememberedHubInst() const = 0;
  // The auto-run event: reset before a survey, signalled after it (nobody waits on it).
  virtual void ResetAutoRunEvent() = 0;
  virtual void SetAutoRunEvent() = 0;
};

}  // namespace drover
