// KesCheck: assertions of the threading and locking rules, compiled into
// debug and sanitizer builds (KSX_CHECKS) and out of release builds.
// A failed check writes one line naming the rule and where it was broken to
// standard error and aborts, so a test can prove that a broken rule is caught.
#pragma once

#ifdef KSX_CHECKS
void KesCheckFailed(const char* rule, const char* file, int line);
#define KES_CHECK(condition, rule)                                                                           \
    do {                                                                                                     \
        if (!(condition)) KesCheckFailed(rule, __FILE__, __LINE__);                                          \
    } while (0)
#else
// Compiled out: neither argument is evaluated, but both are still compiled,
// so a check cannot rot and what it names does not look unused.
#define KES_CHECK(condition, rule)                                                                           \
    do {                                                                                                     \
        (void)sizeof(!(condition));                                                                          \
        (void)sizeof(rule);                                                                                  \
    } while (0)
#endif
