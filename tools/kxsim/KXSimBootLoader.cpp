#include "KXSimBootLoader.h"

#include "KXSimDevice.h"
#include "KXSimLink.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

namespace {

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr int kMaxEscapeText = 64;
constexpr int kMaxCommandText = 1024;
constexpr int kMaxBlockSize = 4194304;
// Busy reports of a slow programming phase, and the time between them.
constexpr int kSlowBusyCount = 5;
constexpr int kSlowBusyMs = 60;
constexpr int kSlowSilenceMs = 2700;
constexpr int kEraseDots = 3;
constexpr int kEraseDotMs = 20;

const char* const kFaultNames[] = {"none", "refuse", "erase", "ack",
                                   "slow", "silent", "drop",  "escape"};

quint32 crc32Of(const char* data, int size)
{
    return quint32(::crc32(0, reinterpret_cast<const Bytef*>(data), uInt(size)));
}

// A decimal number without sign or leading junk; -1 when it is not one.
qint64 readNumber(const QByteArray& text)
{
    if (text.isEmpty() || text.size() > 12)
        return -1;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
    }
    return text.toLongLong();
}

} // namespace

int KXSimBootLoader::faultByName(const QString& name)
{
    for (int i = 0; i <= LastFault; ++i) {
        if (name == QLatin1String(kFaultNames[i]))
            return i;
    }
    return -1;
}

QString KXSimBootLoader::faultNames()
{
    QStringList names;
    for (const char* name : kFaultNames)
        names << QLatin1String(name);
    return names.join(QLatin1String(", "));
}

KXSimBootLoader::KXSimBootLoader(KXSimDevice& device, KXSimLink* link, QObject* parent)
    : QObject(parent), m_device(device), m_link(link)
{
}

int KXSimBootLoader::fault() const
{
    return m_device.boot().fault;
}

void KXSimBootLoader::event(const QString& text)
{
    m_device.log(QStringLiteral("boot loader: %1").arg(text));
    emit m_device.bootEvent(text);
}

void KXSimBootLoader::receive(const QByteArray& bytes)
{
    m_in += bytes;
    for (;;) {
        bool took = false;
        switch (m_state) {
        case State::Escape:
            took = takeEscape();
            break;
        case State::Dialogue:
            took = takeDialogue();
            break;
        case State::Blocks:
            took = takeBlock();
            break;
        case State::Closed:
            m_in.clear();
            break;
        }
        if (!took)
            return;
    }
}

bool KXSimBootLoader::takeEscape()
{
    // Anything before the escape is not for the boot loader; a host that
    // talks to it outside upgrade mode is shown.
    const int start = int(m_in.indexOf('\x7e'));
    const int ignored = start < 0 ? int(m_in.size()) : start;
    if (ignored > 0) {
        event(QStringLiteral("ignored %1 bytes outside upgrade mode").arg(ignored));
        m_in.remove(0, ignored);
    }
    if (start < 0)
        return false;
    if (m_in.size() < 4)
        return false;
    const quint32 length = qFromBigEndian<quint32>(m_in.constData()) & 0xFFFFFF;
    if (length > kMaxEscapeText) {
        m_in.remove(0, 1);
        return true;
    }
    const int size = 4 + int(length) + 1;
    if (m_in.size() < size)
        return false;
    const QByteArray frame = m_in.left(size);
    m_in.remove(0, size);
    quint8 sum = 0;
    for (int i = 1; i < size - 1; ++i)
        sum ^= quint8(frame[i]);
    const QByteArray text = frame.mid(4, int(length));
    const bool image = text == "~upGrade~";
    const bool package = text == "~upDate~";
    if (quint8(frame[size - 1]) != quint8(~sum)) {
        event(QStringLiteral("bad escape checksum"));
        m_link->write(QByteArray(1, kNak));
        return true;
    }
    // In upgrade mode the block escape opens the extended parts of a
    // package.
    if (m_state == State::Dialogue) {
        if (!m_package || text != "~upBlock~" || !m_partDone) {
            event(QStringLiteral("refused escape %1").arg(QString::fromLatin1(text)));
            m_link->write(QByteArray(1, kNak));
            return true;
        }
        m_extended = true;
        m_awake = false;
        event(QStringLiteral("escape block"));
        m_link->write(QByteArray(1, kAck));
        return true;
    }
    if (!image && !package) {
        event(QStringLiteral("refused escape %1").arg(QString::fromLatin1(text)));
        m_link->write(QByteArray(1, kNak));
        return true;
    }
    if (fault() == BadEscape) {
        event(QStringLiteral("escape answered wrong"));
        m_link->write(QByteArray(1, kNak));
        return true;
    }
    m_package = package;
    m_extended = false;
    m_partIndex = 0;
    m_partDone = true;
    m_wakes = 0;
    m_awake = false;
    m_state = State::Dialogue;
    event(package ? QStringLiteral("escape package") : QStringLiteral("escape image"));
    m_link->write(QByteArray(1, kAck));
    return true;
}

bool KXSimBootLoader::takeDialogue()
{
    if (m_in.isEmpty())
        return false;
    const char first = m_in[0];
    if (first == '?') {
        m_in.remove(0, 1);
        if (++m_wakes == 3) {
            m_wakes = 0;
            m_awake = true;
            m_erasing = false;
            m_part = Part();
            m_link->write("<");
        }
        return true;
    }
    m_wakes = 0;
    if (first == '\x7e')
        return takeEscape();
    if (first != '\x02') {
        event(QStringLiteral("unexpected byte %1").arg(quint8(first), 2, 16, QLatin1Char('0')));
        m_in.remove(0, 1);
        return true;
    }
    if (m_in.size() < 4)
        return false;
    const int length = qFromBigEndian<quint16>(m_in.constData() + 2);
    if (m_in[1] != '\x05' || length > kMaxCommandText) {
        event(QStringLiteral("bad command frame"));
        m_in.clear();
        reply('1');
        return false;
    }
    const int size = 4 + length + 4;
    if (m_in.size() < size)
        return false;
    const QByteArray frame = m_in.left(size);
    m_in.remove(0, size);
    if (qFromBigEndian<quint32>(frame.constData() + size - 4) !=
        crc32Of(frame.constData(), size - 4)) {
        event(QStringLiteral("bad command checksum"));
        reply('1');
        return true;
    }
    command(frame.mid(4, length));
    return true;
}

void KXSimBootLoader::command(const QByteArray& text)
{
    const int colon = int(text.indexOf(':'));
    const QByteArray name = colon < 0 ? text : text.left(colon);
    const QByteArray value = colon < 0 ? QByteArray() : text.mid(colon + 1);
    QByteArray refusal; // why the command is answered "1"

    if (text == "@Exit") {
        event(QStringLiteral("exit"));
        reply('0');
        m_state = State::Escape;
        return;
    }
    if (text == "@NextDown" || text == "@NextBlock") {
        if ((text == "@NextBlock") != m_package || !m_partDone || m_partIndex == 0) {
            event(QStringLiteral("refused %1").arg(QString::fromLatin1(text)));
            reply('1');
        } else if (m_package) {
            reply('0'); // a whole reply frame instead of the bare 0x06
        } else {
            m_link->write(QByteArray(1, kAck));
        }
        return;
    }
    if (!m_awake || !m_partDone)
        refusal = "not woken";
    else if (name == "!DataLens" || name == "!FrameSize" || name == "!Frames") {
        const qint64 number = readNumber(value);
        if (number < 0)
            refusal = "no number";
        else if (name == "!DataLens")
            m_part.size = number;
        else if (name == "!FrameSize" && (number < 1 || number > kMaxBlockSize))
            refusal = "block size out of range";
        else if (name == "!FrameSize")
            m_part.blockSize = int(number);
        else if (m_part.size < 0 || m_part.blockSize < 1)
            refusal = "frames before size";
        else if (number != (m_part.size + m_part.blockSize - 1) / m_part.blockSize)
            refusal = "wrong block count";
        else
            m_part.blocks = number;
    } else if (name == "!FileType") {
        refusal = fault() == Refuse ? QByteArray("refused on request") : checkFileType(value);
        if (refusal.isEmpty())
            m_part.type = value;
    } else if (text == ">Start") {
        if (m_part.blocks < 0 || m_part.type.isEmpty())
            refusal = "not announced";
        else if (fault() == Erase) {
            m_erasing = true;
            reply('4');
            return;
        } else {
            reply('0');
            startBlocks();
            return;
        }
    } else if (text == ">Erase" && m_erasing) {
        event(QStringLiteral("erase"));
        reply('0');
        for (int i = 1; i <= kEraseDots + 1; ++i) {
            const char byte = i <= kEraseDots ? '.' : ';';
            QTimer::singleShot(i * kEraseDotMs, this,
                               [this, byte] { m_link->write(QByteArray(1, byte)); });
        }
        startBlocks();
        return;
    } else {
        refusal = "unknown";
    }
    if (refusal.isEmpty()) {
        reply('0');
        return;
    }
    event(QStringLiteral("refused %1 (%2)")
              .arg(QString::fromLatin1(text), QString::fromLatin1(refusal)));
    reply('1');
}

QByteArray KXSimBootLoader::checkFileType(const QByteArray& value) const
{
    const QByteArray type = value.left(4);
    const bool flah = type == "flah";
    if (m_extended && !flah)
        return "extended parts are flah";
    if (type != "boot" && type != "kern" && type != "appl" && !flah)
        return "unknown type";
    // Only "flah" carries its extra value.
    if (flah ? (value.size() < 6 || value[4] != ':' || readNumber(value.mid(5)) < 0)
             : value.size() != 4)
        return "bad type form";
    return {};
}

void KXSimBootLoader::startBlocks()
{
    m_state = State::Blocks;
    m_partDone = false;
    m_block = 0;
    m_part.data.clear();
    m_part.data.reserve(int(m_part.size));
}

bool KXSimBootLoader::takeBlock()
{
    if (fault() == Drop && m_block == 0 && !m_in.isEmpty()) {
        event(QStringLiteral("dropped the link in block 0"));
        m_state = State::Closed;
        m_link->drop();
        return false;
    }
    const int blockSize = m_part.blockSize;
    if (m_in.size() < blockSize + 5)
        return false;
    const QByteArray frame = m_in.left(blockSize + 5);
    m_in.remove(0, blockSize + 5);
    const qint64 index = m_block++;
    const qint64 length = qMin<qint64>(blockSize, m_part.size - index * blockSize);
    const bool crcOk =
        frame[0] == '\x02' && qFromBigEndian<quint32>(frame.constData() + 1 + blockSize) ==
                                  crc32Of(frame.constData(), blockSize + 1);
    const QByteArray padding = frame.mid(1 + int(length), blockSize - int(length));
    QString problem;
    if (!crcOk)
        problem = QStringLiteral("bad block %1").arg(index);
    else if (padding.count('\0') != padding.size())
        problem = QStringLiteral("block %1 padding not zero").arg(index);
    else if (fault() == Silent && index == 0)
        problem = QStringLiteral("block 0 left unanswered");
    else if (fault() == BadAck && index == qMin<qint64>(1, m_part.blocks - 1))
        problem = QStringLiteral("block %1 acknowledged wrong").arg(index);
    if (!problem.isEmpty()) {
        event(problem);
        if (fault() != Silent || index != 0)
            m_link->write(fault() == BadAck ? "#" : "!");
        // The host gives up the part; what follows is the dialogue again.
        m_partDone = true;
        m_state = State::Dialogue;
        return true;
    }
    m_part.data += frame.mid(1, int(length));
    m_link->write("*");
    if (m_block == m_part.blocks)
        finishPart();
    return true;
}

void KXSimBootLoader::finishPart()
{
    m_partDone = true;
    m_awake = false;
    m_state = State::Dialogue;
    const QString dir = m_device.boot().firmwareOut;
    const QString name =
        QStringLiteral("%1-%2.bin").arg(m_partIndex).arg(QString::fromLatin1(m_part.type.left(4)));
    bool saved = true;
    if (!dir.isEmpty()) {
        QFile file(QDir(dir).filePath(name));
        saved = file.open(QIODevice::WriteOnly) && file.write(m_part.data) == m_part.data.size();
    }
    event(QStringLiteral("part %1 %2 %3 bytes in %4 blocks of %5")
              .arg(m_partIndex)
              .arg(QString::fromLatin1(m_part.type))
              .arg(m_part.size)
              .arg(m_part.blocks)
              .arg(m_part.blockSize));
    ++m_partIndex;
    if (!saved) {
        event(QStringLiteral("cannot write %1").arg(name));
        m_link->write("!");
        return;
    }
    if (fault() != Slow) {
        m_link->write("^");
        return;
    }
    // Busy reports, then a silence longer than the host's wait for one
    // status byte, then done.
    for (int i = 1; i <= kSlowBusyCount; ++i)
        QTimer::singleShot(i * kSlowBusyMs, this, [this] { m_link->write("*"); });
    QTimer::singleShot(kSlowBusyCount * kSlowBusyMs + kSlowSilenceMs, this,
                       [this] { m_link->write("^"); });
}

void KXSimBootLoader::reply(char answer)
{
    // 0x02 0x06, payload length, the answer, CRC-32 of what precedes it.
    QByteArray frame("\x02\x06\x00\x01", 4);
    frame += answer;
    frame.resize(9);
    qToBigEndian(crc32Of(frame.constData(), 5), frame.data() + 5);
    m_link->write(frame);
}
