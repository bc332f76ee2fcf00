// Claims serial numbers as fast as a station's connection can, without boards around them, for
// bench/db/claims.sh:
//
//   korvane_db_driver claim TARGET SERIES COUNT [--claim-only]
//       claims COUNT serial numbers one after the other, each with its board's finished row
//       (none with --claim-only); prints each number
//
// Exit 0, or 1 with the error on standard error.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/Files.h"
#include "station/Database.h"

namespace {

using korvane::station::RecordDatabase;
using korvane::station::RunRow;

RunRow BoardRun(const std::string& command) {
  RunRow row;
  row.key = korvane::station::NewRunKey();
  row.time = std::chrono::system_clock::now();
  row.host = korvane::platform::HostName();
  row.korvane = "test";
  row.command = command;
  row.device = "station-" + std::to_string(korvane::platform::ProcessId());
  row.bootloader = "1.12";
  row.file = "firmware.hex";
  row.memories = {"flash", "eeprom"};
  return row;
}

void Finish(RunRow& row) {
  row.time = std::chrono::system_clock::now();
  row.success = true;
  row.packets = 520;
  row.seconds = 6.0;
}

int Run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "claim" && argc >= 5) {
    RecordDatabase database(argv[2]);
    database.CheckReady(std::string(argv[3]));
    const bool claimOnly = argc > 5 && std::string(argv[5]) == "--claim-only";
    for (int i = 0, count = std::atoi(argv[4]); i < count; ++i) {
      RunRow row = BoardRun("update");
      row.series = argv[3];
      row.serial = database.ClaimSerial(row);
      if (!claimOnly) {
        Finish(row);
        database.FinishRun(row);
      }
      std::cout << *row.serial << '\n';
    }
    return 0;
  }
  std::cerr << "usage: see the top of bench/db/ClaimDriver.cpp\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "korvane_db_driver: " << e.what() << '\n';
    return 1;
  }
}
