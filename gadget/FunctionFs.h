#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvane::gadget {

// The bootloader's interface as FunctionFS serves it: one vendor-class interface with a bulk
// OUT and a bulk IN endpoint, 64-byte packets at full speed (512 at high speed, which
// FunctionFS wants described too).
//
// FunctionFS takes the controller's endpoints in the order the descriptors name them, whatever
// numbers they carry. A controller whose first free bulk OUT endpoint is not endpoint 1 gets
// `spareOut` bulk OUT endpoints described first, in an interface of their own that nobody
// uses, so that the bootloader's pipes are endpoint 1 OUT and endpoint 1 IN as on the real
// device.
std::vector<std::uint8_t> FunctionDescriptors(int spareOut);
// No strings: the interfaces name none.
std::vector<std::uint8_t> FunctionStrings();

// How many bulk OUT endpoints come before endpoint 1 OUT on the controller `udc`: 3 on
// dummy_hcd (it offers OUT endpoints 2, 7, 12, then 1), none elsewhere.
int SpareOutEndpointsFor(const std::string& udc);

// The files of a mounted FunctionFS instance after the descriptors went in: ep0 for the
// function's events, and the bootloader's two endpoints. Closed by the destructor.
class FunctionFsFiles {
 public:
  // Throws GadgetError.
  FunctionFsFiles(const std::filesystem::path& mountPoint, int spareOut);
  FunctionFsFiles(const FunctionFsFiles&) = delete;
  FunctionFsFiles& operator=(const FunctionFsFiles&) = delete;
  ~FunctionFsFiles();

  int Control() const { return control_; }
  int Out() const { return out_; }
  int In() const { return in_; }

 private:
  void Close() noexcept;

  int control_ = -1;
  int out_ = -1;
  int in_ = -1;
};

}  // namespace korvane::gadget
