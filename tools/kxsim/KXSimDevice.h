#ifndef KXSIMDEVICE_H
#define KXSIMDEVICE_H

#include "KXSimFaults.h"
#include "offline/KXOffLineEngine.h"

#include <QObject>
#include <QTimer>

// The one simulated device behind every endpoint: the settings (one offline
// engine, so a set on one link is seen on all), the faults, the unsolicited
// data it makes up and its log.
class KXSimDevice : public QObject
{
    Q_OBJECT

public:
    // Log text beyond this is cut from the front, a line at a time.
    static constexpr int MaxLogSize = 4 * 1024 * 1024;
    static constexpr int DefaultGapMs = 100;
    // Unsolicited data that one trigger frame, or one link's greeting, may
    // queue: counts are checked against it before anything is made up.
    static constexpr qint64 MaxDataPerFrame = 4 * 1024 * 1024;

    // Unsolicited data each data link gets when it starts.
    struct Greeting
    {
        int barcodes = 0;
        int messages = 0;
        int mixed = 0;
    };

    explicit KXSimDevice(QObject* parent = nullptr);

    // Which units the device is: a scanner alone (the default), a base
    // station alone, or a base station with a scanner behind it. Each unit
    // answers its own identity queries from the device files (the scanner
    // QRY... and PRNQRY, the base station BAS...); those of a unit that is
    // not there are refused, as a real device of that kind refuses them.
    struct Units
    {
        bool scanner = true;
        bool base = false;
        // Discovery: the base station answers under its own identity with
        // "Base Som=1", so a host lists it and the scanner behind it as two
        // devices; otherwise it answers with the scanner's identity.
        bool baseSom = false;
    };

    // The boot loader: whether data links start in it, where received
    // firmware parts go (one file per part; none when empty) and the
    // misbehaviour asked for (KXSimBootLoader::Fault).
    struct Boot
    {
        bool atStart = false;
        QString firmwareOut;
        int fault = 0;
    };
    Boot& boot() { return m_boot; }

    bool loadFiles(const QString& configFile, const QString& offlineFile);
    KXOffLineEngine& engine() { return m_engine; }
    const Units& units() const { return m_units; }
    void setUnits(const Units& units) { m_units = units; }

    // Answers bare command text (see KXOffLineEngine::answerText) as the
    // engine does, except that each identity query of a missing unit gets
    // its parameter and NAK.
    bool answerText(const QByteArray& text, QByteArray& replyText);
    // The current value of a setting; empty when the files lack it.
    // Gives a query-only setting another answer (such as IFPCHK); false
    // when the files have no such setting.
    bool setQueryAnswer(const QString& mnemonic, const QString& value);
    QString settingValue(const QString& mnemonic) const;
    // Sets a setting as a host's command would, with the engine's checks.
    // False when refused or missing, or when the value holds ',' or ';',
    // which a command text cannot carry.
    bool setSetting(const QString& mnemonic, const QString& value);
    KXSimFaults& faults() { return m_faults; }

    // Milliseconds between two pieces of unsolicited data on a link.
    int gapMs() const { return m_gapMs; }
    void setGapMs(int ms) { m_gapMs = ms; }
    const Greeting& greeting() const { return m_greeting; }
    void setGreeting(const Greeting& greeting) { m_greeting = greeting; }

    // Numbered so that every piece the device sends is told apart.
    QByteArray takeBarcode();
    QByteArray takeMessageData();
    // Whether the next `barcodes` barcodes, `messages` messages and `mixed`
    // pairs stay within MaxDataPerFrame.
    bool fitsOneFrame(qint64 barcodes, qint64 messages, qint64 mixed) const;

    // Adds a line to the device log.
    void log(const QString& text);
    void addLogLines(int count);
    QByteArray logText() const { return m_log; }
    // Log clients get every new line while this is above 0; a tick line is
    // written at that interval (ms).
    int logStreamMs() const { return m_logStreamMs; }
    void setLogStreamMs(int ms);

signals:
    void logLineAdded(const QByteArray& line);
    // A boot-loader milestone or refusal, for the person watching.
    void bootEvent(const QString& text);

private:
    bool isRefused(const QByteArray& command) const;

    KXOffLineEngine m_engine;
    Units m_units;
    KXSimFaults m_faults;
    Greeting m_greeting;
    Boot m_boot;
    int m_gapMs = DefaultGapMs;
    quint64 m_barcodes = 0;
    quint64 m_messages = 0;
    QByteArray m_log;
    quint64 m_logLines = 0;
    int m_logStreamMs = 0;
    QTimer m_logTimer;
};

#endif // KXSIMDEVICE_H
