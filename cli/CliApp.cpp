#include "cli/CliApp.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/Commands.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace korvane::cli {

namespace {

constexpr const char* kExitCodesText =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the update failed (verify mismatch, interrupted, a failed or short exchange)\n"
    "  2  usage error\n"
    "  3  no device answered (detect without a reply; update or reset with no device\n"
    "     attached for the first packet)\n"
    "  4  a file could not be read or holds no data (or an output file could not be\n"
    "     written)\n";

constexpr const char* kExamplesText =
    "\nExamples:\n"
    "  korvane-cli info firmware.hex --json\n"
    "  korvane-cli export firmware.elc --flash flash.bin --eeprom eeprom.bin\n"
    "  korvane-cli detect\n"
    "  korvane-cli update firmware.hex --eeprom --reset\n"
    "  korvane-cli update firmware.hex --emulated --emulated-state device/ --trace packets.txt\n";

constexpr const char* kTraceText =
    "Write one line per packet to FILE: the request bytes in upper-case hex separated by blanks, "
    "\" -> \", the reply bytes the same way, then the exchange result in brackets, for example "
    "\"03 01 00 08 00 -> 03 [1]\" (0 failed, 1 complete, 2 short; with nothing received: "
    "\"FF 02 -> [1]\"). A packet that could not be sent reads \"00 02 -> not sent\".";

void AddDeviceOptions(CLI::App& command, DeviceOptions& device) {
  command.add_flag("--emulated", device.emulated,
                   "Talk to the built-in emulated device instead of USB (no timing model)");
  command.add_flag("--emulated-timing", device.emulatedTiming,
                   "Like --emulated, with the USB and flash timing model on");
  command
      .add_option("--emulated-state", device.stateDir,
                  "Load the emulated device's memory from DIR/flash.bin and DIR/eeprom.bin "
                  "when they exist and save it there when the command ends")
      ->type_name("DIR");
  command
      .add_option("--fault", device.faults,
                  "Emulated device only, repeatable: inject a fault at packet N (0-based, every "
                  "packet the command tries to send counts). KIND: timeout, short, long-count, "
                  "bitflip, unplug, open-fail, write-error")
      ->type_name("KIND@N")
      ->allow_extra_args(false);
  command.add_option("--trace", device.traceFile, kTraceText)->type_name("FILE");
}

}  // namespace

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal) {
  CLI::App app{"korvane-cli: firmware updater for PIC18 devices with a resident USB bootloader",
               "korvane-cli"};
  app.set_version_flag("--version", std::string("korvane-cli ") + KORVANE_VERSION);
  app.footer(kExitCodesText);
  app.require_subcommand(1);

  std::function<int(Console&)> action;

  std::string file;
  bool json = false;
  auto* info = app.add_subcommand("info", "Load an update file and print what it holds");
  info->add_option("FILE", file, "Update file (.hex plain, any other name scrambled)")->required();
  info->add_flag("--json", json, "Print one JSON object instead of text");
  info->callback([&] { action = [&](Console& c) { return InfoCommand(file, json, c); }; });

  ExportTargets targets;
  auto* exportCommand = app.add_subcommand(
      "export", "Write the loaded memory regions as raw binary files (32768, 256, 8, 16 bytes)");
  exportCommand->add_option("FILE", file, "Update file")->required();
  exportCommand->add_option("--flash", targets.flash, "Program flash image (32768 bytes)")
      ->type_name("F");
  exportCommand->add_option("--eeprom", targets.eeprom, "Data EEPROM image (256 bytes)")
      ->type_name("F");
  exportCommand->add_option("--userid", targets.userId, "USER ID image (8 bytes)")->type_name("F");
  exportCommand->add_option("--config", targets.config, "CONFIG image (16 bytes)")->type_name("F");
  exportCommand->callback(
      [&] { action = [&](Console& c) { return ExportCommand(file, targets, c); }; });

  std::string scrambleIn;
  std::string scrambleOut;
  auto* scramble = app.add_subcommand(
      "scramble", "Combine a file with the scramble key (.hex to .elc and back)");
  scramble->add_option("IN", scrambleIn, "Input file")->required();
  scramble->add_option("OUT", scrambleOut, "Output file")->required();
  scramble->callback(
      [&] { action = [&](Console& c) { return ScrambleCommand(scrambleIn, scrambleOut, c); }; });

  DeviceOptions device;
  auto* detect = app.add_subcommand(
      "detect", "Ask the bootloader for its version; exit 0 when one answered, 3 otherwise");
  AddDeviceOptions(*detect, device);
  detect->callback([&] { action = [&](Console& c) { return DetectCommand(device, c); }; });

  UpdateChoices choices;
  auto* update = app.add_subcommand(
      "update",
      "Erase, write and verify program flash from 0x800 (unless --no-flash), then the data "
      "EEPROM (with --eeprom)");
  update->add_option("FILE", file, "Update file")->required();
  update->add_flag("--no-flash", choices.noFlash,
                   "Leave program flash alone (then --eeprom is needed)");
  update->add_flag("--eeprom", choices.eeprom, "Write and verify the data EEPROM too");
  update->add_flag("--reset", choices.reset, "Reset the device after a successful update");
  AddDeviceOptions(*update, device);
  update->callback(
      [&] { action = [&](Console& c) { return UpdateCommand(file, choices, device, c); }; });

  auto* reset =
      app.add_subcommand("reset", "Send the reset command: the device leaves its bootloader");
  AddDeviceOptions(*reset, device);
  reset->callback([&] { action = [&](Console& c) { return ResetCommand(device, c); }; });

  // Set last, so that only the overview carries the examples.
  app.footer(std::string(kExitCodesText) + kExamplesText);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? kExitSuccess : kExitUsage;
  }

  Console console{out, err, terminal};
  try {
    return action(console);
  } catch (const CliError& e) {
    if (*e.what() != '\0') {
      err << "korvane-cli: " << e.what() << '\n';
    }
    return e.ExitCode();
  } catch (const std::filesystem::filesystem_error& e) {
    err << "korvane-cli: " << e.what() << '\n';
    return kExitFileError;
  } catch (const std::exception& e) {
    err << "korvane-cli: " << e.what() << '\n';
    return kExitUpdateFailed;
  }
}

}  // namespace korvane::cli
