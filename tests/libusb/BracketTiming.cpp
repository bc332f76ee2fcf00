// Figures for the libusb backend under umockdev: what one open / exchange / close bracket costs
// when the real libusb code talks to an emulated bootloader device.
//
//   korvane_umockdev_bracket_timing [packets]   creates its own testbed and prints figures
//   korvane_umockdev_bracket_timing --once      sends one version query to the device of the
//                                              testbed it was started in (a parent's) and
//                                              prints the reply: the child-process path
//   korvane_umockdev_bracket_timing --wait-notice CLI [runs]
//                                              starts `CLI detect --wait`, plugs a device in
//                                              and prints how long it took until the device
//                                              received its first request

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/LibUsbLibrary.h"
#include "link/UsbPipeLink.h"
#include "tests/libusb/UmockdevBootloader.h"

namespace {

using korvane::link::ExchangeResult;
using korvane::link::kDeviceIdentity;
using korvane::link::kPipeName;

struct PrintedMessages final : korvane::link::LinkMessages {
  void ShowLinkMessage(std::string_view text) override {
    std::printf("message: %.*s\n", static_cast<int>(text.size()), text.data());
  }
};

int SendOneVersionQuery() {
  korvane::link::LibUsbLibrary library;
  PrintedMessages messages;
  korvane::link::UsbPipeLink link(library, messages);
  link.InitPipes();
  std::array<std::uint8_t, 65> request{0x00, 0x02};
  std::array<std::uint8_t, 65> reply{};
  std::int32_t replyLength = 4;
  const auto outcome = link.SendPacket(request, 2, reply, replyLength);
  if (!outcome.sent || outcome.result != ExchangeResult::Complete) {
    std::printf("no bootloader answered\n");
    return 1;
  }
  std::printf("bootloader version %u.%u.%u\n", reply[3], reply[2] >> 4, reply[2] & 0x0F);
  return 0;
}

// Mean microseconds of `action` over `count` runs, after a few runs to warm up.
double MeanMicroseconds(int count, const std::function<void()>& action) {
  for (int i = 0; i < 5; ++i) {
    action();
  }
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    action();
  }
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  return elapsed.count() / count;
}

// From a device plugged in to the first request it receives from `korvane-cli detect --wait`.
int MeasureWaitNotice(const std::string& cli, int runs) {
  std::vector<double> notices;
  for (int run = 0; run < runs; ++run) {
    korvane::testsupport::UmockdevTestbed testbed;
    double notice = -1;
    const auto child =
        testbed.RunChild({cli, "detect", "--wait=30"}, std::chrono::seconds(60), [&](pid_t) {
          // Let the child start and settle into its wait first.
          std::this_thread::sleep_for(std::chrono::milliseconds(500));
          const auto plugged = std::chrono::steady_clock::now();
          testbed.AddDevice();
          while (testbed.RequestsReceived(0) == 0 &&
                 std::chrono::steady_clock::now() - plugged < std::chrono::seconds(30)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          notice =
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - plugged)
                  .count();
        });
    if (child.exitCode != 0) {
      std::fprintf(stderr, "detect --wait failed: %s%s\n", child.out.c_str(), child.err.c_str());
      return 1;
    }
    notices.push_back(notice);
  }
  std::sort(notices.begin(), notices.end());
  std::printf(
      "device plugged in to first request, %d runs: median %.1f ms, min %.1f ms, "
      "max %.1f ms\n",
      runs, notices[notices.size() / 2], notices.front(), notices.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  korvane::testsupport::RunUnderUmockdevPreload();
  if (const std::string why = korvane::testsupport::UmockdevUnavailableReason(); !why.empty()) {
    std::fprintf(stderr, "cannot run: %s\n", why.c_str());
    return 77;
  }
  if (argc > 1 && std::strcmp(argv[1], "--once") == 0) {
    return SendOneVersionQuery();
  }
  if (argc > 2 && std::strcmp(argv[1], "--wait-notice") == 0) {
    return MeasureWaitNotice(argv[2], argc > 3 ? std::max(1, std::atoi(argv[3])) : 10);
  }
  const int packets = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

  korvane::testsupport::UmockdevTestbed testbed;
  testbed.AddDevice();
  korvane::link::LibUsbLibrary library;
  PrintedMessages messages;
  korvane::link::UsbPipeLink link(library, messages);
  link.InitPipes();

  std::array<std::uint8_t, 65> request{};
  std::array<std::uint8_t, 65> reply{};
  const auto bracket = [&](std::initializer_list<std::uint8_t> bytes, std::int32_t expected) {
    std::copy(bytes.begin(), bytes.end(), request.begin());
    std::int32_t replyLength = expected;
    const auto outcome =
        link.SendPacket(request, static_cast<std::int32_t>(bytes.size()), reply, replyLength);
    if (outcome.result != ExchangeResult::Complete) {
      std::fprintf(stderr, "exchange failed\n");
      std::exit(1);
    }
  };

  const double count =
      MeanMicroseconds(packets, [&] { (void)library.MPUSBGetDeviceCount(kDeviceIdentity); });
  const double openClose = MeanMicroseconds(packets, [&] {
    link.OpenPipes();
    link.ClosePipes();
  });
  const double version = MeanMicroseconds(packets, [&] { bracket({0x00, 0x02}, 4); });
  const double flashRead = MeanMicroseconds(packets, [&] {
    bracket({0x01, 0x38, 0x00, 0x08, 0x00}, 61);
  });
  std::initializer_list<std::uint8_t> write = {0x02, 0x10, 0x00, 0x08, 0x00, 0, 0, 0, 0, 0, 0,
                                               0,    0,    0,    0,    0,    0, 0, 0, 0, 0};
  const double flashWrite = MeanMicroseconds(packets, [&] { bracket(write, 1); });

  std::printf("libusb under umockdev, mean of %d runs each (microseconds):\n", packets);
  std::printf("  device count                              %9.1f\n", count);
  std::printf("  count + open both pipes + close both      %9.1f\n", openClose);
  std::printf("  bracket, VersionQuery (2 out, 4 in)       %9.1f\n", version);
  std::printf("  bracket, FlashRead (5 out, 61 in)         %9.1f\n", flashRead);
  std::printf("  bracket, FlashWrite (21 out, 1 in)        %9.1f\n", flashWrite);
  std::printf("  requests the device received              %9u\n", testbed.RequestsReceived(0));
  return 0;
}
