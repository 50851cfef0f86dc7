#include "transport/named_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "base/clock.h"

namespace drover {
namespace {

constexpr const char* kName = "DroverTestLock";

// Runs body in a child process and waits for it; the child ends without unwinding.
template <typename Body>
void InChild(Body body) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
}

TEST(NamedLock, RecursiveForTheOwningThread) {
  CNamedMutex lock(kName);
  ASSERT_TRUE(lock.IsOpen());
  EXPECT_EQ(lock.Wait(0), LockWait::Acquired);
  EXPECT_EQ(lock.Wait(0), LockWait::Acquired);
  lock.Release();
  lock.Release();
  // A second mapping in the same process is the same lock.
  CNamedMutex again(kName);
  CSyncOperate outer(&lock);
  CSyncOperate inner(&again);
  EXPECT_TRUE(outer.Proceed());
  EXPECT_TRUE(inner.Proceed());
}

TEST(NamedLock, SegmentIsUsableByEveryLocalUser) {
  const mode_t old = ::umask(077);
  ::unlink(("/dev/shm" + NamedLockSegment("DroverTestLock")).c_str());
  { CNamedMutex lock(kName); }
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat(("/dev/shm" + NamedLockSegment(kName)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST(NamedLock, AbandonedByADeadProcessIsTakenOverOnce) {
  InChild([] {
    CNamedMutex lock(kName);
    if (lock.Wait(0) != LockWait::Acquired) ::_exit(3);
    ::_exit(0);  // dies holding it, its mapping still in place
  });
  CNamedMutex lock(kName);
  {
    CSyncOperate first(&lock);
    EXPECT_EQ(first.Outcome(), LockWait::Abandoned);
    EXPECT_TRUE(first.Owns());
    EXPECT_FALSE(first.Proceed());
  }
  CSyncOperate second(&lock);
  EXPECT_EQ(second.Outcome(), LockWait::Acquired);
  EXPECT_TRUE(second.Proceed());
}

TEST(NamedLock, TimesOutOnTheVirtualClockWhileAnotherProcessHoldsIt) {
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CNamedMutex lock(kName);
    char c = lock.Wait(0) == LockWait::Acquired ? 'y' : 'n';
    (void)!::write(toParent[1], &c, 1);
    (void)!::read(toChild[0], &c, 1);  // hold until told
    lock.Release();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(toParent[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  {
    auto clock = std::make_shared<VirtualClock>();
    ScopedClock scoped(clock);
    CNamedMutex lock(kName);
    const std::uint64_t t0 = clock->NowMs();
    CSyncOperate op(&lock, 50);
    EXPECT_EQ(op.Outcome(), LockWait::TimedOut);
    EXPECT_FALSE(op.Owns());
    EXPECT_GE(clock->NowMs() - t0, 50u);
  }
  c = 'g';
  ASSERT_EQ(::write(toChild[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  CNamedMutex lock(kName);
  CSyncOperate after(&lock);
  EXPECT_EQ(after.Outcome(), LockWait::Acquired);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

TEST(NamedLock, NoLockMeansWaitFailed) {
  CSyncOperate op(nullptr);
  EXPECT_EQ(op.Outcome(), LockWait::Failed);
  EXPECT_FALSE(op.Owns());
}

}  // namespace
}  // namespace drover
