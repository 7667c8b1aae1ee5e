// The commands of ksxctl and what they share: exit statuses, the one-line
// error report and the help texts. Each Run... reads the words after the
// command name (argv[2..]) and returns the process's exit status.
// Called on the main thread only.
#pragma once

#include <string>

constexpr int kCtlOk = 0;       // done
constexpr int kCtlError = 1;    // wrong use, unreadable or unusable configuration
constexpr int kCtlNoAnswer = 2; // nothing answered within the time-out

// Writes "ksxctl[ COMMAND]: MESSAGE" on standard error and returns status.
int CtlFail(const std::string& command, const std::string& message, int status = kCtlError);
// The same for a mistake on the command line, pointing at the help.
int CtlUsageError(const std::string& command, const std::string& message);
// Writes the help of one command (or of the tool for "") on standard output.
void CtlPrintHelp(const std::string& command);

int CtlRunList(int argc, char** argv);
int CtlRunCheck(int argc, char** argv);
int CtlRunPrune(int argc, char** argv);
int CtlRunProbe(int argc, char** argv);
int CtlRunSend(int argc, char** argv);
int CtlRunListen(int argc, char** argv);
int CtlRunKey(int argc, char** argv);
