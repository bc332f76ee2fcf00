#pragma once

#include <ostream>
#include <string>

#include "cli/DeviceSession.h"
#include "image/UpdateFileLoader.h"

namespace korvane::cli {

// Where a command writes: standard output, standard error, and whether standard output is a
// terminal (progress bar) or not (plain lines).
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;
};

struct ExportTargets {
  std::string flash;
  std::string eeprom;
  std::string userId;
  std::string config;
};

struct UpdateChoices {
  bool noFlash = false;
  bool eeprom = false;
  bool reset = false;
  bool all = false;        // every attached device at once
  bool repeat = false;     // the production loop (with --wait)
  std::string backupFile;  // read the device into this file before the first erase
  bool json = false;
};

// Each returns the exit code; problems that end a command early are thrown as CliError.
int InfoCommand(const std::string& file, bool json, Console& console);
int ExportCommand(const std::string& file, const ExportTargets& targets, Console& console);
int ScrambleCommand(const std::string& in, const std::string& out, Console& console);
int DetectCommand(const DeviceOptions& device, bool json, Console& console);
int UpdateCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console);
int ResetCommand(const DeviceOptions& device, Console& console);
int BackupCommand(const std::string& file, const DeviceOptions& device, Console& console);
int ListCommand(const DeviceOptions& device, bool json, Console& console);

// The text output of `info` and its one-object JSON form.
std::string InfoText(const std::string& file, const image::MemoryImage& image,
                     const image::LoadReport& report);
std::string InfoJson(const std::string& file, const image::MemoryImage& image,
                     const image::LoadReport& report);

}  // namespace korvane::cli
