#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "gadget/FunctionFs.h"
#include "gadget/PacketServer.h"

namespace korvane::gadget {

// Serves the bootloader's endpoints on a thread of its own: takes each request from the OUT
// endpoint, has the packet server answer it and writes the reply to the IN endpoint. The
// thread starts with the object and is stopped and joined by its destructor. The process must
// not block SIGUSR1, which interrupts the thread's waits.
class EndpointServer {
 public:
  EndpointServer(const FunctionFsFiles& files, PacketServer& server);
  EndpointServer(const EndpointServer&) = delete;
  EndpointServer& operator=(const EndpointServer&) = delete;
  ~EndpointServer();

  // Handles the function's events on ep0 until the device leaves (Reset, PulledOut) or a
  // signal arrives on the signalfd `signals` (None). Throws GadgetError when the controller
  // gave the bootloader's pipes other endpoint numbers than 1.
  Departure WaitForEnd(int signals);

 private:
  void Run();
  void Serve();
  void Report(Departure departure, const std::string& error = {});
  void Idle();

  const FunctionFsFiles& files_;
  PacketServer& server_;
  int wake_ = -1;  // eventfd: the thread has something to report
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  Departure departure_ = Departure::None;
  std::string error_;
  std::thread thread_;
};

}  // namespace korvane::gadget
