#include "KXSimTriggers.h"

#include "KXSimBootLoader.h"
#include "KXSimDevice.h"
#include "KXSimFrames.h"
#include "KXSimUdpAnswers.h"
#include "datastream/KXDataStreamInternal.h"

namespace {

constexpr int kMaxMs = 600000;
constexpr int kMaxCount = 100000;
// Shortest log tick, so that a stream cannot swamp the event loop.
constexpr int kMinLogStreamMs = 10;

const QByteArray kTag("SIM");

bool readNumber(const QByteArray& text, int minimum, int maximum, int& value)
{
    if (text.isEmpty() || text.size() > 9)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    value = text.toInt();
    return value >= minimum && value <= maximum;
}

// Switches: empty or 1 on, 0 off.
bool readSwitch(const QByteArray& text, int& value)
{
    if (text.isEmpty()) {
        value = 1;
        return true;
    }
    return readNumber(text, 0, 1, value);
}

bool faultKind(const QByteArray& subTag, KXSimFaults::Kind& kind)
{
    static const struct
    {
        const char* subTag;
        KXSimFaults::Kind kind = KXSimFaults::Delay;
    } kinds[] = {
        {"DLY", KXSimFaults::Delay},   {"SIL", KXSimFaults::Silent},  {"GRB", KXSimFaults::Garbage},
        {"PRT", KXSimFaults::Partial}, {"CRP", KXSimFaults::Corrupt},
    };
    for (const auto& entry : kinds) {
        if (subTag == entry.subTag) {
            kind = entry.kind;
            return true;
        }
    }
    return false;
}

bool readFaultValue(KXSimFaults::Kind kind, const QByteArray& text, int& value)
{
    return kind == KXSimFaults::Delay ? readNumber(text, 0, kMaxMs, value)
                                      : readSwitch(text, value);
}

// Count of an action: empty means 1.
bool readCount(const QByteArray& text, int& value)
{
    if (text.isEmpty()) {
        value = 1;
        return true;
    }
    return readNumber(text, 1, kMaxCount, value);
}

enum class Outcome
{
    Done,
    Bad,
    Unknown,
};

// One command; `value` becomes what the reply shows before ACK.
Outcome applyCommand(const QByteArray& subTag, const QByteArray& parameter, KXSimDevice& device,
                     KXSimActions& actions, QByteArray& value)
{
    KXSimFaults& faults = device.faults();
    const bool query = parameter == "*";
    int number = 0;
    KXSimFaults::Kind kind = KXSimFaults::Delay;

    if (faultKind(subTag, kind)) {
        if (!query) {
            if (!readFaultValue(kind, parameter, number))
                return Outcome::Bad;
            faults.setLasting(kind, number);
        }
        value = QByteArray::number(faults.lasting(kind));
        return Outcome::Done;
    }
    if (subTag == "ONE") {
        if (!faultKind(parameter.left(3), kind) || !readFaultValue(kind, parameter.mid(3), number))
            return Outcome::Bad;
        faults.setOnce(kind, number);
        value = parameter.left(3) + QByteArray::number(number);
        return Outcome::Done;
    }
    if (subTag == "CLA" || subTag == "GAP" || subTag == "LOG") {
        if (!query) {
            if (!readNumber(parameter, 0, subTag == "CLA" ? kMaxCount : kMaxMs, number) ||
                (subTag == "LOG" && number > 0 && number < kMinLogStreamMs))
                return Outcome::Bad;
            if (subTag == "CLA")
                faults.setCloseAfter(number);
            else if (subTag == "GAP")
                device.setGapMs(number);
            else
                device.setLogStreamMs(number);
        }
        number = subTag == "CLA"   ? faults.closeAfter()
                 : subTag == "GAP" ? device.gapMs()
                                   : device.logStreamMs();
        value = QByteArray::number(number);
        return Outcome::Done;
    }
    if (subTag == "USL" || subTag == "UMF") {
        const bool silent = subTag == "USL";
        if (!query) {
            if (silent ? !readSwitch(parameter, number)
                       : !readNumber(parameter, 0, KXSimUdp::LastMalformation, number))
                return Outcome::Bad;
            if (silent)
                faults.setUdpSilent(number != 0);
            else
                faults.setUdpMalformation(number);
        }
        value = QByteArray::number(silent ? int(faults.udpSilent()) : faults.udpMalformation());
        return Outcome::Done;
    }
    if (subTag == "BAR" || subTag == "MSG" || subTag == "MIX" || subTag == "LGL") {
        if (!readCount(parameter, number))
            return Outcome::Bad;
        // The limits hold per frame, not per item: an item past them is
        // refused and changes nothing.
        KXSimActions wanted = actions;
        int& count = subTag == "BAR"   ? wanted.barcodes
                     : subTag == "MSG" ? wanted.messages
                     : subTag == "MIX" ? wanted.mixed
                                       : wanted.logLines;
        count += number;
        if (wanted.logLines > kMaxCount ||
            !device.fitsOneFrame(wanted.barcodes, wanted.messages, wanted.mixed))
            return Outcome::Bad;
        actions = wanted;
        if (subTag == "LGL")
            device.addLogLines(number);
        value = QByteArray::number(number);
        return Outcome::Done;
    }
    if (subTag == "BFT") {
        if (!query) {
            if (!readNumber(parameter, 0, KXSimBootLoader::LastFault, number))
                return Outcome::Bad;
            device.boot().fault = number;
        }
        value = QByteArray::number(device.boot().fault);
        return Outcome::Done;
    }
    if (subTag == "BTL") {
        if (!parameter.isEmpty())
            return Outcome::Bad;
        actions.bootLoader = true;
        return Outcome::Done;
    }
    if (subTag == "CLS" || subTag == "RST") {
        if (!parameter.isEmpty())
            return Outcome::Bad;
        if (subTag == "CLS")
            actions.close = true;
        else {
            faults.clear();
            device.boot().fault = KXSimBootLoader::NoFault;
        }
        return Outcome::Done;
    }
    return Outcome::Unknown;
}

} // namespace

bool KXSimTriggers::isTriggerText(const QByteArray& text)
{
    return text.startsWith(kTag);
}

QByteArray KXSimTriggers::apply(const QByteArray& text, KXSimDevice& device, KXSimActions& actions)
{
    QByteArray reply;
    bool first = true;
    for (const QByteArray& command : simCommands(text)) {
        const QByteArray name = command.left(6);
        const QByteArray parameter = command.mid(6);
        const bool sameTag = name.startsWith(kTag);
        if (first)
            reply += name;
        else if (sameTag)
            reply += ',' + name.mid(3);
        else
            reply += ';' + name;
        first = false;

        if (!sameTag || name.size() != 6) {
            // Only simulator commands here; the engine never sees this text.
            reply += kDataStreamEnq;
            continue;
        }
        QByteArray value;
        switch (applyCommand(name.mid(3), parameter, device, actions, value)) {
        case Outcome::Done:
            reply += value + kDataStreamAck;
            break;
        case Outcome::Bad:
            reply += parameter + kDataStreamNak;
            break;
        case Outcome::Unknown:
            reply += kDataStreamEnq;
            break;
        }
        device.log(QStringLiteral("trigger %1").arg(QString::fromLatin1(command)));
    }
    return reply;
}
