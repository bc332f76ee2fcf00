#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "link/UsbLibrary.h"

// Windows: libusb is a DLL of its own that lies beside the programs, so that a user can put a
// build of their own in its place. It is loaded at run time, once per process, from the folder
// of the running program only: never from the current folder or from PATH, so that a file
// lying next to an update file is never loaded in its place. The libusb functions the programs
// call are defined in LibUsbRuntime.cpp and forward to the DLL's.
namespace korvane::link {

inline constexpr std::wstring_view kLibUsbDllName = L"libusb-1.0.dll";

// Loads the DLL on the first call. Empty when it loaded with every function the programs use;
// else one sentence for the user that says what is wrong and which folder the file belongs in.
const std::string& LibUsbDllProblem();

// The libusb route: a LibUsbLibrary when the DLL loaded; else a library that finds no device
// and tells the problem once per process.
std::unique_ptr<UsbLibrary> MakeLibUsbLibrary();

}  // namespace korvane::link
