#include "CtlOutputCapture.h"

#include <unistd.h>

CtlOutputCapture::CtlOutputCapture()
{
    std::fflush(stdout);
    std::fflush(stderr);
    m_File = std::tmpfile();
    if (!m_File) return;
    m_SavedOut = dup(STDOUT_FILENO);
    m_SavedErr = dup(STDERR_FILENO);
    const int fd = fileno(m_File);
    if (m_SavedOut < 0 || m_SavedErr < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0)
        Restore();
}

CtlOutputCapture::~CtlOutputCapture()
{
    Restore();
    if (m_File) std::fclose(m_File);
}

std::string CtlOutputCapture::Finish()
{
    std::fflush(stdout);
    std::fflush(stderr);
    const bool diverted = m_SavedOut >= 0 && m_SavedErr >= 0;
    Restore();
    if (!m_File || !diverted) return "";
    std::string text;
    std::rewind(m_File);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, m_File)) > 0) text.append(buffer, got);
    return text;
}

void CtlOutputCapture::Restore()
{
    if (m_SavedOut >= 0) {
        dup2(m_SavedOut, STDOUT_FILENO);
        close(m_SavedOut);
        m_SavedOut = -1;
    }
    if (m_SavedErr >= 0) {
        dup2(m_SavedErr, STDERR_FILENO);
        close(m_SavedErr);
        m_SavedErr = -1;
    }
}
