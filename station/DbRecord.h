#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "station/Record.h"

// The record database's part of a job (Linux; elsewhere a job that asks for it is refused): the
// database is ready before any packet, every board's run is recorded there before the board is
// called done, serial numbers may come from one of its series, and runs it did not take wait in
// a local spool until a later job sends them.
namespace korvane::station {

struct DatabaseJob {
  // A libpq connection string ("host=db1 dbname=line user=station") or a postgresql:// URI.
  std::string target;
  // Where the runs wait that the database did not take; empty: the default (SpoolFileFor).
  std::string spoolFile;
};

// The job's spool: its spoolFile, else "spool-" and 16 hex digits of the SHA-256 of the
// database as its connection string names it (host, port, database, user: the same database
// under another password, timeout or form of the string keeps its spool) with ".jsonl" in
// $XDG_STATE_HOME/korvane, or ~/.local/state/korvane. Throws StationError (usage): the
// connection string cannot be read, the record database is not offered on this platform, or
// neither variable says where the default place is.
std::string SpoolFileFor(const DatabaseJob& job);

// Before any packet: connects; checks that the database holds this Korvane's schema and, when
// `series` is not empty, that series; proves that the spool can take runs (its folder made when
// missing); and sends the runs that wait in it (`notice` says how many, when there were any).
// Throws StationError (file) when any of that fails: then nothing may be sent to any board.
std::unique_ptr<RunStore> OpenRecordDatabase(const DatabaseJob& job, const std::string& spoolFile,
                                             const std::string& series,
                                             const std::function<void(std::string_view)>& notice);

}  // namespace korvane::station
