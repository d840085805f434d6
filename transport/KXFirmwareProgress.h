#ifndef KXFIRMWAREPROGRESS_H
#define KXFIRMWAREPROGRESS_H

#include <QtGlobal>

// Progress of one firmware update: 21 32-bit words, zeroed at the start of
// each update and filled by whoever writes the firmware (the driver library,
// the block download, the package handler). The layout is shared with the
// driver library, so it stays a plain array.
struct KXFirmwareProgress
{
    quint32 words[21];
};

static_assert(sizeof(KXFirmwareProgress) == 84, "the driver library expects 84 bytes");

#endif // KXFIRMWAREPROGRESS_H
