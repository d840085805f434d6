#ifndef KXSIMUDPANSWERS_H
#define KXSIMUDPANSWERS_H

#include "KXDeviceKit.h"

#include <QByteArray>
#include <QString>
#include <QVector>

class KXSimDevice;

// One face of the device on the network. --udp-devices gives it several,
// each answering under serial numbers and a MAC address of its own.
struct KXSimUdpFace
{
    QString serial;    // of the unit on the network: the scanner or the base station
    QString mac;       // of that unit
    QString gunSerial; // of the scanner behind a base station; empty without one
};

// What discovery answers report besides the device files: kxsim's live state.
struct KXSimUdpState
{
    QString ipAddress;
    quint16 dataPort = 0;
    quint16 logPort = 0;
    bool connected = false; // a host holds a data link
    bool groupEnabled = false;
    int groupId = 0;
};

// The datagrams kxsim sends as a network device. Pure functions, no I/O.
namespace KXSimUdp {

// Damage done to discovery answers on request, for the kit's tests.
enum Malformation
{
    WellFormed = 0,
    WrongMarker = 1,       // "TARVEX" instead of "TARVEN"
    ShortPayload = 2,      // a payload of 19 bytes, announced as such
    LengthPastEnd = 3,     // an announced length one byte past the datagram
    GroupWithoutEnable = 4 // "Supp Gr=1" without "Gr En"
};
constexpr int LastMalformation = GroupWithoutEnable;

// Answers shorter than this are ignored by the kit.
constexpr int MinPayload = 20;

// The first `count` faces. Face 0 is the device itself, as its files say;
// face i adds "-" and i (four digits at least) to the serial numbers and i
// to the MAC address.
QVector<KXSimUdpFace> faces(const KXSimDevice& device, int count);

// The discovery answer of `face`: kind 0x31 for a scanner, 0x32 with "Base
// ..." fields (and "Gun ..." fields for a scanner behind it) for a base
// station; damaged as `malformation` says.
QByteArray discoveryAnswer(const KXSimDevice& device, const KXSimUdpState& state,
                           const KXSimUdpFace& face, int malformation);

// A settings result of kind `kind`: `resultKey`=result, "Serial Number" and
// "MAC Address", padded with empty fields to MinPayload bytes.
QByteArray resultAnswer(quint8 kind, const QString& resultKey, int result, const QString& serial,
                        const QString& mac);

} // namespace KXSimUdp

#endif // KXSIMUDPANSWERS_H
