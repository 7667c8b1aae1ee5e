// CMOMRvIO: the event passed to OnIO: which socket became readable.
// Made by the event loop on its own thread for one call; not kept.
#pragma once

class CMOMRvIO {
public:
    explicit CMOMRvIO(unsigned int source) : m_Source(source) {}
    unsigned int Source() const { return m_Source; }

private:
    unsigned int m_Source; // the socket the event is for
};
