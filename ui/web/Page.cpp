#include "ui/web/Page.h"

#include <emscripten.h>

#include <algorithm>
#include <vector>

// Texts go to the page as a pointer and a byte count (UTF-8, not NUL-terminated).
// clang-format off
EM_ASYNC_JS(void, korvane_page_wait, (), {
  await KorvanePage.nextEvent();
});
EM_JS(int, korvane_page_take, (int* out), {
  const event = KorvanePage.takeEvent();
  if (!event) {
    return 0;
  }
  HEAP32[out >> 2] = event[0];
  HEAP32[(out >> 2) + 1] = event[1];
  HEAP32[(out >> 2) + 2] = event[2];
  return 1;
});
EM_ASYNC_JS(void, korvane_page_yield, (), {
  await KorvanePage.yieldToBrowser();
});
EM_ASYNC_JS(void, korvane_page_sleep, (int ms), {
  await KorvanePage.sleep(ms);
});
EM_JS(void, korvane_page_add_timer, (int id, int ms), {
  KorvanePage.addTimer(id, ms);
});
EM_JS(void, korvane_page_create_window, (int id, const char* caption, int captionLength,
                                         int width, int height, const char* icon, int iconLength,
                                         int dialogFrame), {
  KorvanePage.createWindow(id, UTF8ToString(caption, captionLength), width, height,
                           UTF8ToString(icon, iconLength), dialogFrame !== 0);
});
EM_JS(void, korvane_page_add_menu_bar, (int id), {
  KorvanePage.addMenuBar(id);
});
EM_JS(int, korvane_page_add_menu, (int id, const char* text, int length), {
  return KorvanePage.addMenu(id, UTF8ToString(text, length));
});
EM_JS(void, korvane_page_add_menu_item, (int id, int menu, int command, const char* text,
                                         int length, int kind, int checked, const char* shortcut,
                                         int shortcutLength), {
  KorvanePage.addMenuItem(id, menu, command, UTF8ToString(text, length), kind, checked !== 0,
                          UTF8ToString(shortcut, shortcutLength));
});
EM_JS(void, korvane_page_add_menu_command, (int id, int command, const char* text, int length), {
  KorvanePage.addMenuCommand(id, command, UTF8ToString(text, length));
});
EM_JS(void, korvane_page_set_checked, (int id, int command, int checked), {
  KorvanePage.setChecked(id, command, checked !== 0);
});
EM_JS(void, korvane_page_add_control, (int id, int slot, int kind, int x, int y, int width,
                                       int height, const char* text, int length, int flags,
                                       unsigned colour, const char* picture, int pictureLength), {
  KorvanePage.addControl(id, slot, kind, x, y, width, height, UTF8ToString(text, length), flags,
                         colour, UTF8ToString(picture, pictureLength));
});
EM_JS(void, korvane_page_set_text, (int id, int slot, const char* text, int length), {
  KorvanePage.setText(id, slot, UTF8ToString(text, length));
});
EM_JS(void, korvane_page_set_colour, (int id, int slot, unsigned colour), {
  KorvanePage.setColour(id, slot, colour);
});
EM_JS(void, korvane_page_set_bold, (int id, int slot, int bold), {
  KorvanePage.setBold(id, slot, bold !== 0);
});
EM_JS(void, korvane_page_set_enabled, (int id, int slot, int enabled), {
  KorvanePage.setEnabled(id, slot, enabled !== 0);
});
EM_JS(void, korvane_page_set_visible, (int id, int slot, int visible), {
  KorvanePage.setVisible(id, slot, visible !== 0);
});
EM_JS(void, korvane_page_focus, (int id, int slot), {
  KorvanePage.focus(id, slot);
});
EM_JS(void, korvane_page_set_bar_value, (int id, int slot, int value), {
  KorvanePage.setBarValue(id, slot, value);
});
EM_JS(void, korvane_page_set_bar_colour, (int id, int slot, unsigned colour), {
  KorvanePage.setBarColour(id, slot, colour);
});
EM_JS(void, korvane_page_set_keys, (int id, int defaultSlot, int cancelSlot), {
  KorvanePage.setKeys(id, defaultSlot, cancelSlot);
});
EM_JS(void, korvane_page_show, (int id), {
  KorvanePage.show(id);
});
EM_JS(void, korvane_page_hide, (int id), {
  KorvanePage.hide(id);
});
EM_JS(int, korvane_page_is_visible, (int id), {
  return KorvanePage.isVisible(id);
});
EM_JS(void, korvane_page_geometry, (int id, int* out), {
  const values = id === 0 ? KorvanePage.workArea() : KorvanePage.geometry(id);
  for (let i = 0; i < 4; i++) {
    HEAP32[(out >> 2) + i] = values[i];
  }
});
EM_JS(void, korvane_page_move_to, (int id, int x, int y), {
  KorvanePage.moveTo(id, x, y);
});
EM_JS(void, korvane_page_remove, (int id), {
  KorvanePage.remove(id);
});
EM_JS(void, korvane_page_message_box, (int id, int owner, const char* text, int length,
                                       const char* title, int titleLength, int warning), {
  KorvanePage.messageBox(id, owner, UTF8ToString(text, length), UTF8ToString(title, titleLength),
                         warning !== 0);
});
EM_ASYNC_JS(int, korvane_page_choose_file, (const char* accept, int acceptLength, int limit,
                                            const char* folder, int folderLength, char* name,
                                            int nameSize), {
  const chosen = await KorvanePage.chooseFile(UTF8ToString(accept, acceptLength), limit);
  if (!chosen) {
    return 0;
  }
  /* The browser gives the bare file name; one that could not be a name in a folder is renamed. */
  let base = chosen.name.split("/").join("_");
  if (base === "" || base === "." || base === "..") {
    base = "update-file";
  }
  if (lengthBytesUTF8(base) + 1 > nameSize) {
    return -1;
  }
  FS.writeFile(UTF8ToString(folder, folderLength) + "/" + base, chosen.bytes);
  stringToUTF8(base, name, nameSize);
  return lengthBytesUTF8(base);
});
EM_JS(void, korvane_page_open_address, (const char* address, int length), {
  KorvanePage.openAddress(UTF8ToString(address, length));
});
EM_JS(int, korvane_page_claim, (), {
  return KorvanePage.claim();
});
EM_JS(int, korvane_page_year, (), {
  return new Date().getFullYear();
});
EM_JS(void, korvane_page_quit, (), {
  KorvanePage.quit();
});
// clang-format on

namespace korvane::web::page {

namespace {

int Length(std::string_view text) {
  return static_cast<int>(text.size());
}

}  // namespace

void WaitForEvent() {
  korvane_page_wait();
}

bool TakeEvent(Event& event) {
  int values[3] = {};
  if (korvane_page_take(values) == 0) {
    return false;
  }
  event = Event{values[0], static_cast<EventKind>(values[1]), values[2]};
  return true;
}

void YieldToBrowser() {
  korvane_page_yield();
}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
  // Whole milliseconds: the browser's timers are no finer. What is left over is waited out at
  // the next deadline, so that the sum of the waits follows the deadlines.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() >= 1) {
    korvane_page_sleep(static_cast<int>(std::min<std::int64_t>(left.count(), 0x7FFFFFFF)));
  }
}

void AddTimer(int id, int intervalMs) {
  korvane_page_add_timer(id, intervalMs);
}

void CreateWindow(int window, std::string_view caption, int clientWidth, int clientHeight,
                  std::string_view icon, bool dialogFrame) {
  korvane_page_create_window(window, caption.data(), Length(caption), clientWidth, clientHeight,
                             icon.data(), Length(icon), dialogFrame ? 1 : 0);
}

void AddMenuBar(int window) {
  korvane_page_add_menu_bar(window);
}

int AddMenu(int window, std::string_view text) {
  return korvane_page_add_menu(window, text.data(), Length(text));
}

void AddMenuItem(int window, int menu, int command, std::string_view text, MenuItemKind kind,
                 bool checked, std::string_view shortcut) {
  korvane_page_add_menu_item(window, menu, command, text.data(), Length(text),
                             static_cast<int>(kind), checked ? 1 : 0, shortcut.data(),
                             Length(shortcut));
}

void AddMenuCommand(int window, int command, std::string_view text) {
  korvane_page_add_menu_command(window, command, text.data(), Length(text));
}

void SetChecked(int window, int command, bool checked) {
  korvane_page_set_checked(window, command, checked ? 1 : 0);
}

void AddControl(int window, int slot, ControlKind kind, PixelRect rect, std::string_view text,
                int flags, std::uint32_t colour, std::string_view picture) {
  korvane_page_add_control(window, slot, static_cast<int>(kind), rect.x, rect.y, rect.width,
                           rect.height, text.data(), Length(text), flags, colour, picture.data(),
                           Length(picture));
}

void SetText(int window, int slot, std::string_view text) {
  korvane_page_set_text(window, slot, text.data(), Length(text));
}

void SetColour(int window, int slot, std::uint32_t colour) {
  korvane_page_set_colour(window, slot, colour);
}

void SetBold(int window, int slot, bool bold) {
  korvane_page_set_bold(window, slot, bold ? 1 : 0);
}

void SetEnabled(int window, int slot, bool enabled) {
  korvane_page_set_enabled(window, slot, enabled ? 1 : 0);
}

void SetVisible(int window, int slot, bool visible) {
  korvane_page_set_visible(window, slot, visible ? 1 : 0);
}

void Focus(int window, int slot) {
  korvane_page_focus(window, slot);
}

void SetBarValue(int window, int slot, int value) {
  korvane_page_set_bar_value(window, slot, value);
}

void SetBarColour(int window, int slot, std::uint32_t colour) {
  korvane_page_set_bar_colour(window, slot, colour);
}

void SetKeys(int window, int defaultSlot, int cancelSlot) {
  korvane_page_set_keys(window, defaultSlot, cancelSlot);
}

void Show(int window) {
  korvane_page_show(window);
}

void Hide(int window) {
  korvane_page_hide(window);
}

bool IsVisible(int window) {
  return korvane_page_is_visible(window) != 0;
}

PixelRect Geometry(int window) {
  int values[4] = {};
  korvane_page_geometry(window, values);
  return {values[0], values[1], values[2], values[3]};
}

void MoveTo(int window, int x, int y) {
  korvane_page_move_to(window, x, y);
}

void Remove(int window) {
  korvane_page_remove(window);
}

PixelRect WorkArea() {
  return Geometry(0);
}

void ShowMessageBox(int box, int owner, std::string_view text, std::string_view title,
                    bool warning) {
  korvane_page_message_box(box, owner, text.data(), Length(text), title.data(), Length(title),
                           warning ? 1 : 0);
}

std::string ChooseFile(std::string_view accept, int limit, std::string_view folder) {
  std::vector<char> name(4096);
  const int length =
      korvane_page_choose_file(accept.data(), Length(accept), limit, folder.data(), Length(folder),
                               name.data(), static_cast<int>(name.size()));
  return length > 0 ? std::string(name.data(), static_cast<std::size_t>(length)) : std::string{};
}

void OpenAddress(std::string_view address) {
  korvane_page_open_address(address.data(), Length(address));
}

bool Claim() {
  return korvane_page_claim() != 0;
}

int CurrentYear() {
  return korvane_page_year();
}

void Quit() {
  korvane_page_quit();
}

}  // namespace korvane::web::page
