// korvane.exe: the windows on the device through its USB library, vbmpusbapi.dll.
#include <windows.h>

#include <memory>

#include "app/Application.h"
#include "link/MpusbDllLibrary.h"
#include "ui/win32/Frontend.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  korvane::win32::Frontend frontend(instance);
  korvane::app::Application app(frontend, frontend,
                                std::make_unique<korvane::link::MpusbDllLibrary>());
  if (!app.Start()) {
    return 0;
  }
  return frontend.Run();
}
