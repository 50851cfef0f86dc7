#include "base/status.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>

namespace drover {

namespace {

constexpr StatusEntry kStatusTable[] = {
    {41500, "Not Support!"},
    {41511, "Detect Device Fail!"},
    {41512, "Reset Device Fail!"},
    {41530, "Load File Data Fail!"},
    {41531, "Parse FW File Fail!"},
    {41702, "Get Code Size Fail!"},
    {41704, "Read Flash Fail!"},
    {41705, "Erase Flash Fail!"},
    {41706, "Update Flash Fail!"},
    {41708, "Malloc Data Fail!"},
    {41709, "Compare Data Fail!"},
    {41710, "Disable Write Protect Fail!"},
    {41711, "Enable Write Protect Fail!"},
    {41712, "Write Tag Fail!"},
    {41713, "Save SN Fail!"},
    {41714, "The Vid/Pid does not Match!"},
    {41715, "Firmware is not for the device!"},
    {41716, "FW Version Error!"},
    {41717, "Check Empty Fail!"},
    {41718, "Wait device to reset"},
    {41719, "Erasing"},
    {41720, "Check empty"},
    {41721, "Download"},
    {41722, "Verify"},
    {41723, "Write Tag"},
    {41724, "Reset to new code"},
    {41735, "Read"},
    {41751, "Read Flash Code Succeed."},
    {41752, "Erase Flash Code Succeed."},
    {41753, "Update Flash Code Succeed."},
    {41755, "Firmware Update Succeed."},
    {41756, "Show FW Ver."},
    {41802, "Read EERPOM Fail!"},
    {41803, "Erase EEPROM Fail!"},
    {41804, "Update EEPROM Data Fail!"},
    {41851, "Read EEPROM Code Succeed."},
    {41852, "Erase EEPROM Code Succeed."},
    {41853, "Update EEPROM Code Succeed."},
    {41854, "Download EEPROM Code Succeed."},
    {41906, "Check Device Info Succeed."},
    {41910, "Read MTP Code Succeed."},
    {41913, "Download MTP Code Succeed."},
    {41914, "Write OTP Fail!"},
    {41916, "Not Enough VD Block"},
    {41917, "Code Exceed Max Length!"},
    {41918, "OTP Locked,Can't Program!"},
    {41919, "Error Num Exceed 8!"},
    {41922, "Reduant Fail!"},
    {41923, "ECC Num lower than Error Num!"},
    {41924, "Not Find VDBlock!"},
    {41925, "Get VD Code Fail!"},
    {41926, "Fail Address!"},
    {41927, "Write Block Fail!"},
    {41928, "Read OTP Fail!"},
    {41929, "ReadOTP Succeed."},
    {41930, "UpdateOTP Succeed."},
    {41931, "DownloadOTP Succeed."},
    {41933, "OTP Code Not Exist!"},
    {41935, "Device is not in cache mode."},
    {41937, "Last OTP Write Abnormal!"},
    {42042, "ECDSA Check Fail!"},
};

constexpr std::array<std::uint32_t, 7> kClearing = {41751, 41755, 41851, 41854, 41910, 41913, 41931};

std::atomic<std::uint32_t> g_lastStatus{0};
std::atomic<bool> g_dialogExists{false};
std::mutex g_sinkLock;
IPostSink* g_sink = nullptr;

}  // namespace

std::span<const StatusEntry> StatusTable() { return kStatusTable; }

std::string_view StatusText(std::uint32_t id) {
  auto it = std::lower_bound(std::begin(kStatusTable), std::end(kStatusTable), id,
                             [](const StatusEntry& e, std::uint32_t v) { return e.id < v; });
  if (it != std::end(kStatusTable) && it->id == id) return it->text;
  return {};
}

bool IsClearingStatus(std::uint32_t id) {
  return std::find(kClearing.begin(), kClearing.end(), id) != kClearing.end();
}

void SetPostSink(IPostSink* sink) {
  std::lock_guard<std::mutex> g(g_sinkLock);
  g_sink = sink;
}

void SetMainDialogExists(bool exists) { g_dialogExists = exists; }
bool MainDialogExists() { return g_dialogExists; }

void PostToDialog(std::uint32_t message, std::uintptr_t first, std::intptr_t second) {
  {
    std::lock_guard<std::mutex> g(g_sinkLock);
    if (g_sink) g_sink->OnPost(message, first, second);
  }
  if (message != UM_WORKER_EXIT) g_lastStatus = static_cast<std::uint32_t>(first);
  ApplyClearingRule();
}

std::uint32_t GetLastStatus() { return g_lastStatus; }
void SetLastStatus(std::uint32_t status) { g_lastStatus = status; }

void ApplyClearingRule() {
  std::uint32_t s = g_lastStatus;
  if (IsClearingStatus(s)) g_lastStatus.compare_exchange_strong(s, 0);
}

}  // namespace drover
