#ifndef KXDISCOVERYPARSE_H
#define KXDISCOVERYPARSE_H

#include "KXDeviceKit.h"

#include <QByteArray>
#include <QString>

// What a received discovery datagram asks the enumerator to do. Reading it
// is a pure function of its bytes; only the device table (for supplements)
// and the liveness clock are the enumerator's.
struct KXDiscoveryAnswer
{
    enum Action
    {
        Ignore,         // malformed, no fields, no identifier, or a code nobody reads
        NetworkChanged, // result of a network settings change: sn, mac, result
        AliasChanged,   // result of an alias change: sn, mac, result
        NetworkGroup,   // result of a network group command: sn, mac, result
        Store,          // device or base-station information: store `info`
        Supplement,     // supplementary information: merge into the stored map
    };

    Action action = Ignore;
    quint16 code = 0; // bytes 6 and 7, little-endian
    QString deviceId;
    KXDeviceInfoMap info;
    QString sn;
    QString mac;
    int result = 0;
    // The line to log for this datagram, empty when there is none.
    QString logLine;
};

namespace KXDiscovery {

// Payloads shorter than this are not answers (the discovery request itself
// has 18 bytes, so the kit never reads its own broadcasts).
constexpr int MinAnswerPayload = 20;

// Reads one received datagram: frame and length checks, the payload decoded
// with the local 8-bit code page, "Product Code" copied to "PRNQRY", the base
// station's fields copied to the plain keys before the identifier is formed
// and its attached scanner's after, and the result codes of the settings
// replies.
KXDiscoveryAnswer parseDiscoveryAnswer(const QByteArray& datagram);

// An answer of a device that supports groups ("Supp Gr" 1) but has not said
// whether its group is enabled ("Gr En") refreshes its liveness but is not
// reported.
bool passesGroupGate(const KXDeviceInfoMap& info);

// Keys already known of the device win over the supplement's; keys that only
// the supplement carries are added.
void mergeSupplement(const KXDeviceInfoMap& stored, KXDeviceInfoMap& received);

} // namespace KXDiscovery

#endif // KXDISCOVERYPARSE_H
