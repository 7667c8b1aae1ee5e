// CMOMRvIO: the event passed to OnIO: which socket became readable, under
// which registration.
// Made by the event loop on its own thread (on its stack) for one OnIO call;
// not to be kept after OnIO returns. No locks.
#pragma once

#include <cstdint>

class CMOMRvIO {
public:
    explicit CMOMRvIO(unsigned int source, uint32_t generation = 0)
        : m_Source(source), m_Generation(generation)
    {
    }
    unsigned int Source() const { return m_Source; }
    // The generation of the registration that fired (never 0 from the loop):
    // what KRNPauseIO and KRNResumeIO take, so that a later pause or resume
    // cannot reach a newer registration of the same handle.
    uint32_t Generation() const { return m_Generation; }

private:
    unsigned int m_Source; // the socket the event is for
    uint32_t m_Generation; // its registration's generation
};
