// A flash program's window on one simulated drive, set up the way the program
// starts: warning answered Yes, drive list built, transfer buffer registered,
// image checked, first drive selected. Shared by the update tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/SimulatedDrive.h"
#include "tests/Support.h"

enum class Scheme { None, ShortHeader, LongHeader };

inline const char* SchemeName(Scheme s) {
  switch (s) {
    case Scheme::None:
      return "no profile";
    case Scheme::ShortHeader:
      return "short header";
    case Scheme::LongHeader:
      return "long header";
  }
  return "?";
}

// A firmware image of the given size: no byte equal to zero, no format marker,
// and the revision tag the simulated drive reads after a commit ("SIMREV=2000").
inline std::vector<std::uint8_t> MakeImage(std::uint32_t size, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> image(size);
  std::uint32_t state = 0x12345u + seed;
  for (auto& b : image) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>((state >> 16) % 255 + 1);
  }
  auto put = [&](std::uint32_t at, const char* bytes, std::size_t n) {
    if (at + n <= size) std::memcpy(image.data() + at, bytes, n);
  };
  for (std::uint32_t at : {0x1100u, 0x4000u, 0x4008u, 0x14000u}) put(at, "\x01\x01", 2);
  put(0x40, "SIMREV=2000", 11);
  return image;
}

// The rest of the image area holds what the template left there: a pattern of its
// own, so chunks that reach past the image are told apart from zeros.
inline void FillAreaBehind(FlashPackage& package, std::uint32_t size) {
  for (std::uint32_t i = size; i < kImageAreaSize; ++i) {
    package.ImageArea[i] = static_cast<std::uint8_t>(0xA5 ^ (i >> 3));
  }
}

// Bytes as the tables write them: "3B 05 01".
inline std::string HexBytes(const std::uint8_t* bytes, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (i > 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// The ways a command fails, with the sense text the drive holds afterwards. A
// transport failure and a time-out leave no sense data: the sense bytes alone
// would call them successes.
struct FailureKind {
  const char* name;
  SimFault::Kind kind;
  const char* sense;
};

inline const FailureKind kFailureKinds[] = {
    {"check condition", SimFault::Kind::CheckCondition, "04 44 00. 02, 0000"},
    {"transport failure", SimFault::Kind::TransportFailure, "00 00 00. 00, 0005"},
    {"time-out", SimFault::Kind::Timeout, "00 00 00. 00, 006E"},
};

struct UpdateRig {
  SimulatedTransport Sim;
  SimulatedDrive* Drive = nullptr;
  std::unique_ptr<FormFixture> F;

  explicit UpdateRig(std::unique_ptr<FlashPackage> package, SimDriveConfig config = {}) {
    Drive = &Sim.Add(std::move(config));
    Cddrive::InstallTransport(&Sim);
    Cddrive::ResetUnit();
    F = std::make_unique<FormFixture>(std::move(package));
    F->Ui.Answers = {DialogResult::Yes};
    F->Create();
    Drive->ClearLog();
  }
  ~UpdateRig() {
    F.reset();
    Cddrive::InstallTransport(nullptr);
    Cddrive::ResetUnit();
  }
  UpdateRig(const UpdateRig&) = delete;
  UpdateRig& operator=(const UpdateRig&) = delete;

  TFlashForm& Form() { return *F->Form; }
  RecordingToolkit& Ui() { return F->Ui; }
  const FlashPackage& Package() { return *F->PackageStore; }

  // The user presses FLASH and answers the question.
  void PressFlash(DialogResult answer = DialogResult::Yes) {
    Ui().Answers = {answer};
    Ui().UserPressesButton();
  }
};

// A flash program for the rig's default drive: an image of the given size, the
// area behind it filled, and the format marker of the scheme in the area.
inline std::unique_ptr<FlashPackage> SchemePackage(std::uint32_t size, Scheme scheme,
                                                   const PackageFields& fields = {}, std::uint8_t seed = 1) {
  auto package = MakeFlasherPackage(fields, MakeImage(size, seed));
  FillAreaBehind(*package, size);
  if (scheme == Scheme::ShortHeader) std::memcpy(package->ImageArea + 0x1100, "\x05\x80", 2);
  if (scheme == Scheme::LongHeader) {
    std::memcpy(package->ImageArea + 0x14000, "\x05\x80", 2);
    std::memcpy(package->ImageArea + 0x14010, "COMBO", 5);
  }
  return package;
}
