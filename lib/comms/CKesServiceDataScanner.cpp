#include "CKesServiceDataScanner.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "CKesError.h"
#include "KesErrorCodes.h"

std::atomic<int> KesServiceDataLineNo{1};

CKesServiceDataScanner::CKesServiceDataScanner() : m_Text(nullptr), m_TextLength(0), m_ReadPos(nullptr) {}

CKesServiceDataScanner::CKesServiceDataScanner(char const* text, int length)
    : m_Text(nullptr), m_TextLength(0), m_ReadPos(nullptr)
{
    if (!text || length < 0) length = 0;
    // One spare byte so that even an empty text has a block of its own.
    m_Text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (!m_Text) {
        CKesError(KES_ERR_ALLOCATION, "CKesServiceDataScanner", 102, "Failed CKesServiceDataFlexLexer()");
        return;
    }
    if (length > 0) memcpy(m_Text, text, static_cast<size_t>(length));
    m_Text[length] = '\0';
    m_TextLength = length;
    m_ReadPos = m_Text;
    // A scanner buffer that holds the whole text, taken in one read, so that
    // flex never refills inside a word (see KesServiceData.l): scanning stays
    // linear in the text's length whatever the length of its lines and words.
    // Two bytes spare: the refill after the last word must find room.
    if (length <= INT_MAX - 2) yy_switch_to_buffer(yy_create_buffer(yyin, length + 2));
}

CKesServiceDataScanner::~CKesServiceDataScanner() { free(m_Text); }

int CKesServiceDataScanner::LexerInput(char* buffer, int maxSize)
{
    if (!m_Text) return 0;
    long left = static_cast<long>(m_Text + m_TextLength - m_ReadPos);
    int count = left < maxSize ? static_cast<int>(left) : maxSize;
    if (count < 1) return count;
    memcpy(buffer, m_ReadPos, static_cast<size_t>(count));
    m_ReadPos += count;
    return count;
}

void CKesServiceDataScanner::KSDSRestart()
{
    yy_buffer_state* current = yy_buffer_stack ? yy_buffer_stack[yy_buffer_stack_top] : nullptr;
    if (!current) return;
    // Detach the stream: the input comes from LexerInput, never from yyin.
    yyin.rdbuf(nullptr);
    yy_init_buffer(current, yyin);
    yy_load_buffer_state();
}
