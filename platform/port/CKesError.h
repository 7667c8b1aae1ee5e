// CKesError: one error report. Constructing a temporary writes the report
// ("KSX-ERROR <code> <source>:<line>[: <text>]") to the error stream and
// hands it to the installed listener; it is never thrown.
// Any thread may construct one; the listener is called on that thread, under
// the report lock (listeners must not report errors themselves).
#pragma once

class CKesError {
public:
    typedef void (*Listener)(int code, const char* source, int line, const char* text, void* context);

    CKesError(int code, const char* source, int line, const char* text);
    ~CKesError() = default;

    // Installs (or with null removes) the process's report listener.
    static void KESetListener(Listener listener, void* context);

    int Code() const { return m_Code; }

private:
    CKesError(const CKesError&) = delete;
    CKesError& operator=(const CKesError&) = delete;

    int m_Code; // the reported code, for callers that keep the temporary
};
