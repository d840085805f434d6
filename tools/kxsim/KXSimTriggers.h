#ifndef KXSIMTRIGGERS_H
#define KXSIMTRIGGERS_H

#include <QByteArray>

class KXSimDevice;

// What a trigger frame asks of the link it came on.
struct KXSimActions
{
    bool close = false; // hang up at once, without a reply
    int barcodes = 0;
    int messages = 0;
    int mixed = 0;
    int logLines = 0;        // already added to the log
    bool bootLoader = false; // the link switches to the boot loader
};

// The simulator-only commands: command text whose first command has the tag
// "SIM". kxsim answers them itself, before the offline engine sees them.
// Text is expanded like the engine's (";" separates commands, "," repeats
// the tag), and the reply is built the same way: the name, the value now in
// force and ACK; ENQ for an unknown command; NAK for a bad parameter. One
// frame may ask for at most KXSimDevice::MaxDataPerFrame of unsolicited data
// and 100,000 log lines; an item past that is answered NAK.
class KXSimTriggers
{
public:
    static bool isTriggerText(const QByteArray& text);

    // Applies every command of `text` to the device, fills `actions` and
    // returns the reply text.
    static QByteArray apply(const QByteArray& text, KXSimDevice& device, KXSimActions& actions);
};

#endif // KXSIMTRIGGERS_H
