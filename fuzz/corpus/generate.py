#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

The packets are laid out here by hand from the wire tables (little-endian,
16-byte header, fixed body per code), not by the library's encoders, so a
layout bug of the library cannot hide in its own seeds. Seeds are small;
files found by fuzzing (crash inputs among them) are added to the folders
beside these and are never rewritten by this script.

Run from anywhere: python3 fuzz/corpus/generate.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


# Seeds that make the library fail today. They are written to
# fuzz/crashes/<target>/ (not replayed) until the fix lands; then the name
# leaves this list and the seed joins the corpus.
HELD = {}


def write(target, name, data):
    held = name in HELD.get(target, ())
    folder = os.path.join(HERE, "..", "crashes", target) if held else os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def header(code, header_len, body_len, lead=0x0101):
    return struct.pack("<HHHHII", lead, code, header_len, body_len, 0, 0)


def packet(code, total, fields=()):
    """A zero-filled packet of `total` bytes; fields are (offset, bytes)."""
    b = bytearray(header(code, 16, total - 16)) + bytearray(total - 16)
    for off, val in fields:
        b[off:off + len(val)] = val
    return b


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


# ---- decoder: one packet buffer per file ------------------------------------

INBOUND = {  # code: (name, total)
    50: ("login_result", 213),
    52: ("logout_result", 113),
    68: ("callid_response", 240),
    96: ("rectype_changed", 42),
    97: ("status_changed", 42),
    105: ("logout_alarm", 48),
}


def decoder():
    for code, (name, total) in INBOUND.items():
        write("decoder", f"{name}_right_size", packet(code, total))
        write("decoder", f"{name}_one_short", header(code, 16, total - 17) + bytes(total - 17))
        write("decoder", f"{name}_one_long", header(code, 16, total - 15) + bytes(total - 15))
        # HeaderLength 32 with a body 16 shorter passes the size test.
        write("decoder", f"{name}_header_32", header(code, 32, total - 32) + bytes(total - 32))
        write("decoder", f"{name}_bare_header", header(code, 16, 0))
    for result in range(0, 10):
        write("decoder", f"login_result_{result}", packet(50, 213, [(16, u16(result)), (203, u16(2))]))
    write("decoder", "login_result_65535", packet(50, 213, [(16, u16(0xFFFF))]))
    write("decoder", "logout_result_ok", packet(52, 113, [(104, b"\x01")]))
    write("decoder", "callid_20240305", packet(68, 240, [(80, b"20240305-0001")]))
    write("decoder", "callid_128_unterminated", packet(68, 240, [(80, b"c" * 128), (208, b"d" * 32)]))
    write("decoder", "callid_format_sequences", packet(68, 240, [(80, b"%n%n%s%x%p")]))
    write("decoder", "rectype_65535", packet(96, 42, [(40, u16(0xFFFF))]))
    write("decoder", "status_7", packet(97, 42, [(40, u16(7))]))
    write("decoder", "alarm_a100", packet(105, 48, [(16, b"A100")]))
    write("decoder", "alarm_32_unterminated", packet(105, 48, [(16, b"Z" * 32)]))
    write("decoder", "alarm_format_sequences", packet(105, 48, [(16, b"%n%n%s")]))
    for code in (49, 51, 55, 56, 57, 58, 67, 72, 87, 99, 100, 0, 0xFFFF):
        write("decoder", f"unknown_code_{code}", packet(code, 240))
    write("decoder", "largest_buffer", header(68, 16, 4096) + bytes(range(256)) * 16)
    write("decoder", "empty", b"")
    write("decoder", "one_byte", b"\x44")
    write("decoder", "declared_131070", header(97, 0xFFFF, 0xFFFF) + bytes(26))


# ---- framing: option byte, then (control byte, piece) pairs -----------------
# control: piece size - 1 in the low five bits; top three bits all set: late.
PEER_CLOSES, WAIT_FAILS = 1, 2


def pieces(stream, sizes=None, late=(), options=0):
    out = bytearray([options])
    i, k = 0, 0
    while i < len(stream):
        n = sizes[k % len(sizes)] if sizes else 32
        n = max(1, min(32, n, len(stream) - i))
        c = (n - 1) | (0xE0 if k in late else 0)
        out.append(c)
        out += stream[i:i + n]
        i += n
        k += 1
    return out


def framing():
    login = packet(50, 213, [(16, u16(3))])
    callid = packet(68, 240, [(80, b"ID-1")])
    small = packet(96, 42, [(40, u16(1))])
    write("framing", "one_packet", pieces(login))
    write("framing", "one_byte_pieces", pieces(small, [1]))
    for cut in (1, 2, 7, 8, 15):
        write("framing", f"header_split_at_{cut}", pieces(small, [cut, 32]))
    write("framing", "bare_header_then_packet", pieces(header(72, 16, 0) + small))
    write("framing", "two_packets_one_piece", pieces(small + small, [32]))
    write("framing", "three_packets_odd_pieces", pieces(login + callid + small, [5, 17, 3, 32]))
    write("framing", "body_4096", pieces(header(68, 16, 4096) + bytes(4096)))
    write("framing", "body_4097", pieces(header(68, 16, 4097) + bytes(64)))
    write("framing", "body_65535", pieces(header(68, 16, 0xFFFF)))
    write("framing", "late_piece_mid_header", pieces(small, [8, 32], late={1}))
    write("framing", "late_piece_mid_body", pieces(callid, [16, 20, 32], late={2}))
    write("framing", "late_piece_between_packets", pieces(small + small, [21], late={2}))
    write("framing", "close_between_packets", pieces(small, options=PEER_CLOSES))
    write("framing", "close_mid_header", pieces(small[:9], options=PEER_CLOSES))
    write("framing", "close_after_header", pieces(callid[:16], options=PEER_CLOSES))
    write("framing", "close_mid_body", pieces(callid[:100], options=PEER_CLOSES))
    write("framing", "wait_fails_at_end", pieces(small, options=WAIT_FAILS))
    write("framing", "nothing", b"")
    write("framing", "nothing_peer_closes", bytes([PEER_CLOSES]))


# ---- dispatch: a program of operations (see fuzz_dispatch.cpp) ---------------
MEMBERS = ["ConnectToORV", "LoginToORV", "LogOffFromORV", "GetCallID", "CallID", "SendMarkInfo",
           "SendBasicInfo", "SendPostInfo", "SendExtendInfo", "ConnectToORV2", "LoginToORV2",
           "LogOffFromORV2", "SetSelectionRecord", "StartSelectRecord", "StopSelectRecord", "SetInterval",
           "AStatus", "RType", "GetVersion", "OcxVersion", "DisconnectFromORV"]
TEXTS_OF = {"ConnectToORV": 1, "LoginToORV": 4, "LogOffFromORV": 3, "GetCallID": 3, "SendMarkInfo": 4,
            "SendBasicInfo": 6, "SendPostInfo": 6, "SendExtendInfo": 12, "ConnectToORV2": 1,
            "LoginToORV2": 4, "LogOffFromORV2": 3, "SetSelectionRecord": 4, "StartSelectRecord": 4,
            "StopSelectRecord": 4}
I2_OF = {"ConnectToORV": 1, "ConnectToORV2": 1, "SendBasicInfo": 1, "SetInterval": 1}
DECLARED = 0x40  # a type byte that takes the parameter's declared type


def utf8_text(s):
    b = s.encode("utf-8") if isinstance(s, str) else s
    return bytes([0, len(b)]) + b  # form 0: UTF-8, converted by the boundary


def raw_text(b):
    return bytes([1, len(b)]) + b  # form 1: 8-bit bytes as they are


def long_text(piece, total):
    v = total - 1  # InRange(1, 1 << 20) reads three bytes, high first
    return bytes([0xF1, len(piece)]) + piece + bytes([(v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF])


def arg_text(t):
    return bytes([DECLARED]) + t


def arg_i2(v):
    return bytes([DECLARED]) + u16(v)


def invoke(member, texts, i2=None):
    """Operation 0: invoke the member by its index with the right count."""
    op = bytes([0, MEMBERS.index(member), 1])
    for t in texts:
        op += arg_text(t)
    if i2 is not None:
        op += arg_i2(i2)
    return op


def dispatch():
    login = [utf8_text("2001"), utf8_text("A100"), utf8_text("pw"), utf8_text("T1")]
    write("dispatch", "login_main_no_link", invoke("LoginToORV", login))
    write("dispatch", "connect_sub_refused_then_login",
          invoke("ConnectToORV2", [utf8_text("127.0.0.1")], 5100) + invoke("LoginToORV2", login)
          + invoke("LogOffFromORV2", login[:2] + login[3:]) + invoke("DisconnectFromORV", []))
    write("dispatch", "dead_main_then_requests",
          bytes([7]) + invoke("GetCallID", [utf8_text("2001"), utf8_text("A100"), utf8_text("T1")])
          + invoke("SendMarkInfo", [utf8_text("2001"), utf8_text("CID"), utf8_text("A100"), utf8_text("T1")])
          + invoke("SendMarkInfo", [utf8_text("2001"), utf8_text(""), utf8_text("A100"), utf8_text("T1")]))
    basic = [utf8_text(x) for x in ("2001", "CID", "0101234567", "1588", "A100", "T1")]
    write("dispatch", "basic_info_type_minus_1", bytes([7]) + invoke("SendBasicInfo", basic, 0xFFFF))
    post = [utf8_text(x) for x in ("2001", "CID", "20240305070809", "note", "A100", "T1")]
    write("dispatch", "post_info", bytes([7]) + invoke("SendPostInfo", post))
    ext = [utf8_text(x) for x in ("2001", "CID", "홍길동", "C1", "0101234567", "i1", "i2", "i3", "i4", "i5",
                                  "A100", "T1")]
    write("dispatch", "extend_info_twice", bytes([7]) + invoke("SendExtendInfo", ext) + invoke("SendExtendInfo", ext))
    fmt = raw_text(b"%s%n%x%p%d%%%ls")
    for m, n in TEXTS_OF.items():
        if m in ("ConnectToORV",):
            continue
        write("dispatch", f"format_texts_{m}", invoke(m, [fmt] * n, 0x1234 if m in I2_OF else None))
    big = long_text(b"x%s", 1 << 20)
    write("dispatch", "extend_info_1mb", invoke("SendExtendInfo", ext[:5] + [big] + ext[6:]))
    write("dispatch", "mark_info_1mb", bytes([7]) + invoke("SendMarkInfo", [utf8_text("1"), big, big, utf8_text("t")]))
    write("dispatch", "callid_refused_128", invoke("SendMarkInfo", [utf8_text("1"), long_text(b"9", 128),
                                                                     utf8_text("a"), utf8_text("t")]))
    write("dispatch", "invalid_utf8_texts",
          invoke("LoginToORV2", [utf8_text(b"\xff\xfe"), utf8_text(b"\xc0\x80"), utf8_text(b"\xed\xa0\x80"),
                                 utf8_text(b"\xf4\x90\x80\x80")]))
    write("dispatch", "selection_records",
          invoke("SetSelectionRecord", [utf8_text("2001"), utf8_text(""), utf8_text("A"), utf8_text("T")])
          + invoke("StartSelectRecord", [utf8_text("2001"), utf8_text("C"), utf8_text("A"), utf8_text("T")])
          + invoke("StopSelectRecord", [utf8_text("2001"), utf8_text("C"), utf8_text("A"), utf8_text("T")]))
    write("dispatch", "set_interval_then_messages",
          invoke("SetInterval", [], 3) + bytes([6, 1]) + struct.pack("<I", 2) + bytes([6, 5]) + struct.pack("<I", 9))
    write("dispatch", "callid_delivered", invoke("SetInterval", [], 0) + bytes([6, 0]) + utf8_text("20240305-0001")
          + bytes([6, 0]) + utf8_text(""))
    write("dispatch", "properties",
          bytes([4, MEMBERS.index("CallID"), DECLARED]) + utf8_text("%n%n")
          + bytes([4, MEMBERS.index("AStatus"), DECLARED]) + u16(3)
          + bytes([4, MEMBERS.index("RType"), 5]) + struct.pack("<I", 70000)
          + bytes([4, MEMBERS.index("OcxVersion"), 2])
          + bytes([5, MEMBERS.index("OcxVersion")]) + bytes([5, MEMBERS.index("GetVersion")]))
    write("dispatch", "by_name", bytes([2, 0, MEMBERS.index("GetVersion"), 1])
          + bytes([2, 1, MEMBERS.index("GetVersion"), 0, 1])
          + bytes([2, 3, 0, 9]) + b"NoSuchOne")
    write("dispatch", "by_dispid", bytes([3, 8 + 19, 1]) + bytes([3, 8 + 21, 1]) + bytes([3, 8 + 0]))
    write("dispatch", "wrong_counts_and_types",
          bytes([0, MEMBERS.index("LoginToORV"), 0, 13]) + bytes([3] * 26)
          + bytes([0, MEMBERS.index("SetInterval"), 1, 5]) + struct.pack("<I", 40000)
          + bytes([0, MEMBERS.index("SetInterval"), 1, 6]) + struct.pack("<I", 1))
    write("dispatch", "empty", b"")


# ---- script: lines of tessor-cli --------------------------------------------

def script():
    lines = {
        "connect_and_login": b'ConnectToORV "127.0.0.1" 5100\nLoginToORV 2001 A100 pw T1\nwait LoginSuccess 5000',
        "get_set": b"get CallID\nset AStatus 3\nset OcxVersion \"1.0\"",
        "message": b"message WM_SET_CALLID 0\nmessage 1129 -1",
        "escapes": b'SendMarkInfo "a\\"b" "c\\\\d" "e\\nf" "g\\th" ""',
        "null_word": b"GetCallID null null null",
        "comments_and_blanks": b"# a comment\n   \n\t# indented comment\n",
        "crlf": b"pump 10\r\nquit\r\n",
        "korean": "SendExtendInfo 2001 C 홍길동 c1 010 i1 i2 i3 i4 i5 A T".encode("utf-8"),
        "unterminated": b'LoginToORV "abc',
        "unknown_escape": b'LoginToORV "a\\qb"',
        "quote_in_word": b'LoginToORV ab"cd',
        "joined_to_quote": b'LoginToORV "ab"cd',
        "invalid_utf8": b"LoginToORV \xff\xfe \xc0\x80 \xed\xa0\x80",
        "nul_byte": b"LoginToORV a\x00b",
        "integers": b"-32768\n32767\n-32769\n0x7fff\n+12\n99999999999999999999999",
        "format_sequences": b'SendMarkInfo "%s%n%x" %n%n%s "%p"',
    }
    for name, text in lines.items():
        # First byte: options (token limit in the low three bits, hex in bit 3).
        write("script", name, bytes([0]) + text)
    write("script", "limit_two_tokens", bytes([2]) + b'set CallID "rest of the line" tail')
    write("script", "hex_allowed", bytes([8]) + b"0x10\n0XFF\n0x")


if __name__ == "__main__":
    decoder()
    framing()
    dispatch()
    script()
