// A command that succeeds allocates nothing on the heap: the request lives in the
// drive object and every data phase uses the window's transfer buffer. Counted
// with a replaced global operator new, in an executable of its own so that the
// count sees nothing of the other tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "tests/UpdateRig.h"

namespace {
std::atomic<long> gAllocations{0};

void* Allocate(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

long AllocationsDuring(const std::function<bool()>& command, bool& ok) {
  const long before = gAllocations.load();
  ok = command();
  return gAllocations.load() - before;
}

TEST(CommandAllocations, SuccessfulCommandsAllocateNothing) {
  for (const Scheme scheme : {Scheme::ShortHeader, Scheme::LongHeader}) {
    SCOPED_TRACE(SchemeName(scheme));
    UpdateRig rig(SchemePackage(16384, scheme));
    rig.Drive->SetRecording(false);  // the drive's own log is no part of the program
    TFlashForm& form = rig.Form();
    TCdDrive& drive = *form.Drive;
    std::vector<std::uint8_t> chunk(16384, 0x5A);
    std::vector<std::uint8_t> block(16384);

    const struct {
      const char* name;
      std::function<bool()> command;
    } commands[] = {
        {"image chunk", [&] { return form.WriteBuffer(0x4000, chunk.data(), 16384, 0x00); }},
        {"read back", [&] { return form.ReadBuffer(0x4000, chunk.data(), 16384); }},
        {"profile", [&] { return form.SetupFlashProfile(block.data()); }},
        {"profile check", [&] { return form.ReadVerifyProfile(block.data()); }},
        {"entry critical", [&] { return form.EntryCritical(); }},
        {"commit", [&] { return form.WriteBuffer(0, nullptr, 0, 0x80); }},
        {"TEST UNIT READY", [&] { return drive.ExecuteCommand(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0); }},
    };
    for (const auto& c : commands) {
      SCOPED_TRACE(c.name);
      bool ok = false;
      const long allocations = AllocationsDuring(c.command, ok);
      EXPECT_TRUE(ok);
      EXPECT_EQ(allocations, 0);
    }
    EXPECT_TRUE(rig.Ui().Messages.empty());
  }
}

TEST(CommandAllocations, TheCounterSeesAllocations) {
  bool ok = false;
  const long allocations = AllocationsDuring(
      [] {
        auto* p = new std::vector<int>(100);
        const bool filled = p->size() == 100;
        delete p;
        return filled;
      },
      ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(allocations, 2);
}

}  // namespace
