// KesCheck: assertions of the threading and locking rules, compiled into
// debug and sanitizer builds (KSX_CHECKS) and out of release builds.
// A failed check writes one line naming the rule and where it was broken to
// standard error and aborts, so a test can prove that a broken rule is caught.
#pragma once

#ifdef KSX_CHECKS
void KesCheckFailed(const char* rule, const char* file, int line);
#define KES_CHECK(condition, rule)                                        \
    do {                                                                  \
        if (!(condition)) KesCheckFailed(rule, __FILE__, __LINE__);       \
    } while (0)
#else
#define KES_CHECK(condition, rule) \
    do {                           \
    } while (0)
#endif
