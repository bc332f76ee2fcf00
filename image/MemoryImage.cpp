#include "image/MemoryImage.h"

namespace korvane::image {

void MemoryImage::Clear() {
  FlashImage.fill(kBlank);
  EepromImage.fill(kBlank);
  UserIdImage.fill(kBlank);
  ConfigImage.fill(kBlank);
  ConfigPresent = false;
}

Placement MemoryImage::Put(std::uint64_t address, std::uint8_t value) {
  const Placement place = Locate(address);
  if (place.outcome != StoreOutcome::Stored)
    return place;
  switch (place.region) {
    case Region::Flash:
      FlashImage[place.index] = value;
      if (static_cast<std::int32_t>(place.index) > HighestFlashAddress)
        HighestFlashAddress = static_cast<std::int32_t>(place.index);
      break;
    case Region::Eeprom:
      EepromImage[place.index] = value;
      break;
    case Region::UserId:
      UserIdImage[place.index] = value;
      break;
    case Region::Config:
      ConfigImage[place.index] = value;
      ConfigPresent = true;
      break;
  }
  return place;
}

StoreOutcome MemoryImage::Store(std::uint64_t address, std::uint8_t value) {
  return Put(address, value).outcome;
}

}  // namespace korvane::image
