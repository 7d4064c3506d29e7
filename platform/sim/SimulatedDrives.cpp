// The built-in set of simulated drives, the drive description file, and the set
// the simulated-drive build of the program runs on.
#include "platform/sim/SimulatedDrives.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iostream>
#include <optional>
#include <utility>

#include "common/System.h"
#include "common/Text.h"

namespace {

constexpr char kAbsent[] = "\x7f<absent>\x7f";
constexpr int kMaxDrives = 64;
constexpr int kMaxFaults = 32;
constexpr int kMaxReadyPolls = 1000000;
constexpr std::size_t kMaxInquirySize = 255;

std::vector<std::string> Words(const std::string& text, bool commas) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) || (commas && c == ',')) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

template <typename T>
std::optional<T> Number(const std::string& text, int base, T low, T high) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

std::optional<std::uint8_t> HexByte(std::string text) {
  if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0)) text.erase(0, 2);
  if (text.empty() || text.size() > 2) return std::nullopt;
  const auto value = Number<unsigned>(text, 16, 0, 0xFF);
  if (!value) return std::nullopt;
  return static_cast<std::uint8_t>(*value);
}

std::optional<std::vector<std::uint8_t>> HexBytes(const std::string& text, char separator = ' ') {
  std::vector<std::uint8_t> bytes;
  std::string spaced = text;
  if (separator != ' ') std::replace(spaced.begin(), spaced.end(), separator, ' ');
  for (const std::string& word : Words(spaced, false)) {
    const auto byte = HexByte(word);
    if (!byte) return std::nullopt;
    bytes.push_back(*byte);
  }
  return bytes;
}

std::optional<bool> YesNo(const std::string& text) {
  const std::string word = Lower(text);
  if (word == "yes" || word == "true" || word == "on" || word == "1") return true;
  if (word == "no" || word == "false" || word == "off" || word == "0") return false;
  return std::nullopt;
}

bool GoodName(const std::string& name) {
  return !name.empty() && name[0] != '.' && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '_' || c == '-';
  });
}

// A drive's state stays in the folder of its description: a path that starts
// elsewhere or climbs out could name any file the program may write.
bool StaysInFolder(const std::string& text) {
  return PathStaysInside(text);
}

// A drive's state is kept where its path leads with no link followed: a link on
// the way, or in its place, could lead anywhere. The reason when the path, taken
// inside `folder`, passes through a link, or is one, or cannot be checked.
std::optional<std::string> LinkOnTheWay(const std::string& folder, const std::string& text) {
  std::vector<std::string> parts;  // "a/b/c": "a/b/c", "a/b", "a"
  for (std::string part = text; !part.empty() && (parts.empty() || part != parts.back());
       part = PathParent(part)) {
    parts.push_back(part);
  }
  const std::string out = ", which may lead out of the description file's folder";
  for (std::size_t i = parts.size(); i-- > 0;) {
    std::string error;
    const bool link = NameIsLink(PathJoined(folder, parts[i]), error);
    if (!error.empty()) return "cannot be checked for links (" + error + ")";
    if (link) return (i == 0 ? "is a link" : "passes through a link") + out;
  }
  return std::nullopt;
}

std::optional<SimFault::Kind> FaultKind(const std::string& word) {
  static const std::pair<const char*, SimFault::Kind> kKinds[] = {
      {"checkcondition", SimFault::Kind::CheckCondition},
      {"transportfailure", SimFault::Kind::TransportFailure},
      {"timeout", SimFault::Kind::Timeout},
      {"flipreadbit", SimFault::Kind::FlipReadBit},
      {"dropwrite", SimFault::Kind::DropWrite},
      {"commitfailure", SimFault::Kind::CommitFailure},
      {"reply", SimFault::Kind::Reply},
      {"delay", SimFault::Kind::Delay},
  };
  const std::string lower = Lower(word);
  for (const auto& [name, kind] : kKinds)
    if (lower == name) return kind;
  return std::nullopt;
}

// "<kind> [<opcode>] [control=..] [occurrence=..] [sense=..]"; the reason when bad.
std::optional<SimFault> ParseFault(const std::string& text, std::string& why) {
  const auto bad = [&why](const std::string& reason) -> std::optional<SimFault> {
    why = reason;
    return std::nullopt;
  };
  const std::vector<std::string> words = Words(text, false);
  SimFault fault;
  const auto kind = words.empty() ? std::nullopt : FaultKind(words[0]);
  if (!kind) return bad("unknown fault kind");
  fault.What = *kind;
  std::size_t next = 1;
  if (next < words.size() && words[next].find('=') == std::string::npos) {
    const auto opcode = HexByte(words[next]);
    if (!opcode) return bad("bad opcode");
    fault.Opcode = *opcode;
    ++next;
  } else if (fault.What != SimFault::Kind::CommitFailure) {
    return bad("no opcode");
  }
  for (; next < words.size(); ++next) {
    const std::string& word = words[next];
    const std::size_t equals = word.find('=');
    const std::string key = Lower(word.substr(0, equals));
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    if (key == "control") {
      const auto control = HexByte(value);
      if (!control) return bad("bad control byte");
      fault.Control = *control;
    } else if (key == "occurrence") {
      const auto occurrence = Number<int>(value, 10, 0, 1 << 30);
      if (!occurrence) return bad("bad occurrence");
      fault.Occurrence = *occurrence;
    } else if (key == "sense") {
      const auto sense = HexBytes(value, ':');
      if (!sense || sense->size() != 3) return bad("bad sense (three hex bytes kk:aa:qq)");
      fault.Key = (*sense)[0];
      fault.Asc = (*sense)[1];
      fault.Ascq = (*sense)[2];
    } else if (key == "status") {
      const auto status = HexByte(value);
      if (!status) return bad("bad status");
      fault.Status = *status;
    } else if (key == "sensedata") {
      const auto data = HexBytes(value, ':');
      if (!data || data->size() > CommandResult::kSenseCapacity)
        return bad("bad sense data (at most 32 hex bytes xx:xx:..)");
      std::copy(data->begin(), data->end(), fault.SenseData.begin());
      fault.SenseLength = static_cast<std::uint8_t>(data->size());
    } else if (key == "ms") {
      const auto milliseconds = Number<int>(value, 10, 0, 600000);
      if (!milliseconds) return bad("bad delay (0 to 600000 ms)");
      fault.Milliseconds = *milliseconds;
    } else if (key == "residual") {
      const auto residual = Number<int>(value, 10, 0, 1 << 24);
      if (!residual) return bad("bad residual");
      fault.Residual = *residual;
    } else {
      return bad("unknown setting \"" + word + "\"");
    }
  }
  return fault;
}

// Reads one drive section; false with the reason in error.
class DriveSection {
 public:
  DriveSection(IniReader& reader, const std::string& path, const std::string& name)
      : reader_(reader), path_(path), name_(name) {}

  std::optional<std::string> Value(const std::string& key) {
    std::string value = reader_.ReadString(name_, key, kAbsent);
    if (value == kAbsent) return std::nullopt;
    return value;
  }
  bool Bad(const std::string& key, const std::string& value, const std::string& why, std::string& error) {
    error = EscapedText(path_) + ": [" + EscapedText(name_) + "] " + key + " = \"" + EscapedText(value) +
            "\": " + why;
    return false;
  }

  bool Read(int position, SimDriveConfig& config, std::string& error);

 private:
  IniReader& reader_;
  const std::string& path_;
  const std::string& name_;
};

bool DriveSection::Read(int position, SimDriveConfig& config, std::string& error) {
  config.Name = name_;
  config.Letter = static_cast<char>('D' + std::min(position, 'Z' - 'D'));
  config.HaId = 0;
  config.Target = static_cast<std::uint8_t>(std::min(position, 255));
  config.Lun = 0;
  config.StateFile = PathJoined(PathParent(path_), name_ + kSimStateExtension);

  if (auto value = Value("letter")) {
    if (value->empty()) {
      config.Letter = ' ';
    } else if (value->size() == 1 && std::isalpha(static_cast<unsigned char>((*value)[0]))) {
      config.Letter = static_cast<char>(std::toupper(static_cast<unsigned char>((*value)[0])));
    } else {
      return Bad("letter", *value, "not one letter", error);
    }
  }
  if (auto value = Value("address")) {
    std::string spaced = *value;
    std::replace(spaced.begin(), spaced.end(), ':', ' ');
    const std::vector<std::string> parts = Words(spaced, false);
    std::optional<unsigned> numbers[3];
    if (parts.size() == 3)
      for (std::size_t i = 0; i < 3; ++i) numbers[i] = Number<unsigned>(parts[i], 10, 0, 255);
    if (!numbers[0] || !numbers[1] || !numbers[2] || std::count(value->begin(), value->end(), ':') != 2)
      return Bad("address", *value, "not host:target:lun, each 0-255", error);
    config.HaId = static_cast<std::uint8_t>(*numbers[0]);
    config.Target = static_cast<std::uint8_t>(*numbers[1]);
    config.Lun = static_cast<std::uint8_t>(*numbers[2]);
  }
  const std::pair<const char*, std::pair<std::string*, std::size_t>> texts[] = {
      {"vendor", {&config.Vendor, 8}},
      {"product", {&config.Product, 16}},
      {"revision", {&config.Revision, 4}}};
  for (const auto& [key, field] : texts) {
    if (auto value = Value(key)) {
      if (value->size() > field.second)
        return Bad(key, *value, "longer than " + std::to_string(field.second) + " characters", error);
      *field.first = *value;
    }
  }
  if (auto value = Value("inquiry")) {
    const auto bytes = HexBytes(*value);
    if (!bytes || bytes->size() > kMaxInquirySize)
      return Bad("inquiry", *value, "not up to 255 hex bytes", error);
    config.InquiryData = *bytes;
  }
  if (auto value = Value("flashid")) {
    const auto bytes = HexBytes(*value);
    if (!bytes || bytes->size() != 2) return Bad("flashid", *value, "not two hex bytes", error);
    config.FlashManufacturer = (*bytes)[0];
    config.FlashDevice = (*bytes)[1];
  }
  if (auto value = Value("variant")) {
    const auto bytes = HexBytes(*value);
    if (!bytes || bytes->size() != 2) return Bad("variant", *value, "not two hex bytes", error);
    config.Variant[0] = (*bytes)[0];
    config.Variant[1] = (*bytes)[1];
  }
  if (auto value = Value("readypolls")) {
    const auto polls = Number<int>(*value, 10, -1, kMaxReadyPolls);
    if (!polls) return Bad("readypolls", *value, "not a number from -1 to 1000000", error);
    config.BecomingReadyPolls = *polls;
  }
  const std::pair<const char*, bool*> flags[] = {
      {"openfails", &config.OpenFails}, {"inquiryfails", &config.InquiryFails}, {"held", &config.Held}};
  for (const auto& [key, flag] : flags) {
    if (auto value = Value(key)) {
      const auto yes = YesNo(*value);
      if (!yes) return Bad(key, *value, "not yes or no", error);
      *flag = *yes;
    }
  }
  if (auto value = Value("openerror")) {
    const auto number = Number<std::uint32_t>(*value, 10, 1, 4095);
    if (!number) return Bad("openerror", *value, "not an error number from 1 to 4095", error);
    config.OpenError = *number;
  }
  if (auto value = Value("state")) {
    if (value->empty()) return Bad("state", *value, "empty", error);
    if (!StaysInFolder(*value)) return Bad("state", *value, "outside the description file's folder", error);
    if (auto link = LinkOnTheWay(PathParent(path_), *value)) return Bad("state", *value, *link, error);
    config.StateFile = PathJoined(PathParent(path_), *value);
  }
  for (int i = 1; i <= kMaxFaults; ++i) {
    const std::string key = "fault" + std::to_string(i);
    if (auto value = Value(key)) {
      std::string why;
      const auto fault = ParseFault(*value, why);
      if (!fault) return Bad(key, *value, why, error);
      config.Faults.push_back(*fault);
    }
  }
  return true;
}

bool KeepStates(SimulatedTransport& drives, std::string& error) {
  for (std::size_t i = 0; i < drives.Size(); ++i) {
    SimulatedDrive& drive = drives.Drive(i);
    // Made absolute now: the program may change its working directory later.
    std::string path, why;
    if (!AbsolutePath(drive.Config().StateFile, path, why)) {
      error = drive.Config().StateFile + ": " + why;
      return false;
    }
    if (!drive.UseStateFile(path, error)) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<SimulatedTransport> MakeDefaultSimulatedDrives() {
  auto drives = std::make_unique<SimulatedTransport>();
  SimDriveConfig cdrw;
  cdrw.Name = "cdrw";
  cdrw.Letter = 'D';
  cdrw.Vendor = "QVXR";
  cdrw.Product = "CRW-5224A";
  cdrw.Revision = "1000";
  cdrw.FlashManufacturer = 0xBF;
  cdrw.FlashDevice = 0xD6;
  cdrw.Variant[0] = 0x00;
  cdrw.Variant[1] = 0x01;
  cdrw.StateFile = cdrw.Name + kSimStateExtension;
  drives->Add(cdrw);

  SimDriveConfig dvd;
  dvd.Name = "dvdrom";
  dvd.Letter = 'E';
  dvd.Target = 1;
  dvd.Vendor = "QVXR";
  dvd.Product = "DVD-ROM 16X";
  dvd.Revision = "0103";
  dvd.FlashManufacturer = 0xDA;
  dvd.FlashDevice = 0xB5;
  dvd.Variant[0] = 0x00;
  dvd.Variant[1] = 0x02;
  dvd.StateFile = dvd.Name + kSimStateExtension;
  drives->Add(dvd);
  return drives;
}

std::unique_ptr<SimulatedTransport> LoadSimulatedDrives(const std::string& descriptionPath, IniReader& reader,
                                                        std::string& error) {
  if (!reader.Open(descriptionPath)) {
    error = descriptionPath + ": cannot be read";
    return nullptr;
  }
  struct Closer {
    IniReader& reader;
    ~Closer() { reader.Close(); }
  } closer{reader};

  const std::string list = reader.ReadString("drives", "list", kAbsent);
  if (list == kAbsent) {
    error = descriptionPath + ": no [drives] list";
    return nullptr;
  }
  const std::vector<std::string> names = Words(list, true);
  if (names.size() > kMaxDrives) {
    error = descriptionPath + ": more than " + std::to_string(kMaxDrives) + " drives";
    return nullptr;
  }
  auto drives = std::make_unique<SimulatedTransport>();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (!GoodName(name)) {
      error = descriptionPath + ": [drives] list: bad drive name \"" + EscapedText(name) + "\"";
      return nullptr;
    }
    const bool twice = std::any_of(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i),
                                   [&](const std::string& other) { return Lower(other) == Lower(name); });
    if (twice) {
      error = descriptionPath + ": [drives] list: drive \"" + EscapedText(name) + "\" named twice";
      return nullptr;
    }
    SimDriveConfig config;
    if (!DriveSection(reader, descriptionPath, name).Read(static_cast<int>(i), config, error)) return nullptr;
    drives->Add(std::move(config));
  }
  return drives;
}

std::unique_ptr<SimulatedTransport> LoadSimulatedDrives(const std::string& descriptionPath,
                                                        IniReader& reader) {
  std::string ignored;
  return LoadSimulatedDrives(descriptionPath, reader, ignored);
}

std::unique_ptr<SimulatedTransport> MakeProgramSimulatedDrives(const std::string& programFilePath,
                                                               IniReaderFactory readers, std::string& error) {
  const std::string candidates[] = {kSimDrivesFileName,
                                    PathJoined(PathParent(programFilePath), kSimDrivesFileName)};
  for (const std::string& candidate : candidates) {
    if (KindOfFile(candidate) != FileKind::Regular) continue;
    std::unique_ptr<IniReader> reader = readers ? readers() : nullptr;
    if (!reader) {
      error = candidate + ": no INI reader to read it with";
      return nullptr;
    }
    auto drives = LoadSimulatedDrives(candidate, *reader, error);
    if (!drives || !KeepStates(*drives, error)) return nullptr;
    return drives;
  }
  auto drives = MakeDefaultSimulatedDrives();
  if (!KeepStates(*drives, error)) return nullptr;
  return drives;
}

std::unique_ptr<SimulatedTransport> MakeProgramSimulatedDrives(const std::string& programFilePath,
                                                               IniReaderFactory readers) {
  std::string error;
  auto drives = MakeProgramSimulatedDrives(programFilePath, std::move(readers), error);
  if (!drives) std::cerr << "Simulated drives: " << error << '\n';
  return drives;
}
