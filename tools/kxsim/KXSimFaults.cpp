#include "KXSimFaults.h"

KXSimReplyFault KXSimFaults::takeReplyFault()
{
    KXSimReplyFault fault = m_lasting;
    fault.delayMs = m_once.delayMs.value_or(fault.delayMs);
    fault.silent = m_once.silent.value_or(fault.silent);
    fault.garbage = m_once.garbage.value_or(fault.garbage);
    fault.partial = m_once.partial.value_or(fault.partial);
    fault.corrupt = m_once.corrupt.value_or(fault.corrupt);
    m_once = Once();
    return fault;
}

void KXSimFaults::clear()
{
    m_lasting = KXSimReplyFault();
    m_once = Once();
    m_closeAfter = 0;
    m_udpSilent = false;
    m_udpMalformation = 0;
}

void KXSimFaults::setLasting(Kind kind, int value)
{
    switch (kind) {
    case Delay:
        m_lasting.delayMs = value;
        break;
    case Silent:
        m_lasting.silent = value != 0;
        break;
    case Garbage:
        m_lasting.garbage = value != 0;
        break;
    case Partial:
        m_lasting.partial = value != 0;
        break;
    case Corrupt:
        m_lasting.corrupt = value != 0;
        break;
    }
}

int KXSimFaults::lasting(Kind kind) const
{
    switch (kind) {
    case Delay:
        return m_lasting.delayMs;
    case Silent:
        return m_lasting.silent;
    case Garbage:
        return m_lasting.garbage;
    case Partial:
        return m_lasting.partial;
    case Corrupt:
        return m_lasting.corrupt;
    }
    return 0;
}

void KXSimFaults::setOnce(Kind kind, int value)
{
    switch (kind) {
    case Delay:
        m_once.delayMs = value;
        break;
    case Silent:
        m_once.silent = value != 0;
        break;
    case Garbage:
        m_once.garbage = value != 0;
        break;
    case Partial:
        m_once.partial = value != 0;
        break;
    case Corrupt:
        m_once.corrupt = value != 0;
        break;
    }
}
