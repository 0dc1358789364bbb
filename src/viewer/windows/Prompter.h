// Prompter: every question and message box of the viewer goes through this interface, so that
// tests answer from a script instead of a modal dialog. DialogPrompter asks with Qt's dialogs.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

#include "RunController.h"

class QWidget;

namespace weftview {

// A file dialog's question: its title, its filters ("Skeinwork script (*.sw)" ...), the filter
// chosen at first and the extension a typed name without one gets.
struct FileQuestion {
  QString Title;
  QStringList Filters;
  int SelectedFilter = 0;
  QString DefaultSuffix;
};

class Prompter : public RunPrompter {
 public:
  virtual void Information(const QString& caption, const QString& text) = 0;
  virtual void Error(const QString& caption, const QString& text) = 0;
  // The chosen file, or empty when the user cancelled.
  virtual QString OpenFile(const FileQuestion& question) = 0;
  // The chosen file (an existing one confirmed for overwriting), or empty.
  virtual QString SaveFile(const FileQuestion& question) = 0;
  // The text entered, or nullopt when the user cancelled.
  virtual std::optional<QString> AskText(const QString& caption, const QString& prompt, const QString& initial) = 0;
  // The chosen directory, starting at `start`, or empty.
  virtual QString ChooseDirectory(const QString& text, const QString& start) = 0;
};

class DialogPrompter : public Prompter {
 public:
  explicit DialogPrompter(QWidget* parent) : mParent(parent) {}

  bool ConfirmWarning(const QString& caption, const QString& text) override;
  FileAccessAnswer AskFileAccess(const QString& function, const QString& path, bool write) override;
  void Information(const QString& caption, const QString& text) override;
  void Error(const QString& caption, const QString& text) override;
  QString OpenFile(const FileQuestion& question) override;
  QString SaveFile(const FileQuestion& question) override;
  std::optional<QString> AskText(const QString& caption, const QString& prompt, const QString& initial) override;
  QString ChooseDirectory(const QString& text, const QString& start) override;

 private:
  QWidget* mParent;
};

}  // namespace weftview
