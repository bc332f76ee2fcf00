#include "cli/CliApp.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/Commands.h"
#include "cli/DbCommands.h"
#include "station/Serial.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace korvane::cli {

namespace {

constexpr const char* kExitCodesText =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the update failed (verify mismatch, interrupted by Ctrl+C, SIGTERM or SIGHUP,\n"
    "     a failed or short exchange, another device attached or removed where devices\n"
    "     cannot be told apart), the reset after a successful update did not go out,\n"
    "     or verify found the device differs from the file\n"
    "  2  usage error; also an output file that is an input or another output\n"
    "  3  no device answered (detect without a reply; update, verify, reset or backup\n"
    "     with no device attached for the first packet; list with nothing attached;\n"
    "     --device naming a device that is not attached; --wait running out of time or\n"
    "     Ctrl+C during it; fewer devices than --expect)\n"
    "  4  a file could not be read, holds no data for a chosen memory or has damaged\n"
    "     lines (see --force); a backup name that already exists; a --trace file that\n"
    "     is not an earlier trace; an output file, a backup, a trace, the emulated state,\n"
    "     a record in the --log or standard output could not be written (a lost record\n"
    "     also ends the production loop); the record database (--db) cannot be reached\n"
    "     or used before the start (nothing was sent), or went away during the run (the\n"
    "     record waits in the spool, and no further device was started)\n"
    "  5  the device is in use by another Korvane run (nothing was sent)\n";

constexpr const char* kExamplesText =
    "\nExamples:\n"
    "  korvane-cli info firmware.hex --json\n"
    "  korvane-cli export firmware.elc --flash flash.bin --eeprom eeprom.bin\n"
    "  korvane-cli detect\n"
    "  korvane-cli update firmware.hex --eeprom --reset\n"
    "  korvane-cli update firmware.hex --emulated --emulated-state device/ --trace packets.txt\n"
    "  korvane-cli list\n"
    "  korvane-cli update firmware.hex --device 1-3.4 --backup before.hex\n"
    "  korvane-cli update firmware.hex --all --expect 4 --wait=60 --eeprom --reset\n"
    "  korvane-cli update firmware.hex --wait --repeat --reset --json > line.log\n"
    "  korvane-cli update firmware.hex --only-changed --wait --repeat --reset\n"
    "  korvane-cli backup saved.hex --wait=30\n"
    "  korvane-cli verify firmware.hex --eeprom --all --log line.jsonl\n"
    "  korvane-cli update firmware.hex --eeprom --serial-file next.txt --serial-at 0xF000F0\n"
    "  korvane-cli verify firmware.hex --eeprom --serial-at 0xF000F0 --log checks.jsonl\n"
    "  korvane-cli update firmware.hex --eeprom --wait --repeat --db dbname=line --serial-series "
    "line-a --serial-at 0xF000F0\n"
    "  korvane-cli reset --all --expect 4\n";

constexpr const char* kTraceText =
    "Write one line per packet to FILE: the request bytes in upper-case hex separated by blanks, "
    "\" -> \", the reply bytes the same way, then the exchange result in brackets, for example "
    "\"03 01 00 08 00 -> 03 [1]\" (0 failed, 1 complete, 2 short; with nothing received: "
    "\"FF 02 -> [1]\"). A packet that could not be sent reads \"00 02 -> not sent\". FILE is "
    "a new file or an earlier trace, which is replaced; any other existing file is refused "
    "(exit 4), and so is a FILE that the command also reads or writes (exit 2)";

// --serial-at, --serial-bytes and --serial-format, for update and verify.
void AddSerialPlace(CLI::App& command, SerialChoices& serial, const char* what) {
  command
      .add_option_function<std::string>(
          "--serial-at",
          [&serial](const std::string& text) {
            const auto address = station::ParseSerialAddress(text);
            if (!address) {
              throw CLI::ValidationError(
                  "--serial-at",
                  "ADDRESS is 0x and hex digits, or decimal digits without a "
                  "leading zero (04000 is not read as octal): " +
                      text);
            }
            serial.address = *address;
          },
          what)
      ->type_name("ADDRESS");
  command
      .add_option("--serial-bytes", serial.bytes,
                  "The number's size: 1 to 8 bytes (le, be), 1 to 20 digits (ascii); default 4")
      ->type_name("N");
  command
      .add_option("--serial-format", serial.format,
                  "le (little-endian, the default), be (big-endian) or ascii (decimal digits "
                  "padded with zeros)")
      ->type_name("le|be|ascii");
}

// --all and --expect, for update, verify and reset.
void AddAllOptions(CLI::App& command, UpdateChoices& choices, const char* all, const char* expect) {
  command.add_flag("--all", choices.all, all);
  command
      .add_option_function<std::size_t>(
          "--expect", [&choices](const std::size_t& count) { choices.expect = count; }, expect)
      ->type_name("N")
      ->check(CLI::Range(1, 127));
}

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
                if (!(*device.waitSeconds >= 0 &&
                      *device.waitSeconds <= station::kMaxWaitSeconds)) {
                  throw CLI::ValidationError(
                      "--wait", "SECONDS must be from 0 to 2592000 (30 days): " + seconds +
                                    "; --wait without a number waits for ever");
                }
              }
            },
            "Wait for the device to be plugged in (at most SECONDS, up to 30 days; without a "
            "number for ever), then go on. Ctrl+C ends the wait, and then nothing is sent")
        ->expected(0, 1)
        ->type_name("[=SECONDS]");
  }
}

void AddLogOption(CLI::App& command, std::string& logFile) {
  command
      .add_option(
          "--log", logFile,
          "Append one JSON line per device and run to FILE (time, host, Korvane's version, "
          "command, device, bootloader, file and its SHA-256, the SHA-256 of what was "
          "written or compared, memories, serial (a string of digits), success, failure, "
          "reason, seconds, backup, incremental). Lines are appended whole under a lock on FILE "
          "and synced, so that several runs can share one log; a line that cannot be written "
          "whole is taken back, and the command ends with exit 4 (a production loop after "
          "that board). Before any packet, 4 KiB are reserved at FILE's end and given back, "
          "so that a full disk stops the command before it starts")
      ->type_name("FILE");
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
          "packet the command tries to send counts); DEVICE: only on that emulated device "
          "(0-based, with --emulated-devices). KIND: timeout, short, long-count, long-reply, "
          "bitflip, unplug, open-fail, write-error, arrive (another device is plugged in)")
      ->type_name("[DEVICE:]KIND@N")
      ->allow_extra_args(false);
  command.add_option("--trace", device.traceFile, kTraceText)->type_name("FILE");
  command
      .add_option_function<std::string>(
          "--usb",
          [&device](const std::string& text) {
            const auto route = link::ParseUsbRoute(text);
            if (!route) {
              throw CLI::ValidationError("--usb", "takes auto, vbmpusbapi or winusb: " + text);
            }
            device.usb = *route;
          },
          "Windows: how to reach the device. vbmpusbapi: through vbmpusbapi.dll and the driver of "
          "the device's driver package; winusb: through libusb, for a device bound to WinUSB "
          "(or libusbK, libusb0); auto (the default): vbmpusbapi.dll when it is installed and "
          "counts a device, else libusb. Elsewhere libusb is the only way (auto)")
      ->type_name("auto|vbmpusbapi|winusb");
  command.add_flag("--verbose", device.verbose,
                   "First describe the USB library (and which one answered) and every device "
                   "with the bootloader's identity: its place, whether it can be opened and, if "
                   "not, why; on Windows also the driver of each (on standard error)");
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
  update->add_flag(
      "--only-changed", choices.onlyChanged,
      "Read the device first, then erase and write only the 64-byte blocks of program flash and "
      "the 16-byte EEPROM rows that differ from the file (with the board's serial number in "
      "place), and read back what was written. Every byte is proven by a read, as in the full "
      "run, and the device ends up holding what the full run leaves. It pays where the board "
      "already holds the firmware or most of it (a production line run again, a service check, "
      "the same build flashed twice): a fifth of the packets, 7 to 11 times faster. On a blank "
      "board it is a little faster (nothing needs erasing); on a board holding other firmware it "
      "costs 9 to 13 % more (the first read). The outcome says how many blocks were erased, rows "
      "written and packets sent. Without it update erases, writes and verifies the whole area");
  AddAllOptions(*update, choices,
                "Update every attached device at the same time, each on its own link; one line "
                "per device with its outcome; exit 0 only when all succeeded. With --wait and "
                "without --expect it starts once no device has joined for 2 s, or when the "
                "time of --wait=SECONDS is up",
                "With --all: update only when at least N devices are attached and answer (waiting "
                "for them with --wait); fewer: exit 3 and nothing is sent");
  update->add_flag("--force", choices.force,
                   "Write a file that has checksum errors, malformed lines or bytes beyond the "
                   "device's memory, as it was loaded (a file without data for a chosen memory "
                   "is refused all the same)");
  update->add_flag("--repeat", choices.repeat,
                   "With --wait: the production loop. Wait for a device, update it (and reset it "
                   "with --reset), wait until it has left, and so on; one line per device with "
                   "a running count. Ctrl+C (or SIGTERM, SIGHUP) ends the loop after the device in "
                   "progress (twice: that device stops after its packet in flight); exit 1 if any "
                   "device failed");
  update
      ->add_option("--backup", choices.backupFile,
                   "Before the first erase, read program flash (0x800-0x7FFF) and the EEPROM "
                   "into FILE as Intel HEX, written whole or not at all; when that fails nothing "
                   "is erased. An existing FILE is never overwritten. With --all and --repeat "
                   "each board's file is FILE with its place, its count and the UTC time added "
                   "(before-1-3-2-20261207T104501Z.hex), and -2, -3, ... after that when the name "
                   "is taken")
      ->type_name("FILE");
  update->add_flag("--json", choices.json,
                   "Machine-readable progress: one JSON object per line on standard output "
                   "(stage, progress, outcome; see the README); the human lines go to standard "
                   "error");
  update
      ->add_option("--serial-file", choices.serial.file,
                   "Give each board a serial number of its own: FILE holds the next number as "
                   "decimal text; each board takes one under a lock on FILE.lock (stations may "
                   "share FILE) once it has answered the version query, and FILE is rewritten "
                   "with the number after it. A number whose board failed is not used again. "
                   "Needs --serial-at")
      ->type_name("FILE");
  AddSerialSeriesOption(*update, choices.serial.series);
  AddSerialPlace(*update, choices.serial,
                 "Where the serial number goes: a program flash address at or above 0x800 within "
                 "the file's data, or the EEPROM at 0xF00000 + offset (with --eeprom); 0x and hex "
                 "digits, or decimal digits without a leading zero");
  AddLogOption(*update, choices.logFile);
  AddRecordDatabaseOptions(*update, choices.database);
  AddDeviceOptions(*update, device);
  AddSelectionOptions(*update, device, true);
  update->callback(
      [&] { action = [&](Console& c) { return UpdateCommand(file, choices, device, c); }; });

  auto* verify = app.add_subcommand(
      "verify",
      "Read program flash back from 0x800 to the file's highest address (unless --no-flash) and "
      "the whole EEPROM (with --eeprom) and compare them with the file; nothing is erased or "
      "written. Exit 0 when they match, 1 when they differ (the first difference and how many "
      "bytes differ)");
  verify->add_option("FILE", file, "Update file")->required();
  verify->add_flag("--no-flash", choices.noFlash, "Leave program flash out");
  verify->add_flag("--eeprom", choices.eeprom, "Compare the data EEPROM too");
  AddAllOptions(*verify, choices, "Verify every attached device at the same time",
                "With --all: only when at least N devices are attached and answer");
  AddSerialPlace(*verify, choices.serial,
                 "Where update placed the board's serial number (as its --serial-at): the number "
                 "is read from the device first (one packet more), reported, and left out of the "
                 "comparison; the record's image_sha256 is taken with it in place, as update's");
  verify->add_flag("--force", choices.force,
                   "Compare with a file that has checksum errors or malformed lines, as it was "
                   "loaded");
  verify->add_flag("--json", choices.json,
                   "One JSON object per line on standard output (see the README)");
  AddLogOption(*verify, choices.logFile);
  AddRecordDatabaseOptions(*verify, choices.database);
  AddDeviceOptions(*verify, device);
  AddSelectionOptions(*verify, device, true);
  verify->callback(
      [&] { action = [&](Console& c) { return VerifyCommand(file, choices, device, c); }; });

  auto* reset = app.add_subcommand(
      "reset",
      "Send the reset command: the device leaves its bootloader. Exit 0 only when the request "
      "went out whole");
  reset->add_flag("--json", choices.json,
                  "Also print one JSON object per device on standard output: "
                  "{\"event\":\"reset\",\"device\",\"reset\",\"exit_code\",\"reason\"}");
  AddAllOptions(*reset, choices,
                "Reset every attached device at the same time; one line per device, then how "
                "many were reset; exit 0 only when every reset went out",
                "With --all: only when at least N devices are attached and answer (waiting for "
                "them with --wait); fewer: exit 3 and nothing is sent");
  AddLogOption(*reset, choices.logFile);
  AddRecordDatabaseOptions(*reset, choices.database);
  AddDeviceOptions(*reset, device);
  AddSelectionOptions(*reset, device, true);
  reset->callback([&] { action = [&](Console& c) { return ResetCommand(choices, device, c); }; });

  std::string backupFile;
  auto* backup = app.add_subcommand(
      "backup",
      "Read program flash from 0x800 to 0x7FFF and the whole EEPROM into an Intel HEX file "
      "(CR LF, 16-byte records, EEPROM at 0xF00000) that update loads back byte for byte");
  backup
      ->add_option("FILE", backupFile,
                   "The Intel HEX file to write; it must not exist yet (a backup is never "
                   "overwritten), and it is written whole or not at all")
      ->required();
  AddLogOption(*backup, choices.logFile);
  AddRecordDatabaseOptions(*backup, choices.database);
  AddDeviceOptions(*backup, device);
  AddSelectionOptions(*backup, device, true);
  backup->callback([&] {
    action = [&](Console& c) {
      return BackupCommand(backupFile, device, choices.logFile, choices.database, c);
    };
  });

  AddDbCommands(app, action);

  // Set last, so that only the overview carries the examples.
  app.footer(std::string(kExitCodesText) + kExamplesText);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? kExitSuccess : kExitUsage;
  }

#ifndef _WIN32
  // A reader that goes away (update --json | head) must not kill a run half way: the device is
  // finished, and the failed output is told at the end. The same for a file that outgrows the
  // size limit: the write fails and is reported. (Ctrl+C, SIGTERM and SIGHUP are counted by
  // the commands that talk to a device.)
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  Console console{out, err, terminal};
  int code = kExitSuccess;
  try {
    code = action(console);
  } catch (const CliError& e) {
    if (*e.what() != '\0') {
      err << "korvane-cli: " << e.what() << '\n';
    }
    code = e.ExitCode();
  } catch (const station::StationError& e) {
    if (const std::string text = ProblemText(e); !text.empty()) {
      err << "korvane-cli: " << text << '\n';
    }
    code = station::ExitCode(e.GetVerdict());
  } catch (const std::filesystem::filesystem_error& e) {
    err << "korvane-cli: " << e.what() << '\n';
    code = kExitFileError;
  } catch (const std::exception& e) {
    err << "korvane-cli: " << e.what() << '\n';
    code = kExitUpdateFailed;
  }
  out.flush();
  if (!out) {
    err << "korvane-cli: standard output could not be written (was its reader closed?); the "
           "command ran to its end, but not all of its output arrived\n"
        << std::flush;
    if (code == kExitSuccess) {
      code = kExitFileError;
    }
  }
  return code;
}

}  // namespace korvane::cli
