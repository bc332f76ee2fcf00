#include "app/Designs.h"

#include <algorithm>

#include "app/Texts.h"

namespace korvane::app {

namespace {

using Kind = ControlKind;
using Item = MenuItemDesign::Kind;

template <typename Control>
constexpr int Id(Control control) {
  return static_cast<int>(control);
}

// Every window but the main one has this client area.
constexpr int kFormWidth = 5250;
constexpr int kFormHeight = 1575;

// ---- MainForm -------------------------------------------------------------------------------

using M = MainControl;
constexpr ControlDesign kMainControls[] = {
    // The status line reaches far past the window's right edge and is clipped there.
    {.id = Id(M::Label1),
     .name = "Label1",
     .rect = {165, 960, 80100, 210},
     .bold = true,
     .clipped = true},
    {.id = Id(M::AutoDetectCmd),
     .name = "AutoDetectCmd",
     .kind = Kind::Button,
     .rect = {3976, 480, 1134, 294},
     .text = text::kAutoDetectButton},
    {.id = Id(M::OK),
     .name = "OK",
     .kind = Kind::Button,
     .rect = {3976, 120, 1134, 294},
     .text = text::kUpdateButton,
     .enabled = false},
    {.id = Id(M::Label0), .name = "Label0", .rect = {165, 165, 3705, 660}},
    {.id = Id(M::ResetPIC),
     .name = "ResetPIC",
     .kind = Kind::Button,
     .rect = {3976, 840, 1134, 294},
     .text = text::kResetButton},
};

// No caption carries an access key.
constexpr MenuItemDesign kFileItems[] = {
    {"mnu_Open", Item::Command, text::kOpenItem, MenuCommand::Open, 'O'},
    {"mnu_Space1", Item::Separator},
    {"mnu_Exit", Item::Command, text::kExitItem, MenuCommand::Exit, 'Q'},
};
constexpr MenuItemDesign kMenuItems[] = {
    {"mnu_FLASH", Item::Check, text::kFlashItem, MenuCommand::FLASH, 0, true},
    {"mnu_EEDATA", Item::Check, text::kEedataItem, MenuCommand::EEDATA},
    {"mnu_CONFIG", Item::Check, text::kConfigItem, MenuCommand::CONFIG},
    {"mnu_USERID", Item::Check, text::kUserIdItem, MenuCommand::USERID},
    {"mnu_Space2", Item::Separator},
    {"mnu_Repeate", Item::Check, text::kRepeateItem, MenuCommand::Repeate, 0, true},
};
constexpr MenuDesign kMainMenus[] = {
    {"mnu_File", text::kFileMenu, kFileItems},
    {"mnu_Menu", text::kMenuMenu, kMenuItems},
    {"mnu_About", text::kAboutItem, {}, MenuCommand::About},
};

// ---- AutoDetectForm -------------------------------------------------------------------------

using S = AutoDetectControl;
constexpr ControlDesign kAutoDetectControls[] = {
    {.id = Id(S::Label1), .name = "Label1", .rect = {168, 168, 4886, 210}},
    {.id = Id(S::Label2),
     .name = "Label2",
     .rect = {168, 504, 4886, 210},
     .text = text::kSearching},
    // One place for both: exactly one of them shows once the search has begun.
    {.id = Id(S::AbortCmd),
     .name = "AbortCmd",
     .kind = Kind::Button,
     .rect = {3920, 784, 1190, 294},
     .text = text::kAbortButton,
     .visible = false},
    {.id = Id(S::OKCmd),
     .name = "OKCmd",
     .kind = Kind::Button,
     .rect = {3920, 784, 1190, 294},
     .text = text::kOKButton,
     .visible = false},
};

// ---- UpdatingForm ---------------------------------------------------------------------------

using U = UpdatingControl;
constexpr ControlDesign kUpdatingControls[] = {
    {.id = Id(U::AbortCmd),
     .name = "AbortCmd",
     .kind = Kind::Button,
     .rect = {3920, 784, 1190, 308},
     .text = text::kAbortButton},
    {.id = Id(U::Label2), .name = "Label2", .rect = {168, 504, 4886, 196}},
    {.id = Id(U::Label1), .name = "Label1", .rect = {168, 196, 4886, 196}},
    {.id = Id(U::UpdatingBar),
     .name = "UpdatingBar",
     .kind = Kind::ProgressBar,
     .rect = {112, 812, 3738, 210}},
};

// ---- UpdatingCompleteForm -------------------------------------------------------------------

using R = CompleteControl;
constexpr ControlDesign kCompleteControls[] = {
    {.id = Id(R::OKCmd),
     .name = "OKCmd",
     .kind = Kind::Button,
     .rect = {3920, 784, 1190, 298},
     .text = text::kOKButton},
    {.id = Id(R::Label2), .name = "Label2", .rect = {168, 504, 4886, 196}},
    {.id = Id(R::Label1),
     .name = "Label1",
     .rect = {168, 196, 4886, 196},
     .bold = true,
     .colour = kGreen},
};

// ---- InfoForm -------------------------------------------------------------------------------

using I = InfoControl;
constexpr ControlDesign kInfoControls[] = {
    {.id = Id(I::cmdOK),
     .name = "cmdOK",
     .kind = Kind::Button,
     .rect = {3976, 812, 1134, 294},
     .text = text::kOKButton},
    {.id = Id(I::picIcon), .name = "picIcon", .kind = Kind::Picture, .rect = {240, 448, 480, 480}},
    // The three labels run on to the right as far as the window allows, so that the version
    // line, the rights notice and the shop address are not cut off at a desktop font.
    {.id = Id(I::Label1), .name = "Label1", .rect = {1170, 195, 3880, 195}},
    {.id = Id(I::Label3),
     .name = "Label3",
     .rect = {1200, 870, 2700, 210},
     .text = text::kShopAddress,
     .colour = kLinkBlue,
     .link = true},
    {.id = Id(I::Label2), .name = "Label2", .rect = {1200, 585, 3850, 195}, .colour = kBlack},
};

// In FormId order.
constexpr FormDesign kDesigns[] = {
    {.id = FormId::Main,
     .name = "MainForm",
     .caption = text::kMainCaption,
     .clientWidth = 5250,
     .clientHeight = 1275,
     .controls = kMainControls,
     .menus = kMainMenus},
    {.id = FormId::AutoDetect,
     .name = "AutoDetectForm",
     .caption = text::kAutoDetectCaption,
     .clientWidth = kFormWidth,
     .clientHeight = kFormHeight,
     .controls = kAutoDetectControls},
    {.id = FormId::Updating,
     .name = "UpdatingForm",
     .caption = text::kUpdatingCaption,
     .clientWidth = kFormWidth,
     .clientHeight = kFormHeight,
     .icon = FormIcon::Update,
     .controls = kUpdatingControls},
    {.id = FormId::UpdatingComplete,
     .name = "UpdatingCompleteForm",
     .caption = text::kCompleteCaption,
     .clientWidth = kFormWidth,
     .clientHeight = kFormHeight,
     .icon = FormIcon::Update,
     .controls = kCompleteControls},
    // OK is the default and the cancel button: Enter and Esc both press it.
    {.id = FormId::Info,
     .name = "InfoForm",
     .caption = text::kAboutCaption,
     .clientWidth = kFormWidth,
     .clientHeight = kFormHeight,
     .dialogFrame = true,
     .controls = kInfoControls,
     .defaultButton = Id(I::cmdOK),
     .cancelButton = Id(I::cmdOK)},
};

}  // namespace

const ControlDesign* FormDesign::Find(int control) const {
  const auto found = std::find_if(controls.begin(), controls.end(),
                                  [control](const ControlDesign& c) { return c.id == control; });
  return found == controls.end() ? nullptr : &*found;
}

int FormDesign::ControlSlots() const {
  int slots = 0;
  for (const ControlDesign& control : controls) {
    slots = std::max(slots, control.id + 1);
  }
  return slots;
}

std::span<const FormDesign> Designs() {
  return kDesigns;
}

const FormDesign& DesignOf(FormId form) {
  return kDesigns[static_cast<std::size_t>(form)];
}

}  // namespace korvane::app
