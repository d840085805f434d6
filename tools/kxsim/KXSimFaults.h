#ifndef KXSIMFAULTS_H
#define KXSIMFAULTS_H

#include <optional>

// How one reply misbehaves.
struct KXSimReplyFault
{
    int delayMs = 0;      // written this long after its request came
    bool silent = false;  // not written at all
    bool garbage = false; // replaced by bytes that hold no frame
    bool partial = false; // only its first half is written
    bool corrupt = false; // length-prefixed frames lose their terminator
};

// The faults of the simulated device: lasting ones, which hold until changed,
// and one-shot ones, which the next answered command uses up. Shared by every
// data link of the device.
class KXSimFaults
{
public:
    // A fault of a lasting and a one-shot form, named by its trigger tag.
    enum Kind
    {
        Delay,
        Silent,
        Garbage,
        Partial,
        Corrupt,
    };

    // The fault of the next reply; uses up the one-shot faults.
    KXSimReplyFault takeReplyFault();
    // The lasting faults alone, leaving the one-shot ones in place.
    KXSimReplyFault lastingFault() const { return m_lasting; }
    // Every fault off, lasting and one-shot.
    void clear();

    void setLasting(Kind kind, int value);
    int lasting(Kind kind) const;
    void setOnce(Kind kind, int value);

    // Each link closes after answering this many commands; 0 never.
    int closeAfter() const { return m_closeAfter; }
    void setCloseAfter(int count) { m_closeAfter = count; }

    // Discovery: while silent, every datagram is ignored, as if the device
    // had left the network.
    bool udpSilent() const { return m_udpSilent; }
    void setUdpSilent(bool silent) { m_udpSilent = silent; }
    // The damage done to discovery answers; 0 none (see KXSimUdp::Malformation).
    int udpMalformation() const { return m_udpMalformation; }
    void setUdpMalformation(int kind) { m_udpMalformation = kind; }

private:
    struct Once
    {
        std::optional<int> delayMs;
        std::optional<bool> silent;
        std::optional<bool> garbage;
        std::optional<bool> partial;
        std::optional<bool> corrupt;
    };

    KXSimReplyFault m_lasting;
    Once m_once;
    int m_closeAfter = 0;
    bool m_udpSilent = false;
    int m_udpMalformation = 0;
};

#endif // KXSIMFAULTS_H
