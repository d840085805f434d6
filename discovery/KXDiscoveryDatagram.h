#ifndef KXDISCOVERYDATAGRAM_H
#define KXDISCOVERYDATAGRAM_H

#include "KXDeviceKit.h"

#include <QByteArray>
#include <QString>

// The one datagram format of discovery and of the network settings commands,
// in both directions: "TARVEN", 0x10, the message kind, the payload length
// (32-bit big-endian) and the payload, text fields "key=value" separated by
// ";". Pure functions, shared by the kit and kxsim.
namespace KXDiscovery {

constexpr quint16 DevicePort = 36510;      // where devices listen
constexpr quint16 FirstAnswerPort = 36511; // the kit's first answer port
constexpr quint16 LastAnswerPort = 36600;  // the climb (by 2) stops past this
constexpr int HeaderSize = 12;
constexpr int FrameCapacity = 2048;
constexpr int MaxPayload = FrameCapacity - HeaderSize; // 2036

// Message kinds (byte 7).
enum Kind : quint8
{
    KindSetNetwork = 0x10,
    KindSetNetworkResult = 0x11,
    KindDiscover = 0x30,
    KindDeviceInfo = 0x31,
    KindBaseInfo = 0x32,
    KindSupplement = 0x3A,
    KindSetGroup = 0x40,
    KindSetGroupResult = 0x41,
    KindBlink = 0x50,
    KindSetAlias = 0x60,
    KindSetAliasResult = 0x61,
};

// Message codes as a receiver reads them: bytes 6 and 7 as one 16-bit
// little-endian number, so byte 6 must be 0x10 for any of them to match.
constexpr quint16 messageCode(quint8 kind)
{
    return quint16(0x10 | (kind << 8));
}

// The frame of `payload` with message kind `kind`; empty when the payload
// does not fit the 2048-byte frame (more than MaxPayload bytes).
QByteArray makeDatagram(quint8 kind, const QByteArray& payload);

// The discovery request for `answerPort`: payload "Answer Port=%1;".
QByteArray makeDiscoveryRequest(quint16 answerPort);

// Reads a received frame: false when it is shorter than the header, its
// marker is not "TARVEN" (compared without regard to case) or its announced
// payload runs past the end. Bytes after the payload are ignored. No minimum
// payload length is applied here (the kit ignores answers under 20 bytes; a
// device must accept the 18-byte discovery request).
bool splitDatagram(const QByteArray& datagram, quint16* code, QByteArray* payload);

// Text fields to a map: split at ";" (empty parts kept), each part at "=";
// only parts of exactly two pieces are kept (a later key replaces an earlier
// one, an empty key counts like any other).
KXDeviceInfoMap parseKeyValueText(const QString& text);

} // namespace KXDiscovery

#endif // KXDISCOVERYDATAGRAM_H
