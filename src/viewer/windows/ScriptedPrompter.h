// ScriptedPrompter: answers the viewer's questions from prepared answers instead of dialogs and
// records every question and message, for tests and for the screenshot program.
#pragma once

#include <QQueue>
#include <QStringList>

#include "Prompter.h"

namespace weftview {

class ScriptedPrompter : public Prompter {
 public:
  // Answers given in order; an empty queue answers Cancel, "" or nullopt, and Refuse.
  QQueue<bool> WarningAnswers;
  QQueue<FileAccessAnswer> FileAccessAnswers;
  QQueue<QString> FileAnswers;
  QQueue<QString> TextAnswers;

  // What was asked or shown, one "Kind: caption | text" line each.
  QStringList Log;

  bool ConfirmWarning(const QString& caption, const QString& text) override {
    Log << QStringLiteral("Warning: %1 | %2").arg(caption, text);
    return !WarningAnswers.isEmpty() && WarningAnswers.dequeue();
  }
  FileAccessAnswer AskFileAccess(const QString& function, const QString& path, bool write) override {
    Log << QStringLiteral("FileAccess: %1 | %2 %3").arg(function, write ? QStringLiteral("write") : QStringLiteral("read"), path);
    return FileAccessAnswers.isEmpty() ? FileAccessAnswer::Refuse : FileAccessAnswers.dequeue();
  }
  void Information(const QString& caption, const QString& text) override {
    Log << QStringLiteral("Information: %1 | %2").arg(caption, text);
  }
  void Error(const QString& caption, const QString& text) override {
    Log << QStringLiteral("Error: %1 | %2").arg(caption, text);
  }
  QString OpenFile(const FileQuestion& question) override {
    Log << QStringLiteral("OpenFile: %1 | %2").arg(question.Title, question.Filters.value(question.SelectedFilter));
    return FileAnswers.isEmpty() ? QString() : FileAnswers.dequeue();
  }
  QString SaveFile(const FileQuestion& question) override {
    Log << QStringLiteral("SaveFile: %1 | %2").arg(question.Title, question.Filters.value(question.SelectedFilter));
    return FileAnswers.isEmpty() ? QString() : FileAnswers.dequeue();
  }
  std::optional<QString> AskText(const QString& caption, const QString& prompt, const QString& initial) override {
    Log << QStringLiteral("AskText: %1 | %2 | %3").arg(caption, prompt, initial);
    if (TextAnswers.isEmpty()) return std::nullopt;
    return TextAnswers.dequeue();
  }
  QString ChooseDirectory(const QString& text, const QString& start) override {
    Log << QStringLiteral("ChooseDirectory: %1 | %2").arg(text, start);
    return FileAnswers.isEmpty() ? QString() : FileAnswers.dequeue();
  }
};

}  // namespace weftview
