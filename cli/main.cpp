#include "cli/CliApp.h"

#ifdef _WIN32
#include "cli/WindowsConsole.h"

int wmain(int argc, wchar_t** argv) {
  return korvane::cli::RunCliOnWindows(argc, argv);
}
#else
#include <unistd.h>

#include <iostream>

int main(int argc, char** argv) {
  return korvane::cli::RunCli(argc, argv, std::cout, std::cerr, isatty(STDOUT_FILENO) == 1);
}
#endif
