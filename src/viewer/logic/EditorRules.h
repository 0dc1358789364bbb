// Rules of the script editor and the failure page, without widgets: trimming trailing blanks on
// save, go-to-line answers, line moves, indentation, and the message a mismatch shows.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

namespace weftview {

// How many characters below 33 (blanks, control characters) end the line; a save removes them
// from every line but the caret's.
int TrailingBlankCount(const QString& line);

// A go-to-line answer "line[ column]", both from 1: the line part must be a number (else
// nullopt); a column that is missing or not a number is 1.
struct LinePosition {
  int Line = 1;
  int Column = 1;
  bool operator==(const LinePosition&) const = default;
};
std::optional<LinePosition> ParseGoToLine(const QString& answer);

// How many blanks Shift+Tab removes from the start of a line: two, one when it starts with only
// one, none without a leading blank.
int UnindentWidth(const QString& line);

// The message a failure shows: a mismatch's message is cut before its first ", input: ", since
// the dumps show the input instead.
QString FailureMessageText(const QString& message, bool isMismatch);

// Where in the script file the failing model node stands, as a mismatch message names it
// ("Node: 'kind' /path/model.sw:5 (ID 2)"): the file and its line from 1 (not the line within
// the model section). Nullopt when the message names no place.
struct ScriptPlace {
  QString File;
  int Line = 0;
  bool operator==(const ScriptPlace&) const = default;
};
std::optional<ScriptPlace> FailingScriptPlace(const QString& message);

// Colouring of a script line: which stretch is what.
enum class ScriptSpanKind { SectionHeader, Comment, OrderNumber, Flag, QuotedName, Operator };
struct ScriptSpan {
  qsizetype Start = 0;
  qsizetype Length = 0;
  ScriptSpanKind Kind = ScriptSpanKind::Comment;
  bool operator==(const ScriptSpan&) const = default;
};
// The coloured stretches of one line: a section header ("== Model ==") anywhere; inside a model
// section also comments, order-number prefixes, flag words (LINE, END?, WARN ...), quoted names
// and the condition operator that follows them.
QList<ScriptSpan> ScriptLineSpans(const QString& line, bool inModelSection);
// Whether a line is a section header, and whether the header opens a model section.
bool IsSectionHeader(const QString& line);
bool OpensModelSection(const QString& headerLine);

// The script text as the loader reads it: UTF-8 unless the script names another charset, with
// the code page of `charset` (empty: UTF-8). Encoding gives the bytes to write back.
QString DecodeScriptText(const std::string& bytes, const QString& charset);
std::string EncodeScriptText(const QString& text, const QString& charset);

}  // namespace weftview
