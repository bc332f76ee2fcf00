#pragma once

#include <QString>
#include <QUrl>

class QWidget;

namespace korvane::ui {

enum class MessageIcon { None, Warning };

// Everything the windows need from the desktop. The programs use QtPlatform; the tests answer
// these calls themselves.
class Platform {
 public:
  virtual ~Platform() = default;

  // A modal message box with an OK button; returns when the user has closed it.
  virtual void ShowMessageBox(QWidget* owner, const QString& text, const QString& title,
                              MessageIcon icon) = 0;
  // The open-file dialog. Returns the chosen file's full path, or an empty text on cancel.
  // An empty directory leaves the start folder to the dialog.
  virtual QString GetOpenFileName(QWidget* owner, const QString& title, const QString& filter,
                                  const QString& directory) = 0;
  // Opens a web address in the desktop's browser. Failures go unnoticed.
  virtual void OpenUrl(QWidget* owner, const QUrl& url) = 0;
  // Claims the one running copy per user. False when another running copy holds the claim.
  virtual bool ClaimSingleInstance() = 0;
};

}  // namespace korvane::ui
