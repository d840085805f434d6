#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets to fuzz/corpus/<target>/.

Seeds are small realistic frames and values, laid out the way each target
reads its input. Run it again after changing a seed; it rewrites the
directories from scratch so the committed files always match this script.

Firmware-shaped seeds are never committed: `--generated DIR` writes them to
DIR/<target>/ for run.sh, at run time.
"""

import pathlib
import shutil
import struct
import sys
import zlib

ACK = b"\x06"
ENQ = b"\x05"
NAK = b"\x15"
TERMINATOR = b";\x03"


def crc16_x25(data: bytes) -> int:
    """CRC-16 as devices append it: reflected 0x1021, init and xorout 0xFFFF."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def host_7e01(text: bytes) -> bytes:
    return b"\x7e\x01" + b"0000" + text + TERMINATOR


def device_7e01(text: bytes) -> bytes:
    return b"\x02\x01" + b"0000" + text + TERMINATOR


def host_7e07(text: bytes) -> bytes:
    # The host counts the text before a trailing ';' is dropped.
    length = len(text) + 2
    if text.endswith(b";"):
        text = text[:-1]
    return b"\x7e\x07" + struct.pack("<I", length) + text + TERMINATOR


def device_framed(protocol: int, text: bytes, checksum: bool = False) -> bytes:
    payload = text + TERMINATOR
    frame = bytes([0x02, protocol]) + struct.pack("<I", len(payload)) + payload
    if checksum:
        frame += struct.pack("<H", crc16_x25(payload))
    return frame


def hex_length(data: bytes) -> bytes:
    return b"%08X" % len(data)


def extend_input(command_index: int, params: bytes, reply: bytes) -> bytes:
    assert len(params) <= 4
    return bytes([command_index, len(params)]) + params + reply


def value_input(keys, text: str) -> bytes:
    out = bytes([len(keys)])
    for key in keys:
        assert 1 <= len(key) <= 3
        out += bytes([len(key) - 1]) + key.encode("latin-1")
    return out + text.encode("utf-8")


def nested(depth: int, inner: bytes = b"") -> bytes:
    return b"<a>" * depth + inner + b"</a>" * depth


def page(inner: bytes) -> bytes:
    """A settings page input of fuzz_offline_xml (first byte 2)."""
    return b"\x02<Pages><Page><Group>" + inner + b"</Group></Page></Pages>"


def config(inner: bytes, prolog: bytes = b"") -> bytes:
    """A device configuration input of fuzz_offline_xml (first byte 0)."""
    return b"\x00" + prolog + b"<DeviceConfiguration>" + inner + b"</DeviceConfiguration>"


SPIN_ITEM = b"<Item Id='SCNSPN' ControlType='SpinBox'/>"
# Small versions of hostile files: the loaders refuse nesting past 256
# levels and any document type declaration, and must load long pages fast.
HOSTILE_XML = {
    "config_too_deep": config(nested(300)),
    "config_entities": config(b"<S><CommandName>SCNSPN</CommandName><Default>" + b"&e;" * 100
                              + b"</Default></S>",
                              prolog=b"<!DOCTYPE DeviceConfiguration [<!ENTITY e '"
                              + b"x" * 100 + b"'>]>"),
    "config_parameter_entities": config(
        b"", prolog=b"<!DOCTYPE DeviceConfiguration [<!ENTITY % a 'xxxxxxxxxx'>"
        + b"".join(b"<!ENTITY %% a%d '%s'>" % (i, b"%a;" * 10) for i in range(4)) + b"]>"),
    "offline_doctype": b"\x01<!DOCTYPE offline><offline><Query><I id='SCNSPN'/></Query></offline>",
    "page_at_depth_limit": page(SPIN_ITEM + nested(253)),
    "page_nested_items": page(b"".join(b"<Item Id='X%03d' ControlType='Radio'>" % i
                                       for i in range(300)) + b"</Item>" * 300),
    "page_wide": page(b"".join(b"<Item Id='X%03d' ControlType='SpinBox'/>" % i
                               for i in range(500)) + SPIN_ITEM),
}

def discovery(kind: int, payload: bytes, marker: bytes = b"TARVEN", fixed: int = 0x10) -> bytes:
    """A discovery datagram: marker, fixed byte, kind, big-endian length."""
    return marker + bytes([fixed, kind]) + struct.pack(">I", len(payload)) + payload


SCANNER = b"Product Name=KX-1;Serial Number=S1;MAC Address=00:11:22:33:44:55;Ip Address=10.0.0.7;"
BASE = (b"Base Product Name=BS-1;Base Serial Number=B1;Base MAC Address=BM;Base Ip Address=10.0.0.2;"
        b"Gun Product Name=GN-7;Gun Serial Number=G7;Gun AIBD Version=A3;")

IMGGET, IMGTGT, IMGBGT, IMGJGT, IMGGLI, QRYSYS = range(6)
JPEG = b"\xff\xd8\xff\xe0"
WINDOW_A = b"10W20H|110W20H|110W120H|10W120H"
WINDOW_B = b"-4W8H|300W8H|300W90H|-4W90H"

SEEDS = {
    "fuzz_parser": {
        "host_7e01_two_cmds": host_7e01(b"@DFMQCU;LUAQRY;"),
        "host_7e01_hash": host_7e01(b"#DFMQCU,ADD1,2;LUAQRY"),
        "device_7e01_ack": device_7e01(b"@DFMQCU" + ACK + b";"),
        "device_7e01_mixed_results": device_7e01(
            b"@QRYSYSKX-2200" + ACK + b",VERV3.2.18" + ACK + b";DFMADD" + NAK
            + b";LUAADD" + NAK + b";BASBEP1" + ENQ + b";"),
        "host_7e01_special_items": host_7e01(b"#*;IMGGET*,JGT1T;DFM&"),
        "host_7e07_binary_text": host_7e07(b"@IMGJGT1;2,3"),
        "device_7e07_reply": device_framed(7, b"@QRYSYSKX-2200" + ACK),
        "device_7e08_upstream": device_framed(8, b"@RUNDAT6901234567892"),
        "device_7e09_reply": device_framed(9, b"@DFMQCU1" + ACK),
        "host_7e09": b"\x7e\x09" + struct.pack("<I", 11) + b"#LUAQRY" + TERMINATOR,
    },
    "fuzz_frame": {
        "junk_frame_partial": b"garbage\r\n" + device_framed(7, b"@RUNDAT12345")
        + device_framed(7, b"@RUNDAT67890")[:9],
        "device_7e08_crc": device_framed(8, b"@RUNDAT6901234567892", checksum=True),
        "device_7e07_crc": device_framed(7, b"@QRYSYSKX-2200" + ACK, checksum=True),
        "device_7e09_qrysys": b"]C1" + device_framed(9, b"@QRYSYSKX" + ACK),
        "two_7e01_replies": device_7e01(b"@QRYSYSKX" + ACK) + device_7e01(b"@DFMQCU" + ACK),
        "upstream_then_rundat": b"6901234567892\r\n" * 4 + device_framed(7, b"@RUNDAT4711"),
        "huge_length": b"abc\x02\x07\xff\xff\xff\x00@RUN",
        "incomplete_7e01": b"\x02\x01" + b"0000@QRYSYSKX",
    },
    "fuzz_extend": {
        "imgjgt_one_block": extend_input(
            IMGJGT, b"1T", device_7e01(b"@IMGJGT1T" + hex_length(JPEG) + JPEG + ACK + b";")),
        "imgjgt_two_blocks": extend_input(
            IMGJGT, b"1T", device_7e01(b"@IMGJGT1T" + hex_length(b"ab") + b"ab"
                                       + hex_length(JPEG) + JPEG + ACK + b";")),
        "imggli": extend_input(
            IMGGLI, b"1T", device_7e01(b"@IMGGLI1T" + b"00000001" + hex_length(b"xyz") + b"xyz"
                                       + hex_length(JPEG) + JPEG + ACK + b";")),
        "imgget_window": extend_input(
            IMGGET, b"2T", device_7e01(b"@IMGGET2T" + WINDOW_A + hex_length(JPEG) + JPEG + ACK
                                       + b";")),
        "imgtgt_one_window": extend_input(
            IMGTGT, b"3T", device_7e01(b"@IMGTGT3T" + WINDOW_B + hex_length(JPEG) + JPEG + ACK
                                       + b";")),
        "imgtgt_counted_windows": extend_input(
            IMGTGT, b"4T", device_7e01(b"@IMGTGT4T2N" + WINDOW_A + WINDOW_B + hex_length(JPEG)
                                       + JPEG + ACK + b";")),
        "imgbgt": extend_input(
            IMGBGT, b"1T", device_7e01(b"@IMGBGT1T640W480H" + hex_length(JPEG) + JPEG + ACK
                                       + b";")),
        "qrysys": extend_input(QRYSYS, b"", device_7e01(b"@QRYSYS00000002KX" + ACK + b";")),
    },
    "fuzz_value": {
        "ranges_and_items": value_input([], "0-255|300_0:Off|1:On"),
        "single": value_input([], "5"),
        "extra_colon": value_input([], "0-9_a:b:c|x:y"),
        "empty_ranges": value_input([], "|1|"),
        "three_pieces": value_input([], "1-2-3"),
        "large_range": value_input([], "0-999999"),
        "split_two_keys": value_input(["A", "B"], "12A34B"),
        "split_lower_case": value_input(["A", "B"], "12a34b"),
        "split_missing_key": value_input(["A", "B", "C"], "12A34B"),
        "split_window": value_input(["W", "H"], "640W480H"),
        "split_long_keys": value_input(["X", "Yy", "Zzz", "N"], "1X2Yy3Zzz40N"),
    },
    "fuzz_discovery": {
        "scanner": discovery(0x31, SCANNER + b"Product Code=PC9;Supp Gr=1;Gr En=0;"),
        "base_with_scanner": discovery(0x32, BASE),
        "base_reported_as_itself": discovery(0x32, BASE + b"Base Som=1;"),
        "supplement_lower_case": discovery(0x3A, SCANNER + b"Extra=1;", marker=b"tarven"),
        "network_result": discovery(0x11, SCANNER + b"Setting Result=1;"),
        "alias_result": discovery(0x61, SCANNER + b"Ret=x;"),
        "group_result_no_ret": discovery(0x41, SCANNER),
        "odd_fields": discovery(0x31, b"A=1;B=2=3;;C;=;==;Device Type=SerialPort Device;COM=7;"),
        "length_past_end": discovery(0x31, SCANNER)[:-5],
        "request": discovery(0x30, b"Answer Port=36511;"),
    },
    "fuzz_offline_write": {
        "query_current": host_7e01(b"@DFMQCU*"),
        "query_all": host_7e01(b"@*"),
        "query_ranges": host_7e01(b"#^"),
        "set_and_query": host_7e01(b"@SCNMOD1,MOD*;LUAQRY*"),
        "data_format_merge": host_7e01(b"@DFMADD0abc|1xy;DFMQCU*"),
        "script_clear": host_7e01(b"@LUAQRY*,CLR;LUAADD"),
        "junk_then_frame": b"\x00\xff" + host_7e01(b"@BUFQRY5"),
        "two_frames": host_7e01(b"@DFMCAL") + host_7e01(b"@DLPQSZ*"),
        # Long command texts: many data format pieces, many settings.
        "many_data_format_pieces": host_7e01(b"@DFMADD0a" + b",ADD1b|2c" * 400 + b";DFMQCU*"),
        "many_commands": host_7e01(b"@" + b";".join(b"C39MAX%d" % i for i in range(400))),
    },
    "fuzz_offline_xml": {
        "config": b"\x00<DeviceConfiguration><S><CommandName>SCNMOD</CommandName>"
        b"<SettingsList>0:Off|1:On|5-7</SettingsList><Default>1</Default>"
        b"<Minimum>0</Minimum><Maximum>9</Maximum></S></DeviceConfiguration>",
        "offline": b"\x01<offline><NotSupported><I id='SCNSPN'/></NotSupported>"
        b"<Query><I id='QRYSYS'/></Query></offline>",
        "page": b"\x02<Pages><Page><Group><Item Id='SCNSPN' ControlType='SpinBox'/>"
        b"<Item Id='' ControlType='Radio'/></Group></Page></Pages>",
        "wrong_root": b"\x00<offline/>",
        "huge_range": b"\x00<DeviceConfiguration><S><CommandName>SCNSPN</CommandName>"
        b"<SettingsList>0-99999999999</SettingsList></S></DeviceConfiguration>",
        **HOSTILE_XML,
    },
}


def nfp(parts, extended=0, version=b"V1", hardware=b"HW") -> bytes:
    """An nfp package: header, then the parts; the last `extended` are exfl."""
    header = bytearray(1024)
    header[0:18] = b"KXSFirmwarePackage"
    struct.pack_into("<I", header, 44, 7)
    header[48:58] = b"2026-12-06"
    header[64 : 64 + len(version)] = version
    header[96 : 96 + len(hardware)] = hardware
    struct.pack_into("<II", header, 248, len(parts) - extended, extended)
    body = b""
    for i, (kind, data, extra) in enumerate(parts):
        struct.pack_into("<II4sI", header, 256 + 48 * i, 1024 + len(body), len(data), kind, extra)
        body += data
    struct.pack_into("<I", header, 32, zlib.crc32(bytes(header) + body))
    return bytes(header) + body


def image(parts, tail=b"") -> bytes:
    table = bytearray(368)
    body = b""
    for i, (kind, data, flag, extra) in enumerate(parts):
        struct.pack_into("<II4sB", table, 76 * i, len(body), len(data), kind, flag)
        struct.pack_into("<I", table, 76 * i + 40, extra)
        body += data
    return body + tail + bytes(table)


GENERATED = {
    "fuzz_nfp_header": {
        "boot_kern_exfl": b"\x00" + nfp([(b"boot", b"b" * 16, 0), (b"kern", b"k" * 32, 0), (b"exfl", b"x" * 8, 9)], 1),
        "only_exfl": b"\x00" + nfp([(b"exfl", b"x", 0)], 1),
        "resealed_long_texts": b"\x01" + nfp([(b"appl", b"a" * 4, 0)], 0, b"v" * 32, b"h" * 152),
        "sixteen_parts": b"\x01" + nfp([(b"flah", b"f", i) for i in range(16)]),
    },
    "fuzz_image_table": {
        "four_parts": image([(b"boot", b"b" * 8, 0, 0), (b"kern", b"k" * 8, 0, 0), (b"flah", b"f" * 4, 0, 5),
                             (b"appl", b"a" * 4, 0, 0)]),
        "flagged_unknown": image([(b"ext2", b"e" * 8, 1, 3)]),
        "with_info_block": image([(b"appl", b"a" * 8, 0, 0)], b"KXFWINFO" + bytes(232)),
    },
}


def write(root: pathlib.Path, corpora) -> None:
    for target, seeds in corpora.items():
        directory = root / target
        if directory.exists():
            shutil.rmtree(directory)
        directory.mkdir(parents=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)
        print(f"{target}: {len(seeds)} seeds")


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--generated":
        write(pathlib.Path(sys.argv[2]), GENERATED)
    else:
        write(pathlib.Path(__file__).resolve().parent / "corpus", SEEDS)


if __name__ == "__main__":
    main()
