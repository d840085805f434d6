#include "KXSimSession.h"

#include "KXSimBootLoader.h"
#include "KXSimDevice.h"
#include "KXSimFrames.h"
#include "KXSimLink.h"
#include "KXSimLog.h"
#include "KXSimTriggers.h"

namespace {

// Pause inside a message written in two pieces.
constexpr int kSplitGapMs = 20;

} // namespace

KXSimSession::KXSimSession(KXSimDevice& device, KXSimLink* link, Greet greet, QObject* parent)
    : QObject(parent), m_device(device), m_link(link), m_output(link), m_peer(link->peerName())
{
    m_link->setParent(this);
    connect(m_link, &KXSimLink::received, this, &KXSimSession::onReceived);
    connect(m_link, &KXSimLink::closed, this, &KXSimSession::onClosed);
    // Queued: output drains from inside link and timer handlers.
    connect(&m_output, &KXSimOutput::drained, this, &KXSimSession::takeFrames,
            Qt::QueuedConnection);
    m_device.log(QStringLiteral("link opened: %1").arg(m_peer));
    if (m_device.boot().atStart)
        enterBootLoader();
    else if (greet == Greet::Now)
        this->greet();
}

void KXSimSession::onReceived(const QByteArray& bytes)
{
    if (m_hangingUp)
        return;
    // A host's upgrade escape (7E 00 00 then "~upGrade~" or "~upDate~")
    // takes the link into the boot loader, as on a real device.
    if (!m_boot && bytes.startsWith(QByteArray("\x7e\x00\x00", 3)))
        enterBootLoader();
    if (m_boot) {
        m_boot->receive(bytes);
        return;
    }
    if (!m_greeted)
        greet();
    m_reader.append(bytes);
    takeFrames();
}

void KXSimSession::takeFrames()
{
    KXSimHostFrame frame;
    while (!m_hangingUp && !m_output.isBackedUp() && m_reader.takeFrame(frame))
        handleFrame(frame);
    // A host that asks faster than it reads waits until its output drains.
    m_link->setReadingPaused(m_output.isBackedUp());
}

void KXSimSession::onClosed()
{
    m_device.log(QStringLiteral("link closed: %1").arg(m_peer));
    emit finished();
}

void KXSimSession::handleFrame(const KXSimHostFrame& frame)
{
    qCDebug(lcSim) << m_peer << "frame" << frame.frame.toHex(' ');
    // The keep-alive only shows that the host is there: no reply.
    if (frame.text == "KEPALV") {
        m_device.log(QStringLiteral("keep-alive from %1").arg(m_peer));
        return;
    }
    m_device.log(QStringLiteral("command from %1: %2")
                     .arg(m_peer, QString::fromLatin1(frame.text.left(64))));
    if (KXSimTriggers::isTriggerText(frame.text))
        answerTriggers(frame);
    else
        answerCommands(frame, frame.text == "INTERF*");
}

void KXSimSession::answerTriggers(const KXSimHostFrame& frame)
{
    KXSimActions actions;
    const QByteArray replyText = KXSimTriggers::apply(frame.text, m_device, actions);
    if (actions.close) {
        m_hangingUp = true;
        m_output.queueClose();
        return;
    }
    // Triggers are always answered at once and whole, so the host knows they
    // hold before it sends the next command.
    m_output.queueReply(simReplyFrame(frame.protocol, replyText));
    if (actions.bootLoader) {
        enterBootLoader();
        return;
    }
    queueBarcodes(actions.barcodes);
    queueMessages(actions.messages);
    queueMixed(actions.mixed);
}

void KXSimSession::answerCommands(const KXSimHostFrame& frame, bool idleProbe)
{
    QByteArray replyText;
    if (!m_device.answerText(frame.text, replyText))
        return;
    QByteArray reply = simReplyFrame(frame.protocol, replyText);

    // The idle probe must not use up a one-shot fault meant for a command.
    const KXSimReplyFault fault =
        idleProbe ? m_device.faults().lastingFault() : m_device.faults().takeReplyFault();

    if (!fault.silent) {
        if (fault.corrupt)
            simCorruptFrame(reply);
        if (fault.garbage)
            reply = simGarbage();
        if (fault.partial)
            reply.truncate(reply.size() / 2);
        m_output.queueReply(reply, fault.delayMs);
    }

    if (idleProbe)
        return;
    const int closeAfter = m_device.faults().closeAfter();
    if (closeAfter > 0 && ++m_answered >= closeAfter) {
        m_hangingUp = true;
        m_output.queueClose();
    }
}

void KXSimSession::enterBootLoader()
{
    // From here on the link speaks the boot-loader dialogue only; no
    // unsolicited data is made up any more.
    m_greeted = true;
    m_boot = new KXSimBootLoader(m_device, m_link, this);
    m_device.log(QStringLiteral("boot loader on %1").arg(m_peer));
}

void KXSimSession::greet()
{
    m_greeted = true;
    const KXSimDevice::Greeting& greeting = m_device.greeting();
    // Checked at start-up; numbers grow longer as links come and go.
    if (!m_device.fitsOneFrame(greeting.barcodes, greeting.messages, greeting.mixed)) {
        qCDebug(lcSim).noquote() << m_peer << "greeting left out: more than"
                                 << KXSimDevice::MaxDataPerFrame << "bytes";
        return;
    }
    queueBarcodes(greeting.barcodes);
    queueMessages(greeting.messages);
    queueMixed(greeting.mixed);
}

void KXSimSession::queueBarcodes(int count)
{
    for (int i = 0; i < count; ++i)
        m_output.queueData(m_device.takeBarcode(), m_device.gapMs());
}

void KXSimSession::queueMessages(int count)
{
    // Each in two writes with a pause, so the host must join the pieces.
    for (int i = 0; i < count; ++i) {
        const QByteArray frame = withLastingCorruption(simMessageFrame(m_device.takeMessageData()));
        const int half = int(frame.size()) / 2;
        m_output.queueData(frame.left(half), m_device.gapMs(), true);
        m_output.queueData(frame.mid(half), kSplitGapMs);
    }
}

void KXSimSession::queueMixed(int count)
{
    // One write: barcode, message, barcode, message, ...
    QByteArray burst;
    for (int i = 0; i < count; ++i) {
        burst += m_device.takeBarcode();
        burst += withLastingCorruption(simMessageFrame(m_device.takeMessageData()));
    }
    if (!burst.isEmpty())
        m_output.queueData(burst, m_device.gapMs());
}

QByteArray KXSimSession::withLastingCorruption(QByteArray frame) const
{
    if (m_device.faults().lasting(KXSimFaults::Corrupt))
        simCorruptFrame(frame);
    return frame;
}
