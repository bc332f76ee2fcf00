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
    "  3  no device answered (detect without a reply; update, reset or backup with no\n"
    "     device attached for the first packet; list with nothing attached; --device\n"
    "     naming a device that is not attached; --wait running out of time)\n"
    "  4  a file could not be read or holds no data (or an output file could not be\n"
    "     written)\n";

constexpr const char* kExamplesText =
    "\nExamples:\n"
    "  korvane-cli info firmware.hex --json\n"
    "  korvane-cli export firmware.elc --flash flash.bin --eeprom eeprom.bin\n"
    "  korvane-cli detect\n"
    "  korvane-cli update firmware.hex --eeprom --reset\n"
    "  korvane-cli update firmware.hex --emulated --emulated-state device/ --trace packets.txt\n"
    "  korvane-cli list\n"
    "  korvane-cli update firmware.hex --device 1-3.4 --backup before.hex\n"
    "  korvane-cli update firmware.hex --all --eeprom --reset\n"
    "  korvane-cli update firmware.hex --wait --repeat --reset --json > line.log\n"
    "  korvane-cli backup saved.hex --wait=30\n";

constexpr const char* kTraceText =
    "Write one line per packet to FILE: the request bytes in upper-case hex separated by blanks, "
    "\" -> \", the reply bytes the same way, then the exchange result in brackets, for example "
    "\"03 01 00 08 00 -> 03 [1]\" (0 failed, 1 complete, 2 short; with nothing received: "
    "\"FF 02 -> [1]\"). A packet that could not be sent reads \"00 02 -> not sent\".";

// --emulated-devices, --device and --wait, for the commands that take them.
void AddSelectionOptions(CLI::App& command, DeviceOptions& device, bool wait) {
  command
      .add_option("--emulated-devices", device.emulatedDevices,
                  "Attach N independent emulated devices (places emulated-0 to emulated-N-1); "
                  "with --emulated-state DIR, device i keeps its memory in DIR/i/")
      ->type_name("N")
      ->check(CLI::Range(1, 64));
  command
      .add_option("--device", device.device,
                  "The device to talk to: an instance number as korvane-cli list shows it "
                  "(instances follow bus, then port path, so 0 stays the same device), or a "
                  "place such as 1-3.4 (bus 1, hub port 3, port 4). Default: instance 0")
      ->type_name("SEL");
  if (wait) {
    command
        .add_option_function<std::string>(
            "--wait",
            [&device](const std::string& seconds) {
              device.wait = true;
              if (!seconds.empty()) {
                try {
                  std::size_t used = 0;
                  device.waitSeconds = std::stod(seconds, &used);
                  if (used != seconds.size()) {
                    throw std::invalid_argument(seconds);
                  }
                } catch (const std::exception&) {
                  throw CLI::ValidationError("--wait", "SECONDS must be a number: " + seconds);
                }
              }
            },
            "Wait for the device to be plugged in (at most SECONDS, else for ever), then go on. "
            "Ctrl+C ends the wait")
        ->expected(0, 1)
        ->type_name("[=SECONDS]");
  }
}

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
      .add_option(
          "--fault", device.faults,
          "Emulated device only, repeatable: inject a fault at packet N (0-based, every "
          "packet the command tries to send counts). KIND: timeout, short, long-count, long-reply, "
          "bitflip, unplug, open-fail, write-error")
      ->type_name("KIND@N")
      ->allow_extra_args(false);
  command.add_option("--trace", device.traceFile, kTraceText)->type_name("FILE");
  command.add_flag("--verbose", device.verbose,
                   "First describe the USB library and every device with the bootloader's "
                   "identity: its place, whether it can be opened and, if not, why (on "
                   "standard error)");
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
  auto* list = app.add_subcommand(
      "list",
      "List every attached bootloader device, one line each: instance number, place (bus and "
      "port path; - when the USB library cannot tell), bootloader version (one version query "
      "each); exit 3 when none is attached");
  list->add_flag("--json", json,
                 "Print one JSON object: {\"devices\":[{\"instance\",\"location\","
                 "\"answered\",\"version\",\"major\",\"minor\" or \"problem\"}]}");
  AddDeviceOptions(*list, device);
  AddSelectionOptions(*list, device, false);
  list->callback([&] { action = [&](Console& c) { return ListCommand(device, json, c); }; });

  auto* detect = app.add_subcommand(
      "detect", "Ask the bootloader for its version; exit 0 when one answered, 3 otherwise");
  detect->add_flag("--json", json,
                   "Also print one JSON object on standard output (the version line then goes "
                   "to standard error)");
  AddDeviceOptions(*detect, device);
  AddSelectionOptions(*detect, device, true);
  detect->callback([&] { action = [&](Console& c) { return DetectCommand(device, json, c); }; });

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
  update->add_flag("--all", choices.all,
                   "Update every attached device at the same time, each on its own link; one "
                   "line per device with its outcome; exit 0 only when all succeeded");
  update->add_flag("--repeat", choices.repeat,
                   "With --wait: the production loop. Wait for a device, update it (and reset it "
                   "with --reset), wait until it has left, and so on; one line per device with "
                   "a running count. Ctrl+C ends the loop after the device in progress (twice: "
                   "at once); exit 1 if any device failed");
  update
      ->add_option("--backup", choices.backupFile,
                   "Before the first erase, read program flash (0x800-0x7FFF) and the EEPROM "
                   "into FILE as Intel HEX; when that fails nothing is erased. With --all the "
                   "device's place is added to the name (FILE-1-3.hex)")
      ->type_name("FILE");
  update->add_flag("--json", choices.json,
                   "Machine-readable progress: one JSON object per line on standard output "
                   "(stage, progress, outcome; see the README); the human lines go to standard "
                   "error");
  AddDeviceOptions(*update, device);
  AddSelectionOptions(*update, device, true);
  update->callback(
      [&] { action = [&](Console& c) { return UpdateCommand(file, choices, device, c); }; });

  auto* reset =
      app.add_subcommand("reset", "Send the reset command: the device leaves its bootloader");
  AddDeviceOptions(*reset, device);
  AddSelectionOptions(*reset, device, true);
  reset->callback([&] { action = [&](Console& c) { return ResetCommand(device, c); }; });

  std::string backupFile;
  auto* backup = app.add_subcommand(
      "backup",
      "Read program flash from 0x800 to 0x7FFF and the whole EEPROM into an Intel HEX file "
      "(CR LF, 16-byte records, EEPROM at 0xF00000) that update loads back byte for byte");
  backup->add_option("FILE", backupFile, "The Intel HEX file to write")->required();
  AddDeviceOptions(*backup, device);
  AddSelectionOptions(*backup, device, true);
  backup->callback(
      [&] { action = [&](Console& c) { return BackupCommand(backupFile, device, c); }; });

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
