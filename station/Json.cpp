#include "station/Json.h"

#include <cstdio>

namespace korvane::station {

std::string JsonText(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

JsonFields& JsonFields::Add(std::string_view key, const Json& value) {
  inside_ += (inside_.empty() ? "" : ",") + JsonText(Json(key)) + ":" + JsonText(value);
  return *this;
}

JsonFields& JsonFields::AddFixed(std::string_view key, double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  inside_ += (inside_.empty() ? "" : ",") + JsonText(Json(key)) + ":" + text;
  return *this;
}

JsonFields& JsonFields::Add(const JsonFields& more) {
  if (!more.inside_.empty()) {
    inside_ += (inside_.empty() ? "" : ",") + more.inside_;
  }
  return *this;
}

}  // namespace korvane::station
