// SwCommandLine: the commands of the `skeinwork` program.
//
// SwRunCommandLine parses a command line and runs one command: model a data file with a
// script, check many files with a script (see SwCheck.h), illustrate a script's compiled model, show a script's structure, save a result tree
// to a tree file and load it back, extract node data into files, or evaluate an expression.
// Results go to `out`, errors and warnings to `err`; the answer is the exit code (0 success,
// 1 the script, model or data failed, 2 wrong usage, 3 a file could not be read or written).
// The pieces the commands share are public so that tests and other front ends can use them:
// the error report with its hex excerpts, and the reader of a run's input for previews.
#pragma once

#include <ostream>
#include <string>

#include "SwCore.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwRunner.h"
#include "SwTreeOutput.h"

namespace skeinwork {

// Exit codes of the program.
enum TSwExitCode : int {
  ecSuccess = 0,
  ecFailed = 1,      // the script, model or data failed
  ecUsage = 2,       // wrong usage
  ecFileError = 3,   // a file could not be read or written
};

// A command line the program cannot act on (a bad option value, say); exits with ecUsage.
SW_EXCEPTION(ESwUsage, ESkeinwork);

struct TSwCommandLineEnvironment {
  // Whether `err` is a terminal: the progress bar is drawn by default only then.
  bool ErrIsTerminal = false;
  // How inputs without a size (pipes, devices) are read.
  TSwReadLimits ReadLimits;
};

// Runs the program with its arguments (argv[0] is the program's name) and answers the exit code.
int SwRunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                     const TSwCommandLineEnvironment& environment = {});

// The exit code an error ends the program with: ecFileError for files that cannot be opened,
// created, read or written (EStreamError), ecUsage for ESwUsage, ecFailed otherwise.
int SwExitCodeOf(const ESkeinwork& error);

// Bytes shown on each side of a mismatch's position in the error report.
inline constexpr int64_t SwReportBytesAround = 128;

// An error's message as reports show it: a mismatch's is cut before ", input: ", as the input
// around it is shown apart (a line added after that part stays).
std::string SwReportedMessage(const ESkeinwork& error);

// Writes the report of an error: the readable class name, ": " and the reported message; then, for an error with mismatch information, the hex excerpt of
// the stream around the failure point with a "-- HERE --" marker, and the run's first input
// under "Global stream:" when that is another stream. `inputName` replaces the "<BufStream>"
// source name that the cache over the data file reports.
void SwWriteErrorReport(std::ostream& err, const ESkeinwork& error, const std::string& inputName = {});

// Reads the ranges of the streams a modelling run read, for the text form's previews.
TSwRangeReader SwRangeReaderOf(TSwmSlicer* slicer);

}  // namespace skeinwork
