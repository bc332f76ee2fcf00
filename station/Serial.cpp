#include "station/Serial.h"

#include <charconv>
#include <limits>

#include "platform/Files.h"
#include "platform/Hex.h"
#include "station/Session.h"

namespace korvane::station {

namespace {

constexpr auto kApplicationStart = static_cast<std::uint32_t>(image::kApplicationStart);
constexpr std::uint32_t kEepromBase = kSerialEepromBase;

unsigned MaxBytes(SerialFormat format) {
  return format == SerialFormat::Ascii ? 20 : 8;
}

std::string Hex(std::uint32_t value) {
  return platform::HexNumber(value);
}

std::uint64_t ReadNumber(const std::string& file) {
  std::string text;
  try {
    text = platform::ReadFile(file);
  } catch (const platform::FileError& e) {
    throw StationError(Verdict::FileProblem, std::string("the serial number file: ") + e.what());
  }
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  const std::string_view digits = first == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(text).substr(first, last - first + 1);
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
      number == std::numeric_limits<std::uint64_t>::max()) {
    throw StationError(Verdict::FileProblem,
                       "the serial number file " + file + " does not hold a decimal number");
  }
  return number;
}

std::string DoesNotFit(const SerialPlan& plan, std::uint64_t number) {
  return "the serial number " + std::to_string(number) + " from " + plan.file +
         " does not fit in " + SerialSize(plan);
}

}  // namespace

std::string SerialSize(const SerialPlan& plan) {
  const bool ascii = plan.format == SerialFormat::Ascii;
  return std::to_string(plan.bytes) + (ascii ? " digit" : " byte") + (plan.bytes == 1 ? "" : "s");
}

bool SerialFits(const SerialPlan& plan, std::uint64_t number) {
  if (plan.format == SerialFormat::Ascii) {
    return std::to_string(number).size() <= plan.bytes;
  }
  return plan.bytes >= 8 || number < (std::uint64_t{1} << (8 * plan.bytes));
}

std::optional<SerialFormat> ParseSerialFormat(std::string_view text) {
  if (text == "le") {
    return SerialFormat::LittleEndian;
  }
  if (text == "be") {
    return SerialFormat::BigEndian;
  }
  if (text == "ascii") {
    return SerialFormat::Ascii;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ParseSerialAddress(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() > 1 && text[0] == '0') {
    return std::nullopt;  // 04000 is not taken for octal, nor for decimal
  }
  std::uint32_t address = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), address, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return address;
}

void CheckSerialPlan(const SerialPlan& plan, const image::MemoryImage& image, bool flash,
                     bool eeprom) {
  if (plan.bytes < 1 || plan.bytes > MaxBytes(plan.format)) {
    throw StationError(Verdict::Usage, Problem::SerialBytes,
                       "a serial number of this format takes 1 to " +
                           std::to_string(MaxBytes(plan.format)) + " bytes",
                       {}, {}, MaxBytes(plan.format));
  }
  const std::uint64_t last = std::uint64_t{plan.address} + plan.bytes - 1;
  const auto highest = static_cast<std::uint64_t>(image.HighestFlashAddress);
  const bool inFlash =
      flash && plan.address >= kApplicationStart && last <= highest && last < image::kFlashSize;
  const bool inEeprom =
      eeprom && plan.address >= kEepromBase && last < kEepromBase + image::kEepromSize;
  if (!inFlash && !inEeprom) {
    const std::string highest =
        Hex(static_cast<std::uint32_t>(std::max<std::int32_t>(image.HighestFlashAddress, 0)));
    throw StationError(Verdict::Usage, Problem::SerialOutside,
                       "the serial number at " + Hex(plan.address) +
                           " must lie in what the "
                           "update writes: program flash from 0x800 to " +
                           highest + ", or the EEPROM at 0xF00000 to 0xF000FF",
                       Hex(plan.address), highest, plan.bytes, flash);
  }
  if (plan.file.empty()) {
    return;
  }
  const std::uint64_t next = ReadNumber(plan.file);
  if (!SerialFits(plan, next)) {
    throw StationError(Verdict::Usage, DoesNotFit(plan, next));
  }
}

std::uint64_t ClaimSerial(const SerialPlan& plan) {
  try {
    const platform::FileLock lock = platform::FileLock::Lock(plan.file + ".lock");
    const std::uint64_t number = ReadNumber(plan.file);
    if (!SerialFits(plan, number)) {
      throw StationError(Verdict::FileProblem, DoesNotFit(plan, number));
    }
    platform::WriteFileAtomically(plan.file, std::to_string(number + 1) + "\n",
                                  platform::Replace::Allowed);
    return number;
  } catch (const platform::FileError& e) {
    throw StationError(Verdict::FileProblem, std::string("the serial number file: ") + e.what());
  }
}

void PlaceSerial(image::MemoryImage& image, const SerialPlan& plan, std::uint64_t number) {
  std::string bytes(plan.bytes, '\0');
  switch (plan.format) {
    case SerialFormat::LittleEndian:
      for (unsigned i = 0; i < plan.bytes; ++i) {
        bytes[i] = static_cast<char>(number >> (8 * i));
      }
      break;
    case SerialFormat::BigEndian:
      for (unsigned i = 0; i < plan.bytes; ++i) {
        bytes[plan.bytes - 1 - i] = static_cast<char>(number >> (8 * i));
      }
      break;
    case SerialFormat::Ascii: {
      const std::string digits = std::to_string(number);
      bytes = std::string(plan.bytes - digits.size(), '0') + digits;
      break;
    }
  }
  PlaceSerialBytes(image, plan,
                   std::span<const std::uint8_t>(
                       reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void PlaceSerialBytes(image::MemoryImage& image, const SerialPlan& plan,
                      std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size() && i < plan.bytes; ++i) {
    const std::uint32_t address = plan.address + static_cast<std::uint32_t>(i);
    if (address >= kEepromBase) {
      image.EepromImage[address - kEepromBase] = bytes[i];
    } else {
      image.FlashImage[address] = bytes[i];
    }
  }
}

std::optional<std::uint64_t> ReadSerial(const SerialPlan& plan,
                                        std::span<const std::uint8_t> bytes) {
  if (bytes.size() < plan.bytes) {
    return std::nullopt;
  }
  bytes = bytes.first(plan.bytes);
  std::uint64_t number = 0;
  switch (plan.format) {
    case SerialFormat::LittleEndian:
      for (std::size_t i = bytes.size(); i-- > 0;) {
        number = number << 8 | bytes[i];
      }
      return number;
    case SerialFormat::BigEndian:
      for (const std::uint8_t byte : bytes) {
        number = number << 8 | byte;
      }
      return number;
    case SerialFormat::Ascii: {
      const std::string_view digits(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), number);
      if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
          digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
      }
      return number;
    }
  }
  return std::nullopt;
}

}  // namespace korvane::station
