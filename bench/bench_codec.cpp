// Throughput and latency of the codec paths that run per frame: parsing a
// device reply, building a command, the CRC and cutting frames out of a
// receive buffer.

#include <KXDataStream.h>

#include "datastream/KXDataStreamInternal.h"

#include <benchmark/benchmark.h>

#include <QtEndian>

namespace {

constexpr int kMiB = 1024 * 1024;

QByteArray deviceHeader7E01()
{
    return QByteArray("\x02\x01"
                      "0000",
                      6);
}

// A typical answer to a system query: six acknowledged sub-tags, about 200
// bytes in all.
QByteArray typicalReply()
{
    const char ack = kDataStreamAck;
    QByteArray reply = deviceHeader7E01();
    reply += "@QRYSYSKX-2200 Handheld 2D Imager, USB-COM";
    reply += ack;
    reply += ",VERV3.2.18 build 2024-06-11 release kernel 5.10";
    reply += ack;
    reply += ",SNO21A7F00C93B2-0042";
    reply += ack;
    reply += ",HWVPCB rev C / sensor 1280x800 global shutter";
    reply += ack;
    reply += ";DFMQCUCODE128+EAN13";
    reply += ack;
    reply += ",MACAC:3F:A4:00:12:7B";
    reply += ack;
    reply += ";\x03";
    return reply;
}

// Upstream barcode text: printable, never the device start byte 0x02.
QByteArray barcodeText(int size)
{
    static const char kSample[] = "6901234567892\r\nhttps://kx.example/item?id=4711&lot=B07\r\n"
                                  "]C1010590123412345715260101\r\n";
    QByteArray text;
    text.reserve(size);
    while (text.size() < size)
        text.append(kSample, qMin(int(sizeof(kSample) - 1), size - text.size()));
    return text;
}

QByteArray deviceFrame7E07(const QByteArray& payload)
{
    char length[4];
    qToLittleEndian<quint32>(quint32(payload.size()), length);
    QByteArray frame("\x02\x07", 2);
    frame.append(length, 4);
    frame.append(payload);
    return frame;
}

void BM_ParseReply200(benchmark::State& state)
{
    const QByteArray reply = typicalReply();
    if (KXDataStreamParser(reply).getTagMap(true).size() != 6) {
        state.SkipWithError("reply does not hold six acknowledged sub-tags");
        return;
    }
    for (auto _ : state) {
        const KXDataStreamParser parser(reply);
        QMap<QString, QByteArray> map = parser.getTagMap(true);
        benchmark::DoNotOptimize(map);
    }
    state.counters["frame_bytes"] = reply.size();
    state.SetBytesProcessed(state.iterations() * reply.size());
}
BENCHMARK(BM_ParseReply200);

void BM_MakeCommand10(benchmark::State& state)
{
    const QList<QPair<QString, QByteArray>> commands = {
        {QStringLiteral("DFMQCU"), QByteArray()},
        {QStringLiteral("DFMADD"), QByteArray("1,2")},
        {QStringLiteral("DFMSET"), QByteArray("0")},
        {QStringLiteral("LUAQRY"), QByteArray()},
        {QStringLiteral("QRYSYS"), QByteArray()},
        {QStringLiteral("QRYVER"), QByteArray()},
        {QStringLiteral("BASBEP"), QByteArray("1")},
        {QStringLiteral("BASLED"), QByteArray("2")},
        {QStringLiteral("IMGEXP"), QByteArray("120")},
        {QStringLiteral("IMGGAN"), QByteArray("4")},
    };
    for (auto _ : state) {
        KXDataStreamMaker maker(DataProtocol7E07);
        for (const auto& command : commands)
            maker.addCmd(command.first, command.second);
        QByteArray frame = maker.toByteArray();
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(BM_MakeCommand10);

void BM_Crc16_1MiB(benchmark::State& state)
{
    QByteArray data(kMiB, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 131 + 7) & 0xFF);
    for (auto _ : state) {
        quint16 crc = dataStreamCrc16(data.constData(), data.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Crc16_1MiB);

void BM_SplitFrame_1MiB(benchmark::State& state)
{
    const QByteArray frame = deviceFrame7E07(QByteArray("@RUNDAT6901234567892;\x03"));
    const QByteArray data = barcodeText(kMiB - frame.size()) + frame;
    for (auto _ : state) {
        QByteArray before;
        QByteArray found;
        QByteArray rest;
        const bool ok = splitDataStreamFrame(data, before, found, rest);
        if (!ok || found != frame) {
            state.SkipWithError("frame not found");
            break;
        }
        benchmark::DoNotOptimize(before);
        benchmark::DoNotOptimize(rest);
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_SplitFrame_1MiB);

} // namespace

BENCHMARK_MAIN();
