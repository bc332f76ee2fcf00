#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

// JSON for the lines korvane-cli prints and the records it keeps, through nlohmann-json: its
// ordered_json keeps members in the order they were added, so that every line reads the same.
namespace korvane::station {

using Json = nlohmann::ordered_json;

// Compact text of a value; invalid UTF-8 (a file name from a foreign system, say) becomes
// U+FFFD, so that the text always parses.
std::string JsonText(const Json& value);

// The members of one object in the order they are added. The library writes a number in its
// shortest form; the lines have always given seconds and percentages with fixed decimals
// ("percent":100.00), which AddFixed keeps.
class JsonFields {
 public:
  JsonFields& Add(std::string_view key, const Json& value);
  JsonFields& AddFixed(std::string_view key, double value, int decimals);
  JsonFields& Add(const JsonFields& more);
  // "{...}".
  std::string Object() const { return "{" + inside_ + "}"; }

 private:
  std::string inside_;
};

}  // namespace korvane::station
