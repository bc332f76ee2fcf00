#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// The page as the C++ side sees it: thin calls into KorvanePage (page.js), which draws the
// windows with DOM elements and queues the user's input as events. The functions that wait
// (WaitForEvent, YieldToBrowser, SleepUntil, ChooseFile) suspend the WebAssembly module until
// the browser resumes it; the others return at once.
namespace korvane::web::page {

enum class EventKind : int { Control = 1, Menu = 2, Close = 3, Timer = 4 };

// One queued input: a click on control `value` of window `window`, the menu command `value`, the
// close box of `window`, or a tick of timer `value` (window 0).
struct Event {
  int window = 0;
  EventKind kind = EventKind::Control;
  int value = 0;
};

// Returns once at least one event is queued.
void WaitForEvent();
// Takes the oldest queued event; false when there is none.
bool TakeEvent(Event& event);
// Lets the browser run one turn of its event loop (input, painting), then returns.
void YieldToBrowser();
// Returns at `deadline`, to the millisecond, letting the browser run meanwhile.
void SleepUntil(std::chrono::steady_clock::time_point deadline);
// Queues a tick of timer `id` every `intervalMs`.
void AddTimer(int id, int intervalMs);

enum class ControlKind : int { Label = 0, Button = 1, ProgressBar = 2, Picture = 3 };
enum ControlFlag : int { kVisible = 1, kEnabled = 2, kBold = 4, kLink = 8, kNoWrap = 16 };
enum class MenuItemKind : int { Command = 0, Check = 1, Separator = 2 };

// A hidden window with its title bar (caption, icon, close box) and a client area of the given
// size in CSS pixels.
void CreateWindow(int window, std::string_view caption, int clientWidth, int clientHeight,
                  std::string_view icon, bool dialogFrame);
void AddMenuBar(int window);
// A menu on the menu bar: returns its number for AddMenuItem.
int AddMenu(int window, std::string_view text);
// `shortcut`: the letter that with Ctrl chooses the item, or empty.
void AddMenuItem(int window, int menu, int command, std::string_view text, MenuItemKind kind,
                 bool checked, std::string_view shortcut);
void AddMenuCommand(int window, int command, std::string_view text);
void SetChecked(int window, int command, bool checked);

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};
void AddControl(int window, int slot, ControlKind kind, PixelRect rect, std::string_view text,
                int flags, std::uint32_t colour, std::string_view picture);
void SetText(int window, int slot, std::string_view text);
void SetColour(int window, int slot, std::uint32_t colour);
void SetBold(int window, int slot, bool bold);
void SetEnabled(int window, int slot, bool enabled);
void SetVisible(int window, int slot, bool visible);
void Focus(int window, int slot);
void SetBarValue(int window, int slot, int value);
void SetBarColour(int window, int slot, std::uint32_t colour);
// The buttons Enter and Esc press (-1: none).
void SetKeys(int window, int defaultSlot, int cancelSlot);

void Show(int window);
void Hide(int window);
bool IsVisible(int window);
// The window's frame on the page's desktop: left, top, width, height.
PixelRect Geometry(int window);
void MoveTo(int window, int x, int y);
// Takes the window off the page.
void Remove(int window);
PixelRect WorkArea();

// Shows a modal box; a click on its OK button or its close box (Enter, Esc) queues an event for
// window `box`. Remove takes it down.
void ShowMessageBox(int box, int owner, std::string_view text, std::string_view title,
                    bool warning);
// The browser's file chooser. The chosen file (its first `limit` bytes) is written into
// `folder` of the module's file system; returns its name there, or empty when cancelled.
std::string ChooseFile(std::string_view accept, int limit, std::string_view folder);
void OpenAddress(std::string_view address);
// True for the first application of the page.
bool Claim();
int CurrentYear();
// Takes every window off the page and shows the closing note.
void Quit();

}  // namespace korvane::web::page
