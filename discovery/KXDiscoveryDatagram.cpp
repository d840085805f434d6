#include "discovery/KXDiscoveryDatagram.h"

#include <QStringList>
#include <QtEndian>

namespace KXDiscovery {

namespace {
const char Marker[] = "TARVEN";
constexpr int MarkerSize = 6;
constexpr quint8 FixedByte = 0x10;
} // namespace

QByteArray makeDatagram(quint8 kind, const QByteArray& payload)
{
    if (payload.size() > MaxPayload)
        return QByteArray();
    QByteArray frame(HeaderSize, '\0');
    memcpy(frame.data(), Marker, MarkerSize);
    frame[6] = char(FixedByte);
    frame[7] = char(kind);
    qToBigEndian<quint32>(quint32(payload.size()), frame.data() + 8);
    frame.append(payload);
    return frame;
}

QByteArray makeDiscoveryRequest(quint16 answerPort)
{
    return makeDatagram(KindDiscover,
                        QByteArrayLiteral("Answer Port=") + QByteArray::number(answerPort) + ';');
}

bool splitDatagram(const QByteArray& datagram, quint16* code, QByteArray* payload)
{
    if (datagram.size() < HeaderSize)
        return false;
    if (qstrnicmp(datagram.constData(), Marker, MarkerSize) != 0)
        return false;
    const auto* bytes = reinterpret_cast<const uchar*>(datagram.constData());
    const quint32 length = qFromBigEndian<quint32>(bytes + 8);
    if (length > quint32(datagram.size() - HeaderSize))
        return false;
    if (code)
        *code = qFromLittleEndian<quint16>(bytes + 6);
    if (payload)
        *payload = datagram.mid(HeaderSize, int(length));
    return true;
}

KXDeviceInfoMap parseKeyValueText(const QString& text)
{
    KXDeviceInfoMap map;
    const QStringList parts = text.split(QLatin1Char(';'));
    for (const QString& part : parts) {
        const QStringList pieces = part.split(QLatin1Char('='));
        if (pieces.size() == 2)
            map.insert(pieces.at(0), pieces.at(1));
    }
    return map;
}

} // namespace KXDiscovery
