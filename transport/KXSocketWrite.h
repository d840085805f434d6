#ifndef KXSOCKETWRITE_H
#define KXSOCKETWRITE_H

#include <QAbstractSocket>

#include <cerrno>

#include <sys/socket.h>

// Writes `data` to a connected socket: straight to the system when Qt holds
// nothing queued (the system usually takes a whole frame at once), and what
// the system did not take, or any error, through Qt's buffered write. Qt's
// own path alone would arm and disarm its write notifier around every
// write, waking the socket's event loop twice for nothing. True when every
// byte was taken by the system or Qt's buffer.
inline bool kxWriteToSocket(QAbstractSocket& socket, const QByteArray& data)
{
    qint64 sent = 0;
    if (socket.bytesToWrite() == 0) {
        const auto fd = int(socket.socketDescriptor());
        while (sent < data.size()) {
            const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += n;
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
    }
    if (sent == data.size())
        return true;
    const qint64 written = socket.write(data.constData() + sent, data.size() - sent);
    socket.flush();
    return written == data.size() - sent;
}

#endif // KXSOCKETWRITE_H
