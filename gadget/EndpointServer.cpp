#include "gadget/EndpointServer.h"

#include <endian.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "gadget/Configfs.h"
#include "platform/Hex.h"

namespace korvane::gadget {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);

std::string Hex(unsigned value) {
  return korvane::platform::HexNumber(value, 2);
}

}  // namespace

EndpointServer::EndpointServer(const FunctionFsFiles& files, PacketServer& server)
    : files_(files), server_(server) {
  wake_ = ::eventfd(0, EFD_CLOEXEC);
  if (wake_ < 0) {
    throw GadgetError(std::string("cannot make an event descriptor: ") + std::strerror(errno));
  }
  thread_ = std::thread([this] { Run(); });
}

EndpointServer::~EndpointServer() {
  stop_ = true;
  // The thread may sit in a read, a write or an ioctl that only a signal ends; it is sent
  // again until the thread has seen the stop, so that a signal that came just before the call
  // began cannot leave it waiting.
  while (!done_) {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(kPollStep);
  }
  thread_.join();
  ::close(wake_);
}

void EndpointServer::Report(Departure departure, const std::string& error) {
  {
    const std::lock_guard lock(mutex_);
    departure_ = departure;
    error_ = error;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void EndpointServer::Idle() {
  while (!stop_) {
    std::this_thread::sleep_for(kPollStep);
  }
}

void EndpointServer::Run() {
  Serve();
  done_ = true;
}

void EndpointServer::Serve() {
  // The endpoints' descriptors as the controller set them up: they are there once the host has
  // configured the device (until then the calls wait).
  usb_endpoint_descriptor out{};
  usb_endpoint_descriptor in{};
  while (!stop_) {
    if (::ioctl(files_.Out(), FUNCTIONFS_ENDPOINT_DESC, &out) == 0 &&
        ::ioctl(files_.In(), FUNCTIONFS_ENDPOINT_DESC, &in) == 0) {
      break;
    }
    if (errno != EINTR) {
      std::this_thread::sleep_for(kPollStep);
    }
  }
  if (stop_) {
    return;
  }
  if (out.bEndpointAddress != (USB_DIR_OUT | 1) || in.bEndpointAddress != (USB_DIR_IN | 1)) {
    Report(Departure::None, "the USB device controller gave the bootloader's pipes the endpoints " +
                                Hex(out.bEndpointAddress) + " and " + Hex(in.bEndpointAddress) +
                                " instead of 0x01 and 0x81, where hosts look for them");
    Idle();
    return;
  }
  const std::size_t packetSize = std::max<std::size_t>(le16toh(out.wMaxPacketSize), 64);
  std::vector<std::uint8_t> request(packetSize);
  while (!stop_) {
    // One read takes one packet: every request fits in one.
    const ssize_t got = ::read(files_.Out(), request.data(), request.size());
    if (got < 0) {
      // Interrupted, or the host went away (the next read waits until it is back).
      if (errno != EINTR && errno != ESHUTDOWN) {
        std::this_thread::sleep_for(kPollStep);
      }
      continue;
    }
    const Answer answer = server_.Handle(
        std::span<const std::uint8_t>(request.data(), static_cast<std::size_t>(got)));
    if (answer.hung) {
      Idle();
      return;
    }
    if (!answer.reply.empty()) {
      // A reply the host does not collect stays in the endpoint, as on the real device; the
      // write ends when the host takes it, leaves or the gadget stops.
      while (!stop_ && ::write(files_.In(), answer.reply.data(), answer.reply.size()) < 0 &&
             errno == EINTR) {
      }
    }
    if (answer.departure != Departure::None) {
      Report(answer.departure);
      Idle();
      return;
    }
  }
}

Departure EndpointServer::WaitForEnd(int signals) {
  std::array<pollfd, 3> watched{
      {{files_.Control(), POLLIN, 0}, {signals, POLLIN, 0}, {wake_, POLLIN, 0}}};
  for (;;) {
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw GadgetError(std::string("cannot wait for the device's events: ") +
                        std::strerror(errno));
    }
    if (watched[1].revents != 0) {
      signalfd_siginfo info{};
      [[maybe_unused]] const ssize_t got = ::read(signals, &info, sizeof info);
      return Departure::None;
    }
    if (watched[2].revents != 0) {
      const std::lock_guard lock(mutex_);
      if (!error_.empty()) {
        throw GadgetError(error_);
      }
      return departure_;
    }
    if (watched[0].revents != 0) {
      std::array<usb_functionfs_event, 4> events{};
      const ssize_t got = ::read(files_.Control(), events.data(), sizeof events);
      for (ssize_t i = 0; got > 0 && i < got / static_cast<ssize_t>(sizeof events[0]); ++i) {
        if (events[i].type != FUNCTIONFS_SETUP) {
          continue;
        }
        // The bootloader answers no control request of its own: stall it (a read on ep0
        // stalls a request that sends data to the host, a write one that takes data).
        if ((events[i].u.setup.bRequestType & USB_DIR_IN) != 0) {
          [[maybe_unused]] const ssize_t stalled = ::read(files_.Control(), nullptr, 0);
        } else {
          [[maybe_unused]] const ssize_t stalled = ::write(files_.Control(), nullptr, 0);
        }
      }
    }
  }
}

}  // namespace korvane::gadget
