// A file named libusb-1.0.dll that leaves a mark when a process loads it, for tests only: where
// it lies in a folder the programs must not load libusb from, the mark must stay away. It
// exports no libusb function, so a program that did load it cannot use it either.
//
// Environment:
//   KORVANE_PLANTED_MARK  the file to create when the DLL is loaded

#include <windows.h>

#include <cstdlib>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    if (const char* mark = std::getenv("KORVANE_PLANTED_MARK"); mark != nullptr && *mark != '\0') {
      const HANDLE file = CreateFileA(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
      }
    }
  }
  return TRUE;
}
