// CtlOutputCapture: diverts the process's standard output and error (file
// descriptors 1 and 2) into a private temporary file while the library does
// something whose own reports the tool wants to read and explain itself
// (the service file parser prints its syntax report on standard output).
// Created on the stack around one library call and destroyed right after;
// the descriptors are restored at Finish or destruction.
// Threads: only while no other thread of the process writes (before any
// engine exists). Locks: none.
#pragma once

#include <cstdio>
#include <string>

class CtlOutputCapture {
public:
    // Starts diverting; when that is impossible nothing is diverted and
    // Finish returns "".
    CtlOutputCapture();
    ~CtlOutputCapture();

    // Restores both descriptors and returns everything written meanwhile.
    std::string Finish();

private:
    CtlOutputCapture(const CtlOutputCapture&) = delete;
    CtlOutputCapture& operator=(const CtlOutputCapture&) = delete;

    void Restore();

    FILE* m_File = nullptr; // the temporary file (deleted when closed)
    int m_SavedOut = -1;    // duplicate of the original descriptor 1
    int m_SavedErr = -1;    // duplicate of the original descriptor 2
};
