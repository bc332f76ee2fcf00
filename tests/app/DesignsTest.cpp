// The window designs against the handlers: every click a handler waits for can happen, every
// button and menu command does something, Enter and Esc press buttons that are there, and what
// the front ends forward reaches its handler.

#include <algorithm>
#include <set>
#include <string>

#include "app/Designs.h"
#include "tests/app/AppTestSupport.h"

namespace korvane::app::test {
namespace {

template <typename Control>
int Id(Control control) {
  return static_cast<int>(control);
}

bool Clickable(const ControlDesign& control) {
  return control.kind == ControlKind::Button || control.link;
}

TEST(DesignsTest, EveryClickHandlerHasItsControlAndEveryClickableControlItsHandler) {
  const auto handlers = Application::ControlHandlers();
  for (const Application::ControlHandler& handler : handlers) {
    const ControlDesign* control = DesignOf(handler.form).Find(handler.control);
    ASSERT_NE(control, nullptr) << DesignOf(handler.form).name << " #" << handler.control;
    EXPECT_TRUE(Clickable(*control)) << control->name;
  }
  for (const FormDesign& form : Designs()) {
    for (const ControlDesign& control : form.controls) {
      const auto handled = std::count_if(handlers.begin(), handlers.end(), [&](const auto& h) {
        return h.form == form.id && h.control == control.id;
      });
      EXPECT_EQ(handled, Clickable(control) ? 1 : 0) << form.name << "." << control.name;
    }
  }
}

TEST(DesignsTest, EachWindowDrawsEveryControlOnceAndItsKeysPressButtons) {
  for (const FormDesign& form : Designs()) {
    SCOPED_TRACE(std::string(form.name));
    EXPECT_EQ(&DesignOf(form.id), &form);
    // Numbered 0 to n-1 without a gap or a twin: every name of the window's enum is drawn.
    std::set<int> ids;
    std::set<std::string_view> names;
    for (const ControlDesign& control : form.controls) {
      ids.insert(control.id);
      names.insert(control.name);
    }
    EXPECT_EQ(ids.size(), form.controls.size());
    EXPECT_EQ(names.size(), form.controls.size());
    EXPECT_EQ(form.ControlSlots(), static_cast<int>(form.controls.size()));
    for (const std::optional<int> key : {form.defaultButton, form.cancelButton}) {
      if (key) {
        const ControlDesign* button = form.Find(*key);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->kind, ControlKind::Button);
        EXPECT_TRUE(button->visible && button->enabled);
      }
    }
  }
}

TEST(DesignsTest, EveryMenuCommandIsOnTheMenusOnceWithItsHandler) {
  std::vector<MenuCommand> shown;
  std::set<char> shortcuts;
  for (const MenuDesign& menu : DesignOf(FormId::Main).menus) {
    if (menu.items.empty()) {
      shown.push_back(menu.command);
    }
    for (const MenuItemDesign& item : menu.items) {
      if (item.kind != MenuItemDesign::Kind::Separator) {
        shown.push_back(item.command);
      }
      if (item.shortcut != 0) {
        EXPECT_TRUE(shortcuts.insert(item.shortcut).second) << item.name;
      }
    }
  }
  const auto handlers = Application::MenuHandlers();
  for (int i = 0; i < kMenuCommandCount; ++i) {
    const auto command = static_cast<MenuCommand>(i);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), command), 1) << i;
    EXPECT_EQ(std::count_if(handlers.begin(), handlers.end(),
                            [command](const auto& h) { return h.command == command; }),
              1)
        << i;
  }
}

TEST(DesignsTest, ForwardedEventsReachTheirHandlers) {
  AppFixture f;
  f.app->OnControl(FormId::Main, Id(MainControl::Label0));  // a label runs nothing
  EXPECT_TRUE(f.ui.autoDetects.empty());
  f.app->OnControl(FormId::Main, Id(MainControl::AutoDetectCmd));
  ASSERT_NE(f.app->AutoDetect(), nullptr);
  EXPECT_TRUE(f.app->DeviceConnected());
  f.app->OnClose(FormId::AutoDetect);
  EXPECT_EQ(f.app->AutoDetect(), nullptr);
  f.app->OnMenu(MenuCommand::About);
  ASSERT_NE(f.app->Info(), nullptr);
  f.app->OnControl(FormId::Info, Id(InfoControl::Label3));
  EXPECT_EQ(f.ui.addresses.size(), 1u);
  f.app->OnClose(FormId::Info);
  EXPECT_EQ(f.app->Info(), nullptr);
  f.app->OnClose(FormId::Main);
  EXPECT_TRUE(f.app->Ended());
}

}  // namespace
}  // namespace korvane::app::test
