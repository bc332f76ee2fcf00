#include "ui/web/PageWindow.h"

namespace korvane::web {

namespace {

page::ControlKind KindOf(app::ControlKind kind) {
  switch (kind) {
    case app::ControlKind::Button:
      return page::ControlKind::Button;
    case app::ControlKind::ProgressBar:
      return page::ControlKind::ProgressBar;
    case app::ControlKind::Picture:
      return page::ControlKind::Picture;
    case app::ControlKind::Label:
      break;
  }
  return page::ControlKind::Label;
}

}  // namespace

PageWindow::PageWindow(int id, const app::FormDesign& design, std::string_view icon,
                       std::string_view picture)
    : id_(id) {
  page::CreateWindow(id_, design.caption, Pixels(design.clientWidth), Pixels(design.clientHeight),
                     icon, design.dialogFrame);
  for (const app::ControlDesign& control : design.controls) {
    int flags = 0;
    flags |= control.visible ? page::kVisible : 0;
    flags |= control.enabled ? page::kEnabled : 0;
    flags |= control.bold ? page::kBold : 0;
    flags |= control.link ? page::kLink : 0;
    flags |= control.clipped ? page::kNoWrap : 0;
    const page::PixelRect rect{Pixels(control.rect.left), Pixels(control.rect.top),
                               Pixels(control.rect.width), Pixels(control.rect.height)};
    const bool isPicture = control.kind == app::ControlKind::Picture;
    page::AddControl(id_, control.id, KindOf(control.kind), rect, control.text, flags,
                     control.colour.value_or(app::kBlack), isPicture ? picture : "");
  }
  page::SetKeys(id_, design.defaultButton.value_or(-1), design.cancelButton.value_or(-1));
}

PageWindow::~PageWindow() {
  Retire();
}

void PageWindow::Deliver(const page::Event& event) {
  if (retired_) {
    return;
  }
  switch (event.kind) {
    case page::EventKind::Control:
      if (onControl) {
        onControl(event.value);
      }
      break;
    case page::EventKind::Menu:
      if (onMenu) {
        onMenu(event.value);
      }
      break;
    case page::EventKind::Close:
      if (onClose) {
        onClose();
      }
      break;
    case page::EventKind::Timer:
      break;
  }
}

void PageWindow::SetText(int slot, std::string_view text) {
  if (!retired_) {
    page::SetText(id_, slot, text);
  }
}

void PageWindow::SetTextColour(int slot, app::Colour colour) {
  if (!retired_) {
    page::SetColour(id_, slot, colour);
  }
}

void PageWindow::SetBold(int slot, bool bold) {
  if (!retired_) {
    page::SetBold(id_, slot, bold);
  }
}

void PageWindow::SetEnabled(int slot, bool enabled) {
  if (!retired_) {
    page::SetEnabled(id_, slot, enabled);
  }
}

void PageWindow::SetVisible(int slot, bool visible) {
  if (!retired_) {
    page::SetVisible(id_, slot, visible);
  }
}

void PageWindow::Focus(int slot) {
  if (!retired_) {
    page::Focus(id_, slot);
  }
}

void PageWindow::Retire() {
  if (!retired_) {
    retired_ = true;
    page::Remove(id_);
  }
}

}  // namespace korvane::web
