#include "ui/win32/FormWindow.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>
#include <stdexcept>

#include "ui/win32/TestHooks.h"
#include "ui/win32/WinText.h"

namespace korvane::win32 {

namespace {

constexpr wchar_t kClassName[] = L"KorvaneForm";

DWORD FrameStyle() {
  // Fixed border, title bar and close box; no minimise or maximise box.
  return WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
}

HICON LoadIconOfSize(HINSTANCE instance, int resource, int size) {
  return static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

}  // namespace

void FormWindow::RegisterClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &FormWindow::Procedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);
}

FormWindow::FormWindow(HINSTANCE instance, const WindowStyle& style, const app::FormDesign& design,
                       int icon, HMENU menu)
    : style_(style),
      defaultButton_(design.defaultButton.value_or(-1)),
      cancelButton_(design.cancelButton.value_or(-1)) {
  const DWORD frame = FrameStyle();
  const DWORD extended = design.dialogFrame ? WS_EX_DLGMODALFRAME : 0;
  RECT bounds{0, 0, style.Pixels(design.clientWidth), style.Pixels(design.clientHeight)};
  AdjustWindowRectEx(&bounds, frame, menu != nullptr, extended);
  // Built hidden at the top left; the handlers place it when they show it.
  window_.Reset(CreateWindowExW(extended, kClassName, Wide(design.caption).c_str(), frame, 0, 0,
                                bounds.right - bounds.left, bounds.bottom - bounds.top, nullptr,
                                menu, instance, this));
  if (!window_) {
    if (menu != nullptr) {
      DestroyMenu(menu);
    }
    throw std::runtime_error("a window could not be created");
  }
  if (menu != nullptr) {
    // The menu bar may take two lines at a large font: keep the client area as designed.
    RECT client{};
    GetClientRect(window_.Get(), &client);
    RECT outer{};
    GetWindowRect(window_.Get(), &outer);
    const int missing = style.Pixels(design.clientHeight) - (client.bottom - client.top);
    if (missing != 0) {
      SetWindowPos(window_.Get(), nullptr, 0, 0, outer.right - outer.left,
                   outer.bottom - outer.top + missing, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }

  bigIcon_.Reset(LoadIconOfSize(instance, icon, GetSystemMetrics(SM_CXICON)));
  smallIcon_.Reset(LoadIconOfSize(instance, icon, GetSystemMetrics(SM_CXSMICON)));
  SendMessageW(window_.Get(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.Get()));
  SendMessageW(window_.Get(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.Get()));

  controls_.resize(static_cast<std::size_t>(design.ControlSlots()));
  for (const app::ControlDesign& spec : design.controls) {
    const int id = kFirstControlId + spec.id;
    DWORD controlStyle =
        WS_CHILD | (spec.visible ? WS_VISIBLE : 0) | (spec.enabled ? 0 : WS_DISABLED);
    const wchar_t* className = L"STATIC";
    switch (spec.kind) {
      case app::ControlKind::Label:
        controlStyle |= SS_NOPREFIX | (spec.clipped ? SS_LEFTNOWORDWRAP : SS_LEFT) |
                        (spec.link ? SS_NOTIFY : 0);
        break;
      case app::ControlKind::Button:
        className = L"BUTTON";
        controlStyle |= WS_TABSTOP | (spec.id == defaultButton_ ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        break;
      case app::ControlKind::ProgressBar:
        className = PROGRESS_CLASSW;
        break;
      case app::ControlKind::Picture:
        controlStyle |= SS_ICON | SS_REALSIZECONTROL;
        break;
    }
    const HWND control = CreateWindowExW(
        0, className, Wide(spec.text).c_str(), controlStyle, style.Pixels(spec.rect.left),
        style.Pixels(spec.rect.top), style.Pixels(spec.rect.width), style.Pixels(spec.rect.height),
        window_.Get(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(control, WM_SETFONT,
                 reinterpret_cast<WPARAM>(spec.bold ? style.boldFont : style.font), FALSE);
    if (spec.kind == app::ControlKind::ProgressBar) {
      // A themed bar ignores its colour: this one is drawn classic, in the colours it is given.
      SetWindowTheme(control, L" ", L" ");
      SendMessageW(control, PBM_SETRANGE32, 0, 100);
    }
    if (spec.kind == app::ControlKind::Picture) {
      pictureIcon_.Reset(LoadIconOfSize(instance, icon, style.Pixels(spec.rect.width)));
      SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(pictureIcon_.Get()), 0);
    }
    controls_[static_cast<std::size_t>(spec.id)] =
        ControlState{control, spec.kind, spec.colour, spec.link};
    tabOrder_.push_back(control);
  }
}

FormWindow::~FormWindow() {
  if (window_) {
    // No message reaches this object once it is going; the window goes before its icons.
    SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, 0);
    window_.Reset();
  }
}

void FormWindow::SetText(int index, std::string_view text) {
  const HWND control = Control(index);
  SetWindowTextW(control, Wide(text).c_str());
  InvalidateRect(control, nullptr, TRUE);
}

void FormWindow::SetTextColour(int index, app::Colour colour) {
  controls_.at(static_cast<std::size_t>(index)).colour = colour;
  InvalidateRect(Control(index), nullptr, TRUE);
}

void FormWindow::SetBold(int index, bool bold) {
  SendMessageW(Control(index), WM_SETFONT,
               reinterpret_cast<WPARAM>(bold ? style_.boldFont : style_.font), TRUE);
}

void FormWindow::SetEnabled(int index, bool enabled) {
  const bool focused = GetFocus() == Control(index);
  EnableWindow(Control(index), enabled ? TRUE : FALSE);
  if (focused && !enabled) {
    FocusFirstButton();
  }
}

void FormWindow::SetVisible(int index, bool visible) {
  const bool focused = GetFocus() == Control(index);
  ShowWindow(Control(index), visible ? SW_SHOWNA : SW_HIDE);
  if (focused && !visible) {
    FocusFirstButton();
  }
}

void FormWindow::Focus(int index) {
  SetFocus(Control(index));
}

void FormWindow::Show() {
  if (!IsWindowVisible(window_.Get())) {
    lastFocus_ = nullptr;  // back on the screen: the focus starts over
  }
  ShowWindow(window_.Get(), SW_SHOWNORMAL);
  SetForegroundWindow(window_.Get());
  if (!CanTakeFocus(GetFocus())) {
    FocusFirstButton();
  }
}

bool FormWindow::CanTakeFocus(HWND control) const {
  return control != nullptr && IndexOf(control) >= 0 && IsWindowEnabled(control) &&
         IsWindowVisible(control);
}

bool FormWindow::FocusFirstButton() {
  for (const HWND control : tabOrder_) {
    if (controls_[static_cast<std::size_t>(IndexOf(control))].kind == app::ControlKind::Button &&
        CanTakeFocus(control)) {
      SetFocus(control);
      return true;
    }
  }
  return false;
}

void FormWindow::Retire() {
  retired_ = true;
  ShowWindow(window_.Get(), SW_HIDE);
}

int FormWindow::IndexOf(HWND control) const {
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    if (controls_[i].window == control) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void FormWindow::PressDefault() {
  const int focused = IndexOf(GetFocus());
  if (focused >= 0 &&
      controls_[static_cast<std::size_t>(focused)].kind == app::ControlKind::Button) {
    if (IsWindowEnabled(controls_[static_cast<std::size_t>(focused)].window) && onControl) {
      onControl(focused);
    }
    return;
  }
  if (defaultButton_ >= 0 && IsWindowVisible(Control(defaultButton_)) &&
      IsWindowEnabled(Control(defaultButton_)) && onControl) {
    onControl(defaultButton_);
  }
}

LRESULT CALLBACK FormWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* created = static_cast<FormWindow*>(create->lpCreateParams);
    created->hwnd_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
  }
  auto* self = reinterpret_cast<FormWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || message == WM_NCCREATE) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->OnMessage(message, wParam, lParam);
}

LRESULT FormWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = hwnd_;
  switch (message) {
    case WM_CTLCOLORSTATIC: {
      const int index = IndexOf(reinterpret_cast<HWND>(lParam));
      const HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      const std::optional<app::Colour> colour =
          index >= 0 ? controls_[static_cast<std::size_t>(index)].colour : std::nullopt;
      SetTextColor(dc, colour ? *colour : GetSysColor(COLOR_BTNTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        if (IndexOf(GetFocus()) >= 0) {
          lastFocus_ = GetFocus();
        }
      } else if (CanTakeFocus(lastFocus_)) {
        SetFocus(lastFocus_);
      } else if (!FocusFirstButton()) {
        SetFocus(hwnd_);  // no button to take it: the window keeps the keys
      }
      return 0;
    case WM_SETCURSOR: {
      const int index = IndexOf(reinterpret_cast<HWND>(wParam));
      if (index >= 0 && controls_[static_cast<std::size_t>(index)].link) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    }
    case DM_GETDEFID:
      if (defaultButton_ >= 0) {
        return MAKELRESULT(kFirstControlId + defaultButton_, DC_HASDEFID);
      }
      return 0;
    case WM_COMMAND: {
      if (retired_) {
        return 0;
      }
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (lParam == 0) {
        // A menu item (code 0) or an accelerator (code 1).
        if (id == IDOK) {
          PressDefault();
        } else if (id == IDCANCEL) {
          if (cancelButton_ >= 0 && onControl) {
            onControl(cancelButton_);
          }
        } else if (onMenu) {
          onMenu(id);
        }
        return 0;
      }
      if (id == IDOK && code == BN_CLICKED) {
        // Enter, sent by the dialog keyboard handling.
        PressDefault();
        return 0;
      }
      if (id == IDCANCEL && code == BN_CLICKED) {
        if (cancelButton_ >= 0 && onControl) {
          onControl(cancelButton_);
        }
        return 0;
      }
      const int index = id - kFirstControlId;
      if (index >= 0 && index < static_cast<int>(controls_.size()) &&
          controls_[static_cast<std::size_t>(index)].window == reinterpret_cast<HWND>(lParam) &&
          (code == BN_CLICKED || code == STN_CLICKED) && onControl) {
        onControl(index);
      }
      return 0;
    }
    case WM_CLOSE:
      if (!retired_ && onClose) {
        onClose();
      }
      return 0;
    default:
      if (message >= WM_APP && onPrivateMessage) {
        LRESULT result = 0;
        if (onPrivateMessage(message, wParam, lParam, result)) {
          return result;
        }
      }
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace korvane::win32
