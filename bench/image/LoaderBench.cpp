// Loading speed: a full-size update file for this device, and a 16 MiB HEX text, both from
// memory and through LoadUpdateFile from a file (plain and scrambled).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "image/HexRecord.h"
#include "image/UpdateFileLoader.h"

namespace {

using namespace korvane::image;

class HexWriter {
 public:
  void Record(std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
              std::size_t count) {
    AppendHexRecord(text_, type, offset, std::span<const std::uint8_t>(data, count));
    ++records_;
  }
  void Linear(std::uint16_t page) {
    const std::uint8_t value[] = {static_cast<std::uint8_t>(page >> 8),
                                  static_cast<std::uint8_t>(page)};
    Record(4, 0, value, 2);
  }
  // Data records of 16 bytes over [first, last] of the current page, with varied bytes.
  void Fill(std::uint32_t first, std::uint32_t last) {
    std::uint8_t data[16];
    for (std::uint32_t at = first; at <= last; at += 16) {
      const std::size_t count = std::min<std::uint32_t>(16, last - at + 1);
      for (std::size_t i = 0; i < count; ++i)
        data[i] = Next();
      Record(0, static_cast<std::uint16_t>(at), data, count);
    }
  }
  void End() { Record(1, 0, nullptr, 0); }

  const std::string& Text() const { return text_; }
  std::size_t Records() const { return records_; }

 private:
  std::uint8_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state_ >> 24);
  }
  std::string text_;
  std::size_t records_ = 0;
  std::uint32_t state_ = 1;
};

// Everything this device holds: program flash from 0x800, EEPROM, CONFIG and USER ID.
void WriteFullDevice(HexWriter& hex) {
  hex.Linear(0x0000);
  hex.Fill(0x0800, 0x7FFF);
  hex.Linear(0x00F0);
  hex.Fill(0x0000, 0x00FF);
  hex.Linear(0x0030);
  hex.Fill(0x0000, 0x000D);
  hex.Linear(0x0020);
  hex.Fill(0x0000, 0x0007);
}

const HexWriter& FullSizeFile() {
  static const HexWriter hex = [] {
    HexWriter writer;
    WriteFullDevice(writer);
    writer.End();
    return writer;
  }();
  return hex;
}

const HexWriter& SixteenMiBText() {
  static const HexWriter hex = [] {
    HexWriter writer;
    while (writer.Text().size() < 16u * 1024 * 1024)
      WriteFullDevice(writer);
    writer.End();
    return writer;
  }();
  return hex;
}

void RunLoadHexText(benchmark::State& state, const HexWriter& hex) {
  auto image = std::make_unique<MemoryImage>();
  for (auto _ : state) {
    LoadReport report = LoadHexText(*image, hex.Text());
    benchmark::DoNotOptimize(report);
    benchmark::DoNotOptimize(image->FlashImage.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hex.Text().size()));
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(hex.Records()),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_LoadHexText_FullSizeFile(benchmark::State& state) {
  RunLoadHexText(state, FullSizeFile());
}
BENCHMARK(BM_LoadHexText_FullSizeFile)->Unit(benchmark::kMicrosecond);

void BM_LoadHexText_16MiB(benchmark::State& state) {
  RunLoadHexText(state, SixteenMiBText());
}
BENCHMARK(BM_LoadHexText_16MiB)->Unit(benchmark::kMillisecond);

class SilentHost : public LoaderHost {
 public:
  void ShowMessage(std::string_view) override {}
};

// LoadUpdateFile from a file on disk: reading (and for .elc, decoding) included.
void RunLoadUpdateFile(benchmark::State& state, const std::string& name, bool scrambled) {
  const HexWriter& hex = SixteenMiBText();
  const auto path = std::filesystem::temp_directory_path() /
                    ("korvane-bench-" + std::to_string(::getpid()) + "-" + name);
  {
    std::ofstream out(path, std::ios::binary);
    const std::string content = scrambled ? Scramble(hex.Text()) : hex.Text();
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  auto image = std::make_unique<MemoryImage>();
  SilentHost host;
  UpdateFileLoader loader(*image, host);
  for (auto _ : state) {
    const LoadResult result = loader.LoadUpdateFile(path.string());
    if (!result.loaded || result.report.HasProblems())
      state.SkipWithError("load failed");
    benchmark::DoNotOptimize(image->FlashImage.data());
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hex.Text().size()));
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(hex.Records()),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_LoadUpdateFile_16MiB_Hex(benchmark::State& state) {
  RunLoadUpdateFile(state, "16mib.hex", false);
}
BENCHMARK(BM_LoadUpdateFile_16MiB_Hex)->Unit(benchmark::kMillisecond);

void BM_LoadUpdateFile_16MiB_Elc(benchmark::State& state) {
  RunLoadUpdateFile(state, "16mib.elc", true);
}
BENCHMARK(BM_LoadUpdateFile_16MiB_Elc)->Unit(benchmark::kMillisecond);

}  // namespace
