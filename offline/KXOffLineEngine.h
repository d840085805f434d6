#ifndef KXOFFLINEENGINE_H
#define KXOFFLINEENGINE_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// One setting of the simulated device, as loaded from the device
// configuration file and changed by set commands.
struct OfflineSetting
{
    QString commandName;  // six-letter mnemonic
    QString settingsList; // allowed values; the answer to a range query
    QString defaultValue;
    QString currentValue;
    QString minimum;              // decimal integer when checking
    QString maximum;              // decimal integer when checking
    QMap<QString, QString> items; // allowed list values, parsed on first use
    QString controlType;          // empty when the command is on no settings page
    bool notSupported = false;
    bool queryOnly = false;
};

// The command-answering core of the simulated device: settings loaded from
// the XML files and the rules that answer host command text. No I/O and no
// event loop, so the offline transport and the kxsim simulator answer with
// the very same code. Not thread-safe; each user owns its engine or guards
// it.
class KXOffLineEngine
{
public:
    // "Data Format 0:;" CR LF ... "Data Format 3:;" CR LF: the value of an
    // unconfigured data-format setting.
    static const QString& dataFormatText();
    // Length of a data-format line's header before its ';'.
    static constexpr int DataFormatHeaderLength = 14;
    // Most keys one allowed-values text may produce; larger ranges are cut.
    static constexpr int MaxListKeys = 100000;
    // Larger XML files, and anything but regular files, are refused unread.
    static constexpr qint64 MaxFileSize = 16 * 1024 * 1024;
    // XML files are refused when their elements nest deeper than this (the
    // sample device's files nest 4 deep) or when they hold more nodes
    // (elements, attributes, texts, comments) than this (a 20,000-item page
    // holds about 100,000); files with a document type declaration, and so
    // with entity declarations, are refused too.
    static constexpr int MaxXmlDepth = 256;
    static constexpr qint64 MaxXmlNodes = 200000;
    // Fixed settings that every simulated device has.
    static constexpr qint64 BufferSize = 1048576; // BUFQRY
    static constexpr qint64 DownloadSize = 500;   // DLPQSZ

    KXOffLineEngine();
    ~KXOffLineEngine();
    KXOffLineEngine(const KXOffLineEngine&) = delete;
    KXOffLineEngine& operator=(const KXOffLineEngine&) = delete;

    // Loads the offline description file, the settings page files (from the
    // "pages" folder next to the offline file) and the device configuration
    // file, in that order, then builds the range and default replies. The
    // result is that of the configuration file; the other two only leave
    // their data empty when they fail. A refused file (see MaxFileSize and
    // MaxXmlDepth) fails like a missing one, with a debug line in kx.offline
    // that names it and the reason. Reads each file once, in time linear in
    // its size.
    bool loadFiles(const QString& configFile, const QString& offlineFile);

    // Answers the first protocol 1 host frame (0x7E 0x01 "0000") in `data`:
    // the reply device frame is appended to `reply`. False, with nothing
    // changed, when `data` holds no such frame.
    bool answerFrame(const QByteArray& data, QByteArray& reply);

    // Answers bare command text (what stands between the prefix byte and the
    // terminator of a host frame): `replyText` gets the text that goes
    // between a device frame's "@" and its terminator. The whole-text
    // queries "*", "^" and "&" answer every setting at once. False when
    // there is nothing to answer: "^" or "&" after clearSettings().
    bool answerText(const QByteArray& text, QByteArray& replyText);

    // Wraps reply text as a protocol 1 device frame:
    // 0x02 0x01 "0000" "@" text ";" 0x03.
    static QByteArray deviceFrame(const QByteArray& replyText);

    // The settings page names, in the order they are read; the page NAME is
    // the file "pages/NAME.xml" next to the offline description file.
    static QStringList pageNames();
    // Reads the items of one settings page file into `controlTypes`
    // (mnemonic -> control type; a later item with the same Id wins). False
    // when the file is missing, malformed or refused (see loadFiles()).
    static bool readPageFile(const QString& path, QMap<QString, QString>& controlTypes);

    // Parses an allowed-values text ("0:Off|1:On|5-7") into key -> label.
    static void parseSettingsList(const QString& text, QMap<QString, QString>& items);

    // Drops every setting and the range and default replies. The
    // not-supported and query-only sets and the control types stay.
    void clearSettings();

    const QMap<QString, OfflineSetting*>& settings() const { return m_settings; }
    const OfflineSetting* setting(const QString& mnemonic) const;
    QString configFile() const { return m_configFile; }
    QString offlineFile() const { return m_offlineFile; }

private:
    bool loadOfflineDescription();
    bool loadPages();
    bool loadConfiguration();
    void addFixedSetting(const QString& mnemonic, qint64 value);
    enum class Column
    {
        Current,
        Range,
        Default
    };
    QByteArray allSettingsReply(Column column) const;
    QByteArray answerCommands(const QByteArray& text);
    bool checkParameter(OfflineSetting& setting, const QString& parameter) const;
    OfflineSetting* findSetting(const QString& mnemonic) const;

    QString m_configFile;
    QString m_offlineFile;
    QMap<QString, QString> m_notSupported;
    QMap<QString, QString> m_queryOnly;
    QMap<QString, OfflineSetting*> m_settings; // owned
    QByteArray m_rangeReply;                   // reply text of the whole-text range query
    QByteArray m_defaultReply;                 // reply text of the whole-text default query
    QMap<QString, QString> m_controlTypes;
};

#endif // KXOFFLINEENGINE_H
