#ifndef KXCTLBACKUP_H
#define KXCTLBACKUP_H

#include "KXCtlExchange.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVector>

#include <functional>

// Sends one framed request to the device and waits for its answer. The
// settings clone knows nothing else of the device: how it was opened stays
// with the caller.
using KXCtlExchangeFn = std::function<KXCtlResult(const QByteArray& frame)>;

// One settings page as its file names the settings: mnemonic -> control type.
struct KXCtlPage
{
    QString name;
    QMap<QString, QString> controlTypes;
};

// A page shows these settings as text only: the device's identity, which a
// restore must not carry over to another device.
extern const char kKXCtlReadOnlyControl[]; // "Label"

// Reads the settings page files in `folder` (empty: the sample device's
// pages) in page order; pages without a file are left out. False with a
// one-line reason when no page could be read.
bool kxctlReadPages(const QString& folder, QVector<KXCtlPage>& pages, QString& error);

// A setting's value as the device answered it.
struct KXCtlSettingAnswer
{
    QString value;
    QString result; // "ACK", "ENQ", "NAK", or "none" when the reply left it out
};

// A setting that a restore did not bring to the wanted value.
struct KXCtlDifference
{
    QString setting;
    QString wanted;
    QString got;
    QString result; // the answer to the write, or "unsent" for a value no frame can carry
};

// Settings backup and restore over one exchange function. A request that
// gets no answer at all (time-out, hang-up) ends the run: failure() tells
// why; refused settings are part of the outcome instead.
class KXCtlSettingsClone
{
public:
    // Settings per request: a frame of a few hundred bytes, and replies that
    // a slow serial link delivers well within a reply time-out.
    static constexpr int BatchSize = 16;

    explicit KXCtlSettingsClone(KXCtlExchangeFn exchange) : m_exchange(std::move(exchange)) {}

    // Queries every setting that `pages` name ("NAME*") and makes the
    // document: {"device": {info}, "pages": [{"page": NAME, "settings":
    // {MNEMONIC: VALUE}, "refused": [MNEMONIC]}]}; a setting not answered
    // with ACK is listed as refused.
    bool backup(const QMap<QString, QString>& info, const QVector<KXCtlPage>& pages,
                QJsonObject& document);

    // Writes the document's settings ("NAMEVALUE"), except those `pages`
    // show as read-only and those the backup lists as refused, then queries
    // them again. `differences` gets every setting that was not accepted or
    // reads back otherwise; `written` counts the settings sent.
    bool restore(const QJsonObject& document, const QVector<KXCtlPage>& pages,
                 QVector<KXCtlDifference>& differences, int& written);

    const KXCtlResult& failure() const { return m_failure; }

    // True when `value` travels as a parameter of one command: no separator,
    // no control byte, and not a query form.
    static bool isSendable(const QString& value);

private:
    // One request per batch of `commands` (each a whole command text, such
    // as BEPDUR* or BEPDUR80); `answers` gets the reply to each mnemonic.
    bool request(const QStringList& names, const QStringList& commands,
                 QMap<QString, KXCtlSettingAnswer>& answers);
    bool requestOne(const QString& name, const QString& command, KXCtlSettingAnswer& answer);
    bool query(const QStringList& names, QMap<QString, KXCtlSettingAnswer>& answers);

    KXCtlExchangeFn m_exchange;
    KXCtlResult m_failure;
};

#endif // KXCTLBACKUP_H
