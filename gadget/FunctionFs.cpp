#include "gadget/FunctionFs.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gadget/Configfs.h"

namespace korvane::gadget {

namespace {

void Put16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  Put16(bytes, static_cast<std::uint16_t>(value));
  Put16(bytes, static_cast<std::uint16_t>(value >> 16));
}

void PutInterface(std::vector<std::uint8_t>& bytes, std::uint8_t number, std::uint8_t endpoints) {
  bytes.insert(bytes.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, number, 0, endpoints,
                             USB_CLASS_VENDOR_SPEC, 0, 0, 0});
}

void PutBulkEndpoint(std::vector<std::uint8_t>& bytes, std::uint8_t address,
                     std::uint16_t packetSize) {
  bytes.insert(bytes.end(),
               {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
  Put16(bytes, packetSize);
  bytes.push_back(0);  // bInterval: bulk endpoints poll nothing
}

// One speed's descriptors; returns how many there are.
std::uint32_t PutSpeed(std::vector<std::uint8_t>& bytes, int spareOut, std::uint16_t packetSize) {
  std::uint32_t count = 0;
  std::uint8_t interface = 0;
  if (spareOut > 0) {
    PutInterface(bytes, interface++, static_cast<std::uint8_t>(spareOut));
    ++count;
    for (int i = 0; i < spareOut; ++i) {
      // Numbers of their own, from the top: the controller gives them its own numbers anyway.
      PutBulkEndpoint(bytes, static_cast<std::uint8_t>(USB_DIR_OUT | (15 - i)), packetSize);
      ++count;
    }
  }
  PutInterface(bytes, interface, 2);
  PutBulkEndpoint(bytes, USB_DIR_OUT | 1, packetSize);
  PutBulkEndpoint(bytes, USB_DIR_IN | 1, packetSize);
  return count + 3;
}

int OpenFile(const std::filesystem::path& file, int flags) {
  const int fd = ::open(file.c_str(), flags | O_CLOEXEC);
  if (fd < 0) {
    throw GadgetError("cannot open " + file.string() + ": " + std::strerror(errno));
  }
  return fd;
}

void WriteWhole(int fd, const std::vector<std::uint8_t>& bytes, const char* what) {
  const ssize_t written = ::write(fd, bytes.data(), bytes.size());
  if (written != static_cast<ssize_t>(bytes.size())) {
    throw GadgetError(std::string("FunctionFS refused the ") + what + ": " +
                      (written < 0 ? std::strerror(errno) : "written in part"));
  }
}

}  // namespace

std::vector<std::uint8_t> FunctionDescriptors(int spareOut) {
  std::vector<std::uint8_t> full;
  std::vector<std::uint8_t> high;
  const std::uint32_t fullCount = PutSpeed(full, spareOut, 64);
  const std::uint32_t highCount = PutSpeed(high, spareOut, 512);
  std::vector<std::uint8_t> bytes;
  Put32(bytes, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  const std::size_t headerSize = 5 * 4;
  Put32(bytes, static_cast<std::uint32_t>(headerSize + full.size() + high.size()));
  Put32(bytes, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  Put32(bytes, fullCount);
  Put32(bytes, highCount);
  bytes.insert(bytes.end(), full.begin(), full.end());
  bytes.insert(bytes.end(), high.begin(), high.end());
  return bytes;
}

std::vector<std::uint8_t> FunctionStrings() {
  std::vector<std::uint8_t> bytes;
  Put32(bytes, FUNCTIONFS_STRINGS_MAGIC);
  Put32(bytes, 16);
  Put32(bytes, 0);  // strings
  Put32(bytes, 0);  // languages
  return bytes;
}

int SpareOutEndpointsFor(const std::string& udc) {
  return udc.rfind("dummy_udc", 0) == 0 ? 3 : 0;
}

FunctionFsFiles::FunctionFsFiles(const std::filesystem::path& mountPoint, int spareOut) {
  try {
    control_ = OpenFile(mountPoint / "ep0", O_RDWR);
    WriteWhole(control_, FunctionDescriptors(spareOut), "descriptors");
    WriteWhole(control_, FunctionStrings(), "strings");
    // Endpoint files are numbered in the order the descriptors name the endpoints.
    const int first = spareOut + 1;
    out_ = OpenFile(mountPoint / ("ep" + std::to_string(first)), O_RDONLY);
    in_ = OpenFile(mountPoint / ("ep" + std::to_string(first + 1)), O_WRONLY);
  } catch (...) {
    Close();
    throw;
  }
}

FunctionFsFiles::~FunctionFsFiles() {
  Close();
}

void FunctionFsFiles::Close() noexcept {
  for (int* fd : {&in_, &out_, &control_}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
}

}  // namespace korvane::gadget
