#ifndef KXDATASTREAMDRIVER_H
#define KXDATASTREAMDRIVER_H

/*
 * C interface of the driver library libKXDataStream.so, which reaches USB and
 * serial scanners. The kit loads the library at run time and resolves every
 * function by name; this header fixes the signatures on both sides.
 *
 * Conventions
 * - A handle is a nonzero 32-bit value from kxds_create; 0 means none.
 * - Results documented as "nonzero" are 1 on success and 0 on failure.
 * - Error pointers may be null. When given, they receive one of the
 *   KXDS_ERROR_* codes (0 when the call succeeded).
 * - Times are milliseconds. KXDS_NO_INTERVAL as `interval` means the caller
 *   sets no polling step; reads here are woken by the arriving bytes, so the
 *   interval never delays a result.
 * - Wide strings are NUL-terminated UTF-16 (char16_t), as in the records.
 * - Every function may be called from any thread. kxds_close or
 *   kxds_destory on one thread wakes a read or write that waits on the same
 *   handle on another: it returns at once with what it stored and
 *   KXDS_ERROR_NOT_OPEN. The port is let go at once (see below).
 * - Serial ports and USB data pipes are opened exclusively: while a handle
 *   has one open, an opening by another handle or process fails with
 *   KXDS_ERROR_BUSY and leaves the port, its settings and its input as
 *   they were. kxds_close, kxds_destory, a hang-up or unplugging (as soon
 *   as a call sees it) and the end of the process let the port go: it can
 *   be opened again at once, and the device node of an unplugged scanner
 *   is released, so that it comes back under the same name.
 * - Enumeration, version and firmware information need no handle and no
 *   hardware; without devices they simply list nothing.
 */

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h> /* char16_t */
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define KXDS_EXPORT __attribute__((visibility("default")))

/* Version returned by kxds_get_lib_version: major in the high 16 bits,
   minor in the low 16 bits. */
#define KXDS_LIB_VERSION 0x00010000u

#define KXDS_NO_INTERVAL 0xFFFFFFFEu

/* How long kxds_write waits in all for a device to take its bytes. */
#define KXDS_WRITE_TIMEOUT_MS 5000
/* How long kxds_open_usb waits for a TCP connection (type 11). */
#define KXDS_TCP_CONNECT_TIMEOUT_MS 3000

/* USB device record, 512 bytes. */
#define KXDS_USB_RECORD_SIZE 512
#define KXDS_USB_NAME_OFFSET 0   /* UTF-16 text with terminating zero */
#define KXDS_USB_NAME_MAX 253    /* code units before the terminator */
#define KXDS_USB_TYPE_OFFSET 508 /* one byte */
#define KXDS_USB_PORT_OFFSET 510 /* uint16, little-endian (type 11 only) */
#define KXDS_USB_TYPE_DATAPIPE 1 /* a scanner whose data pipe is a tty */
#define KXDS_USB_TYPE_TCP 11     /* name is an IPv4 address, port at 510 */

/* COM record, 12 bytes. */
#define KXDS_COM_RECORD_SIZE 12
typedef struct KXDSComRecord
{
    uint16_t port;         /* port number, see kxds_enum_serial_ports */
    uint8_t detectionKind; /* written by kxds_detect_serial_settings */
    uint8_t reserved1;
    uint32_t baudRate; /* 0: the port is not usable */
    uint8_t dataBits;  /* 5 to 8 */
    uint8_t stopBits;  /* 0 one, 1 one and a half (opened as two), 2 two */
    uint8_t parity;    /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
    uint8_t reserved2;
} KXDSComRecord;

/* Firmware progress record: 21 32-bit words. */
#define KXDS_PROGRESS_RECORD_SIZE 84
/* Firmware package information record. */
#define KXDS_KERNEL_INFO_RECORD_SIZE 4832

enum KXDSError
{
    KXDS_ERROR_NONE = 0,
    KXDS_ERROR_BAD_HANDLE = 1,        /* unknown or zero handle */
    KXDS_ERROR_BAD_ARGUMENT = 2,      /* null record, bad framing, bad name */
    KXDS_ERROR_NOT_FOUND = 3,         /* no such port or device node */
    KXDS_ERROR_OPEN_FAILED = 4,       /* the operating system refused the open */
    KXDS_ERROR_CONFIG_FAILED = 5,     /* the line settings could not be applied */
    KXDS_ERROR_NOT_OPEN = 6,          /* the handle has no open device */
    KXDS_ERROR_IO = 7,                /* read or write failed; the device is gone */
    KXDS_ERROR_UNSUPPORTED = 8,       /* not implemented by this library */
    KXDS_ERROR_BUSY = 9,              /* the port is open on another handle or in
                                         another process */
    KXDS_ERROR_FIRMWARE_REFUSED = 10, /* the device refused a step of the firmware
                                         dialogue or did not answer in time */
};

/* Port numbers of kxds_enum_serial_ports and kxds_open_com:
   /dev/ttyS<n> -> n + 1, /dev/ttyUSB<n> -> 101 + n, /dev/ttyACM<n> -> 201 + n,
   and the paths of KXDS_EXTRA_PORTS (colon-separated) -> 1001, 1002, ... in
   the order given.
   - n runs up to 99 for ttyS and ttyUSB and up to 799 for ttyACM.
   - /dev/ttyS<n> counts only when a UART is there: the serial driver
     registers ttyS ports without hardware, and only a nonzero
     /sys/class/tty/ttyS<n>/type tells that one was found.
   - KXDS_EXTRA_PORTS is read at each call; empty entries take no number.
     KXDS_EXTRA_USB adds type-1 records to kxds_enum_usb_device_ex in the
     same way. Both serve pseudo-terminals of tests and simulators. */
#define KXDS_PORT_TTYS_BASE 1
#define KXDS_PORT_TTYUSB_BASE 101
#define KXDS_PORT_TTYACM_BASE 201
#define KXDS_PORT_EXTRA_BASE 1001

KXDS_EXPORT uint32_t kxds_create(void);
KXDS_EXPORT void kxds_destory(uint32_t handle);

/* Opens a USB record: type 1 as a raw tty (115200 baud, 8N1) at the UTF-16
   device path; type 11 as a TCP connection to the IPv4 address in the name
   and the port at KXDS_USB_PORT_OFFSET, waiting at most
   KXDS_TCP_CONNECT_TIMEOUT_MS, with Nagle's delay off. `mode` is accepted
   and not interpreted (the kit passes 3). Closes whatever the handle had
   open first. Errors: BAD_HANDLE; BAD_ARGUMENT (null record, other types,
   a name without terminator, not an IPv4 address, port 0); NOT_FOUND (no
   such node); BUSY (type 1: the tty is in use); OPEN_FAILED (refused open
   or connection, time-out); CONFIG_FAILED (not a tty). */
KXDS_EXPORT int kxds_open_usb(uint32_t handle, const uint8_t* record, int mode, uint32_t* error);
/* Opens the port of a 12-byte COM record in raw mode with its framing: no
   echo, no line editing, no character translation, no flow control,
   CLOCAL; input that waited from before is dropped. Any baud rate: one
   without a B constant (14400, 56000, ...) is set as a custom rate.
   Closes whatever the handle had open first. Errors: BAD_HANDLE;
   BAD_ARGUMENT (null record, baud rate 0, framing out of range); NOT_FOUND
   (the number maps to no port); BUSY (the port is in use); OPEN_FAILED;
   CONFIG_FAILED (not a tty, or the settings were refused). */
KXDS_EXPORT int kxds_open_com(uint32_t handle, const uint8_t* record, uint32_t* error);
/* Nonzero while the device is usable; a closed, hung-up or unplugged device
   reads as not open. */
KXDS_EXPORT int kxds_is_open(uint32_t handle);
KXDS_EXPORT void kxds_close(uint32_t handle);
/* Ends a kxds_read_poll that waits on the handle on another thread early,
   with what it stored so far; when none waits, the next kxds_read_poll on
   the handle ends at once. Wake-ups that no poll has taken yet count as
   one, and they stay through a close and reopen of the handle.
   kxds_read_ex and kxds_read_until are never ended by it. Nothing is
   closed. An extension of this library: callers resolve it optionally. */
KXDS_EXPORT void kxds_wake_readers(uint32_t handle);
/* Discards buffered input (a socket: what has arrived, at most 16 MiB);
   returns `value` unchanged, whatever the handle. */
KXDS_EXPORT int kxds_clean(uint32_t handle, int value);
/* Nonzero when all `size` bytes were written within KXDS_WRITE_TIMEOUT_MS.
   A zero size writes nothing and is nonzero while the device is open (as
   kxds_is_open says). A peer that has gone never raises SIGPIPE. */
KXDS_EXPORT int kxds_write(uint32_t handle, const uint8_t* data, uint32_t size);
/* Stores what arrives into `buffer` until `capacity` bytes are stored or
   `reponse_time` ms have passed; returns the count stored. With fewer bytes
   it always takes the whole time, unless the device ends: a hang-up or
   unplugged device ends it early with KXDS_ERROR_IO (the device then reads
   as not open and is let go), a close from another thread with
   KXDS_ERROR_NOT_OPEN; kxds_wake_readers never does.
   Otherwise the error is KXDS_ERROR_NONE, also when nothing came. Other
   errors: BAD_HANDLE, NOT_OPEN, BAD_ARGUMENT (null buffer). `interval` is
   not used. */
KXDS_EXPORT uint32_t kxds_read_ex(uint32_t handle, uint8_t* buffer, uint32_t capacity,
                                  uint32_t reponse_time, uint32_t interval, uint32_t* error);
/* Exactly kxds_read_ex, except that kxds_wake_readers ends it early with
   what it stored so far (and KXDS_ERROR_NONE): a wake-up given while it
   waits, or one given before it started that no other kxds_read_poll has
   taken. Each wake-up ends one kxds_read_poll at most. Meant for the idle
   poll between requests, which new work should cut short. An extension of
   this library: callers resolve it optionally. */
KXDS_EXPORT uint32_t kxds_read_poll(uint32_t handle, uint8_t* buffer, uint32_t capacity,
                                    uint32_t reponse_time, uint32_t interval, uint32_t* error);
/* As kxds_read_ex, but returns as soon as the bytes stored by this call
   contain the pattern, also when it arrived in parts. An empty pattern
   (null or length 0 or less) waits the whole time. */
KXDS_EXPORT uint32_t kxds_read_until(uint32_t handle, uint8_t* buffer, uint32_t capacity,
                                     uint32_t reponse_time, uint32_t interval, const char* pattern,
                                     int patternLength, uint32_t* error);

/* Writes a firmware file to the device open on the handle, in the device's
   boot-loader dialogue (the one the kit speaks over TCP): an escape frame
   switches the device to upgrade mode; each part is woken with three '?',
   announced ("!DataLens", "!FrameSize", "!Frames", "!FileType", ">Start",
   ">Erase" when asked), sent in 512-byte blocks with a CRC-32 each (1024 for
   files of more than 10 MiB) and waited for while the device programs it;
   "@Exit" ends the dialogue on every path after an accepted escape.
   - The file's suffix, in any case, picks its kind: "nfp" goes by its
     package header (local parts, then the extended ones after their own
     escape); any other file by the part table of its last 368 bytes (see
     KXUpgrade/FORMATS.md), a "boot" part first.
   - `progress` (KXDS_PROGRESS_RECORD_SIZE bytes, may be null) is written
     while the call runs, with relaxed single-word stores, so another thread
     may poll it: word 4 the stage (0 wake-up, 1 announcing, 2 blocks,
     3 programming), the word of that index its value 0 to 100 (100 also
     when the stage failed), word 6 the index of the part; for images the
     byte at 36 + i the type of part i (boot 1, kern 2, flah 3, appl 4). The
     caller zeroes it beforehand.
   - Blocks the calling thread until the dialogue ends: each reply is
     waited for at most 3 s (block acknowledgements and programming status
     2 s), programming at most 300 s per whole MiB of the part.
   Nonzero when every part was written. Errors: BAD_HANDLE; NOT_OPEN;
   BAD_ARGUMENT (null or bad name, a file under 400 bytes, no part to send,
   a package header that does not check out); NOT_FOUND (cannot be opened);
   FIRMWARE_REFUSED (the device refused or did not answer); IO (the device
   went away).
   kxds_update_firmware_file_1 does exactly the same: the kit calls it for
   update type 1. `retries`, `type`, `count` and `flags` are accepted and not
   interpreted (the kit passes 30, 1, 30 and 0). */
KXDS_EXPORT int kxds_update_firmware_file(uint32_t handle, const char16_t* file, int retries,
                                          void* progress, int flags, uint32_t* error);
KXDS_EXPORT int kxds_update_firmware_file_1(uint32_t handle, const char16_t* file, int type,
                                            int count, void* progress, int flags, uint32_t* error);
/* Fills the KXDS_KERNEL_INFO_RECORD_SIZE-byte `info` from a firmware file
   of kind "nfp" (its header, checked in full), "bin", "bin2", "bin3", "pak",
   "pak2", "efp" or "efp2" (the information block before the image's part
   table; see KXUpgrade/FORMATS.md), told by the name's suffix in any case.
   Nonzero when read; `info` is written only then. Errors: BAD_ARGUMENT
   (null or bad name, null record, a file that does not hold what its kind
   needs); NOT_FOUND (cannot be opened); IO; UNSUPPORTED (other suffixes). */
KXDS_EXPORT int kxds_get_kernel_info(const char16_t* file, void* info, uint32_t* driverInfo);

KXDS_EXPORT uint32_t kxds_get_lib_version(void);

/* Fills up to `capacity` 512-byte records and returns how many: the
   CDC-ACM scanners udev finds (ttys whose USB interface cdc_acm drives), by
   node number, then every path of KXDS_EXTRA_USB; each once, as a type-1
   record, zero apart from name and type. Without udev only the latter.
   The six further numbers are accepted and not interpreted. */
KXDS_EXPORT int kxds_enum_usb_device_ex(uint8_t* records, int capacity, int a, int b, int c, int d,
                                        int e, int f);
/* Fills up to `capacity` 12-byte COM records with the ports that exist now,
   by ascending number, and returns how many. Only the port number is set;
   the rest is zero. */
KXDS_EXPORT int kxds_enum_serial_ports(uint8_t* records, int capacity);
/* Fills detection kind and framing of `count` COM records whose port numbers
   kxds_enum_serial_ports gave, and returns `count`. Nothing is sent and no
   setting is changed, so it never waits (`timeout` is not used).
   - Detection kind (KXDS_DETECT_*), from what udev knows of the port:
     CDC_ACM for a ttyACM whose USB interface cdc_acm drives (the scanner's
     own USB port: its line settings are virtual, so no other framing needs
     trying); USB_SERIAL for a ttyUSB of a USB-serial adapter (a real line
     whose framing the adapter cannot tell); UNKNOWN for anything else: an
     on-board UART, a pseudo-terminal, every path of KXDS_EXTRA_PORTS.
   - Framing: the port's current line settings (baud rate, data bits, stop
     bits 0 or 2, parity 0 to 4), read under the exclusive-open rules above:
     the port is opened non-blocking only when nobody holds it, locked, read
     and let go at once. A line without a speed (B0) reads as
     KXDS_DEFAULT_BAUD_RATE, a rate set without a B constant as itself.
   - Baud rate 0 and the rest of the framing 0 mark a port that cannot be
     used now: gone, not a tty, held by another handle or process, or an
     active kernel console (writing there would reach the console).
   Null records or a count below 1 give 0. */
#define KXDS_DETECT_UNKNOWN 0
#define KXDS_DETECT_CDC_ACM 1
#define KXDS_DETECT_USB_SERIAL 8
#define KXDS_DEFAULT_BAUD_RATE 115200
KXDS_EXPORT int kxds_detect_serial_settings(uint8_t* records, int count, int timeout);

#ifdef __cplusplus
}
#endif

#endif /* KXDATASTREAMDRIVER_H */
