#ifndef KXSIMENDPOINT_H
#define KXSIMENDPOINT_H

#include <QObject>
#include <QString>

// One way in to the simulated device: a TCP port, a log port, a
// pseudo-terminal, the discovery port; later a boot loader. main() starts
// each and prints its description as "kxsim: <description>".
class KXSimEndpoint : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Starts serving; false with a one-line reason.
    virtual bool start(QString& error) = 0;
    // Such as "data tcp 127.0.0.1:36520" or "serial /dev/pts/7".
    virtual QString description() const = 0;

signals:
    // The endpoint moved, as a serial port does after a hang-up.
    void descriptionChanged(const QString& description);
    // Something a person watching kxsim wants to see, such as a blink
    // request; main() prints it like a description.
    void eventOccurred(const QString& text);
};

#endif // KXSIMENDPOINT_H
