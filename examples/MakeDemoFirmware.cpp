// Writes the demo firmware of examples/: a few KiB of PIC18 code from 0x800 and some EEPROM
// bytes as Intel HEX (demo-firmware.hex, CR LF line ends) and the same text scrambled
// (demo-firmware.elc).
//
//   korvane-make-demo-firmware <folder>          writes both files into the folder
//   korvane-make-demo-firmware --check <folder>  exits 1 when the files there differ

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/HexRecord.h"
#include "image/UpdateFileLoader.h"

namespace {

// PIC18 instruction words (stored low byte first).
using Words = std::vector<std::uint16_t>;

// Special function registers in the access bank (low byte of their address).
constexpr std::uint8_t kPortB = 0x81, kLatB = 0x8A, kLatC = 0x8B, kTrisB = 0x93, kTrisC = 0x94,
                       kAdcon1 = 0xC1, kT0Con = 0xD5, kTmr0L = 0xD6, kIntCon = 0xF2, kWreg = 0xE8;

std::uint16_t Movlw(std::uint8_t k) {
  return static_cast<std::uint16_t>(0x0E00 | k);
}
std::uint16_t Movwf(std::uint8_t f) {
  return static_cast<std::uint16_t>(0x6E00 | f);
}
std::uint16_t Clrf(std::uint8_t f) {
  return static_cast<std::uint16_t>(0x6A00 | f);
}
std::uint16_t Bsf(std::uint8_t f, int bit) {
  return static_cast<std::uint16_t>(0x8000 | bit << 9 | f);
}
std::uint16_t Bcf(std::uint8_t f, int bit) {
  return static_cast<std::uint16_t>(0x9000 | bit << 9 | f);
}
std::uint16_t Btfss(std::uint8_t f, int bit) {
  return static_cast<std::uint16_t>(0xA000 | bit << 9 | f);
}
std::uint16_t Btfsc(std::uint8_t f, int bit) {
  return static_cast<std::uint16_t>(0xB000 | bit << 9 | f);
}
std::uint16_t Movf(std::uint8_t f, int toFile) {
  return static_cast<std::uint16_t>(0x5000 | toFile << 9 | f);
}
std::uint16_t Addwf(std::uint8_t f, int toFile) {
  return static_cast<std::uint16_t>(0x2400 | toFile << 9 | f);
}
std::uint16_t Incf(std::uint8_t f, int toFile) {
  return static_cast<std::uint16_t>(0x2800 | toFile << 9 | f);
}
std::uint16_t Decfsz(std::uint8_t f) {
  return static_cast<std::uint16_t>(0x2E00 | f);
}
std::uint16_t Bra(int words) {
  return static_cast<std::uint16_t>(0xD000 | (words & 0x7FF));
}
constexpr std::uint16_t kNop = 0x0000, kReturn = 0x0012, kRetfie = 0x0010, kRetfieFast = 0x0011;

void Goto(Words& code, std::uint32_t byteAddress) {
  const std::uint32_t k = byteAddress / 2;
  code.push_back(static_cast<std::uint16_t>(0xEF00 | (k & 0xFF)));
  code.push_back(static_cast<std::uint16_t>(0xF000 | ((k >> 8) & 0xFFF)));
}
void Call(Words& code, std::uint32_t byteAddress) {
  const std::uint32_t k = byteAddress / 2;
  code.push_back(static_cast<std::uint16_t>(0xEC00 | (k & 0xFF)));
  code.push_back(static_cast<std::uint16_t>(0xF000 | ((k >> 8) & 0xFFF)));
}

// A fixed pseudo-random sequence, so the output never changes.
class Sequence {
 public:
  std::uint32_t Next(std::uint32_t below) {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 16) % below;
  }

 private:
  std::uint32_t state_ = 0x4B56;
};

// One subroutine of ordinary-looking register work, ending in RETURN.
Words Subroutine(Sequence& random) {
  Words code;
  const std::uint32_t length = 24 + random.Next(40);
  while (code.size() < length) {
    const std::uint8_t variable = static_cast<std::uint8_t>(random.Next(0x60));
    switch (random.Next(9)) {
      case 0:
        code.push_back(Movlw(static_cast<std::uint8_t>(random.Next(256))));
        code.push_back(Movwf(variable));
        break;
      case 1:
        code.push_back(Movf(variable, 0));
        code.push_back(Addwf(static_cast<std::uint8_t>(random.Next(0x60)), 1));
        break;
      case 2:
        code.push_back(Btfsc(kPortB, static_cast<int>(random.Next(8))));
        code.push_back(Bsf(kLatC, static_cast<int>(random.Next(8))));
        break;
      case 3:
        code.push_back(Btfss(variable, static_cast<int>(random.Next(8))));
        code.push_back(Bcf(kLatB, static_cast<int>(random.Next(8))));
        break;
      case 4:  // a short delay loop
        code.push_back(Movlw(static_cast<std::uint8_t>(1 + random.Next(255))));
        code.push_back(Movwf(variable));
        code.push_back(Decfsz(variable));
        code.push_back(Bra(-2));
        break;
      case 5:
        code.push_back(Incf(variable, 1));
        break;
      case 6:
        code.push_back(Clrf(variable));
        break;
      case 7:
        code.push_back(Movf(kTmr0L, 0));
        code.push_back(Movwf(variable));
        break;
      default:
        code.push_back(kNop);
        break;
    }
  }
  code.push_back(kReturn);
  return code;
}

std::vector<std::uint8_t> ProgramBytes() {
  constexpr std::uint32_t kStart = 0x800, kMain = 0x840, kFirstRoutine = 0x900;
  Sequence random;
  std::vector<Words> routines;
  for (int i = 0; i < 36; ++i)
    routines.push_back(Subroutine(random));

  Words code;
  Goto(code, kMain);  // reset vector at 0x800
  while (code.size() < 4)
    code.push_back(kNop);
  code.push_back(kRetfieFast);  // high-priority interrupt at 0x808
  while (code.size() < 12)
    code.push_back(kNop);
  code.push_back(kRetfie);  // low-priority interrupt at 0x818
  while (code.size() < (kMain - kStart) / 2)
    code.push_back(kNop);

  // main: ports, timer 0, then call every routine for ever.
  for (const std::uint16_t word :
       {Clrf(kLatB), Clrf(kLatC), Movlw(0x0F), Movwf(kAdcon1), Movlw(0xF0), Movwf(kTrisB),
        Clrf(kTrisC), Movlw(0x87), Movwf(kT0Con), Bcf(kIntCon, 7), Clrf(kWreg)})
    code.push_back(word);
  const std::size_t loop = code.size();
  std::uint32_t address = kFirstRoutine;
  for (const Words& routine : routines) {
    Call(code, address);
    address += static_cast<std::uint32_t>(routine.size() * 2);
  }
  code.push_back(Bra(static_cast<int>(loop) - static_cast<int>(code.size()) - 1));
  while (code.size() < (kFirstRoutine - kStart) / 2)
    code.push_back(kNop);
  for (const Words& routine : routines)
    code.insert(code.end(), routine.begin(), routine.end());

  std::vector<std::uint8_t> bytes;
  for (const std::uint16_t word : code) {
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
  }
  // The version string, as the firmware shows it.
  for (const char c : std::string_view("Korvane demo firmware 1.0"))
    bytes.push_back(static_cast<std::uint8_t>(c));
  bytes.push_back(0);
  return bytes;
}

std::vector<std::uint8_t> EepromBytes() {
  std::vector<std::uint8_t> bytes = {'K', 'V', 0x01, 0x00, 0x20, 0x26, 0x12, 0x07};
  for (int i = 0; i < 24; ++i)
    bytes.push_back(static_cast<std::uint8_t>(0x80 + i * 5));  // a table
  return bytes;
}

void AddRecord(std::string& text, std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
               std::size_t count) {
  korvane::image::AppendHexRecord(text, type, offset, std::span<const std::uint8_t>(data, count));
}

void AddData(std::string& text, std::uint16_t start, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    const std::size_t count = std::min<std::size_t>(16, bytes.size() - at);
    AddRecord(text, 0, static_cast<std::uint16_t>(start + at), bytes.data() + at, count);
  }
}

std::string DemoHexText() {
  std::string text;
  const std::uint8_t page0[] = {0x00, 0x00}, eepromPage[] = {0x00, 0xF0};
  AddRecord(text, 4, 0, page0, 2);
  AddData(text, 0x0800, ProgramBytes());
  AddRecord(text, 4, 0, eepromPage, 2);
  AddData(text, 0x0000, EepromBytes());
  AddRecord(text, 1, 0, nullptr, 0);
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::string_view(argv[1]) == "--check";
  if (argc != 2 && !check) {
    std::fprintf(stderr, "usage: %s [--check] <folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[argc - 1];
  const std::string hex = DemoHexText();
  const std::string elc = korvane::image::Scramble(hex);
  const std::string hexPath = folder + "/demo-firmware.hex",
                    elcPath = folder + "/demo-firmware.elc";
  if (check) {
    const bool same = ReadFile(hexPath) == hex && ReadFile(elcPath) == elc;
    if (!same)
      std::fprintf(stderr, "%s: demo firmware differs from what this program makes\n",
                   folder.c_str());
    return same ? 0 : 1;
  }
  if (!WriteFile(hexPath, hex) || !WriteFile(elcPath, elc)) {
    std::fprintf(stderr, "cannot write the demo firmware into %s\n", folder.c_str());
    return 1;
  }
  return 0;
}
