// CMOMRvIO: the event passed to OnIO: which socket became readable.
// Made by the event loop on its own thread (on its stack) for one OnIO call;
// not to be kept after OnIO returns. No locks.
#pragma once

class CMOMRvIO {
public:
    explicit CMOMRvIO(unsigned int source) : m_Source(source) {}
    unsigned int Source() const { return m_Source; }

private:
    unsigned int m_Source; // the socket the event is for
};
