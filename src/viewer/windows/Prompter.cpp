#include "Prompter.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace weftview {

bool DialogPrompter::ConfirmWarning(const QString& caption, const QString& text) {
  return QMessageBox::warning(mParent, caption, text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) ==
         QMessageBox::Ok;
}

FileAccessAnswer DialogPrompter::AskFileAccess(const QString& function, const QString& path, bool write) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("File access"),
                  QStringLiteral("The script's expression calls %1 to %2 the file\n\n%3\n\nAllow it?")
                      .arg(function, write ? QStringLiteral("write") : QStringLiteral("read"), path),
                  QMessageBox::NoButton, mParent);
  QPushButton* once = box.addButton(QStringLiteral("Allow once"), QMessageBox::AcceptRole);
  QPushButton* forRun = box.addButton(QStringLiteral("Allow for this run"), QMessageBox::AcceptRole);
  QPushButton* refuse = box.addButton(QStringLiteral("Refuse"), QMessageBox::RejectRole);
  box.setDefaultButton(refuse);
  box.exec();
  if (box.clickedButton() == once) return FileAccessAnswer::AllowOnce;
  if (box.clickedButton() == forRun) return FileAccessAnswer::AllowForRun;
  return FileAccessAnswer::Refuse;
}

void DialogPrompter::Information(const QString& caption, const QString& text) {
  QMessageBox::information(mParent, caption, text);
}

void DialogPrompter::Error(const QString& caption, const QString& text) { QMessageBox::critical(mParent, caption, text); }

namespace {
QFileDialog* MakeFileDialog(QWidget* parent, const FileQuestion& question) {
  auto* dialog = new QFileDialog(parent, question.Title);
  dialog->setNameFilters(question.Filters);
  if (question.SelectedFilter < question.Filters.size())
    dialog->selectNameFilter(question.Filters.at(question.SelectedFilter));
  dialog->setDefaultSuffix(question.DefaultSuffix);
  return dialog;
}
}  // namespace

QString DialogPrompter::OpenFile(const FileQuestion& question) {
  std::unique_ptr<QFileDialog> dialog(MakeFileDialog(mParent, question));
  dialog->setFileMode(QFileDialog::ExistingFile);
  return dialog->exec() == QDialog::Accepted ? dialog->selectedFiles().value(0) : QString();
}

QString DialogPrompter::SaveFile(const FileQuestion& question) {
  std::unique_ptr<QFileDialog> dialog(MakeFileDialog(mParent, question));
  dialog->setAcceptMode(QFileDialog::AcceptSave);  // asks before overwriting
  return dialog->exec() == QDialog::Accepted ? dialog->selectedFiles().value(0) : QString();
}

std::optional<QString> DialogPrompter::AskText(const QString& caption, const QString& prompt, const QString& initial) {
  bool ok = false;
  QString text = QInputDialog::getText(mParent, caption, prompt, QLineEdit::Normal, initial, &ok);
  if (!ok) return std::nullopt;
  return text;
}

QString DialogPrompter::ChooseDirectory(const QString& text, const QString& start) {
  // A title bar holds one line.
  QString title = text;
  title.replace(u'\n', u' ');
  return QFileDialog::getExistingDirectory(mParent, title, start);
}

}  // namespace weftview
