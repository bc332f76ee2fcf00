#pragma once

#include <QFont>
#include <QIcon>

#include "app/Application.h"
#include "app/Forms.h"
#include "ui/qt/Forms.h"
#include "ui/qt/MainForm.h"

namespace korvane::ui {

// Builds the five Qt windows from their designs and forwards what the user does in them to the
// application: clicks, menu commands, close boxes, Esc. Every connection of the windows is made
// here.
class QtForms final : public app::FormFactory {
 public:
  // The windows use the desktop's font at a size at which their texts fit.
  QtForms();

  app::FormPtr<app::MainView> LoadMainForm(app::Application& app) override;
  app::FormPtr<app::AutoDetectView> LoadAutoDetectForm(app::Application& app) override;
  app::FormPtr<app::UpdatingView> LoadUpdatingForm(app::Application& app) override;
  app::FormPtr<app::CompleteView> LoadUpdatingCompleteForm(app::Application& app) override;
  app::FormPtr<app::InfoView> LoadInfoForm(app::Application& app) override;

  const QFont& WindowFont() const { return font_; }

 private:
  const QIcon& Icon(const app::FormDesign& design) const;

  QFont font_;
  QIcon appIcon_;
  QIcon updateIcon_;
};

// The Qt window behind a loaded view, or nullptr.
inline MainForm* QtWindow(app::MainView* view) {
  return dynamic_cast<MainForm*>(view);
}
inline AutoDetectForm* QtWindow(app::AutoDetectView* view) {
  return dynamic_cast<AutoDetectForm*>(view);
}
inline UpdatingForm* QtWindow(app::UpdatingView* view) {
  return dynamic_cast<UpdatingForm*>(view);
}
inline UpdatingCompleteForm* QtWindow(app::CompleteView* view) {
  return dynamic_cast<UpdatingCompleteForm*>(view);
}
inline InfoForm* QtWindow(app::InfoView* view) {
  return dynamic_cast<InfoForm*>(view);
}

}  // namespace korvane::ui
