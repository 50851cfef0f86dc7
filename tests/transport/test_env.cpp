// Keeps this test program's named locks apart from those of other processes running at the
// same time, and removes them at the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "transport/named_lock.h"

namespace {

class LockNamespace : public ::testing::Environment {
 public:
  void SetUp() override { drover::SetNamedLockSuffix(".test" + std::to_string(::getpid())); }
  void TearDown() override {
    for (const char* name : {drover::kVendorCmdLockName, drover::kRawPathLockName, "DroverTestLock"}) {
      ::unlink(("/dev/shm" + drover::NamedLockSegment(name)).c_str());
    }
  }
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new LockNamespace);

}  // namespace
