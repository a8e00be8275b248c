#!/usr/bin/env python3
"""Writes the starting inputs of the fuzz targets into fuzz/corpus/<target>/: JSON and binary
messages as a companion sends them. Run it again after adding one; the files are committed."""
import hashlib
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

HELLO = '{"hello":{"_0":{"token":"secret","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30},"layout":"jis","display":2}}}'
CLIENT = [
    HELLO,
    '{"hello":{"_0":{"token":"secret","config":{"maxEdge":1280,"bitrateMbps":3,"fps":24}}}}',
    '{"ack":{"seq":17}}',
    '{"move":{"dx":3.5,"dy":-2}}',
    '{"moveTo":{"x":0.25,"y":0.5}}',
    '{"button":{"right":false,"down":true,"modifiers":0}}',
    '{"dragButton":{"down":true,"modifiers":0}}',
    '{"scroll":{"dx":0,"dy":-12}}',
    '{"key":{"code":0,"down":true,"isRepeat":false,"modifiers":8}}',
    '{"key":{"code":200,"down":true,"isRepeat":false,"modifiers":0}}',
    '{"text":{"_0":"abc"}}',
    '{"setLayout":{"_0":"jis"}}',
    '{"setLayout":{}}',
    '{"config":{"_0":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}}',
    '{"system":{"_0":"spaceLeft"}}',
    '{"refresh":{}}',
    '{"ping":{"ts":12.5}}',
    '{"clipboard":{"_0":"text"}}',
    '{"clipboardSharing":{"_0":true}}',
    '{"clipboardImages":{"_0":true}}',
    '{"display":{"_0":2}}',
    '{"audio":{"kbps":128}}',
    '{"move":{"dx":1,"dy":2},"extra":5}',
]


def video_frame(seq, w, h, key, sets, payload):
    out = bytes([2]) + struct.pack("<IHHBB", seq, w, h, 1 if key else 0, len(sets))
    for s in sets:
        out += struct.pack("<H", len(s)) + s
    return out + struct.pack("<I", len(payload)) + payload


def audio_packet(seq, cookie, units):
    out = bytes([3]) + struct.pack("<IH", seq, len(cookie)) + cookie + bytes([len(units)])
    for u in units:
        out += struct.pack("<H", len(u)) + u
    return out


def clip_chunk(transfer, index, count, fmt, payload):
    return bytes([4]) + struct.pack("<IHHB", transfer, index, count, fmt) + payload


def framed(messages):
    return b"".join(struct.pack(">H", len(m)) + m for m in messages)


def es_descriptor(config):
    dsi = bytes([5, len(config)]) + config
    dcd = bytes([4, 13 + len(dsi), 0x40, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]) + dsi
    sl = bytes([6, 1, 2])
    body = bytes([0, 0, 0]) + dcd + sl
    return bytes([3, len(body)]) + body


ASC = bytes([0x11, 0x90])
BUTTONS = json.dumps([
    {"id": "9F3C2A1E-5B7D-4C8A-9E2F-1A2B3C4D5E6F", "title": "Copy",
     "command": {"keys": {"code": 8, "modifiers": 8}}},
    {"id": "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D", "title": "Mission",
     "command": {"system": {"_0": "missionControl"}}},
], separators=(",", ":"))

CORPORA = {
    "ClientMessageFuzzer": [c.encode() for c in CLIENT],
    "VideoFrameFuzzer": [
        video_frame(7, 1920, 1080, True, [b"\x67\x01", b"\x68"], b"\x00\x00\x00\x02\x65\x88"),
        video_frame(8, 1920, 1080, False, [], b"\x00\x00\x00\x01\x41"),
    ],
    "AudioPacketFuzzer": [
        audio_packet(3, es_descriptor(ASC), [b"\x01\x02\x03"]),
        audio_packet(4, b"", [b"\x21\x10", b"\x21\x11\x12"]),
    ],
    "ClipChunkFuzzer": [
        clip_chunk(1, 0, 1, 1, b"\x89PNG\r\n\x1a\n"),
        clip_chunk(9, 2, 3, 2, b"\xff\xd8\xff"),
    ],
    "ClipAssemblerFuzzer": [
        framed([clip_chunk(1, 1, 2, 1, b"world"), clip_chunk(1, 0, 2, 1, b"hello ")]),
        framed([clip_chunk(1, 0, 2, 1, b"a"), clip_chunk(2, 0, 1, 2, b"b"),
                clip_chunk(2, 0, 1, 2, b"b")]),
    ],
    "ConnectionTargetFuzzer": [
        b"quelmix://100.101.102.103:5290/#t=0123456789abcdef",
        b"quelmix://my-mac.tail1234.ts.net:5290/#t=secret",
        b"quelmix://my-mac/#vnc",
        b"quelmix://192.168.1.2/#vnc",
        b"quelmix://100.101.102.103:5290/",
    ],
    "ShortcutListFuzzer": [BUTTONS.encode(), b"[]"],
    "EsDescriptorFuzzer": [es_descriptor(ASC), es_descriptor(bytes([0x12, 0x10, 0x56, 0xe5, 0x00]))],
    "ServerReceiveFuzzer": [
        framed([HELLO.encode()] + [c.encode() for c in CLIENT[2:]]),
        framed([HELLO.encode(), b'{"clipboardSharing":{"_0":true}}', b'{"clipboardImages":{"_0":true}}',
                clip_chunk(5, 1, 2, 1, b"second"), clip_chunk(5, 0, 2, 1, b"first"),
                b'{"clipboard":{"_0":"text"}}']),
        framed([HELLO.encode(), b'{"audio":{"kbps":128}}', b'{"display":{"_0":2}}', b'{"ping":{"ts":1}}']),
    ],
}

for target, seeds in CORPORA.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed)
