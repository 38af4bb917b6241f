#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from known frames and texts."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
    return crc


def crc1(data):
    x = 0
    for b in data:
        x ^= b
    return x


def orvatbus(body, crc):
    frame = bytes([0xFF]) + body
    frame += bytes([crc(frame)])
    out = bytearray([0xFF])
    for b in frame[1:]:
        if b in (0xFF, 0x03, 0x10):
            out += bytes([0x10, b ^ 0x80])  # escaped
        else:
            out.append(b)
    out.append(0x03)
    return bytes(out)


def rtu(body):
    return body + crc16(body)


def mbap(body, tid=1):
    return bytes([tid >> 8, tid & 0xFF, 0, 0, len(body) >> 8, len(body) & 0xFF]) + body


def chunks(*parts, mode=0x00):
    """A receive script: mode byte, then each part as its own chunk."""
    out = bytearray([mode])
    for p in parts:
        while p:
            piece, p = p[:0xE0], p[0xE0:]
            out.append(len(piece) - 1)
            out += piece
    return bytes(out)


orvat_reply = orvatbus(bytes([0x20, 0x25, 0x49, 0x06, 0x01, 0xA5, 0x27, 0xFA, 0x00, 0x00]), crc8)
orvat_reply1 = orvatbus(bytes([0x20, 0x27, 0x49, 0x55, 0x01, 0x02, 0x03, 0x09]), crc1)
rtu_reply = rtu(bytes([0x11, 0x03, 0x14]) + bytes(range(20)))
rtu_exc = rtu(bytes([0x01, 0x83, 0x02]))
tcp_reply = mbap(bytes([0x01, 0x03, 0x14]) + bytes(range(20)))
tcp_exc = mbap(bytes([0x01, 0x83, 0x02]), 7)
ascii_lines = b"A+0012.345\r\nA+0012.346\r\n"


def device_id(address, objects, more=0x00, next_id=0x00, conformity=0x01):
    """A Read Device Identification reply body (basic read code) with (id, value) objects."""
    out = bytearray([address, 0x2B, 0x0E, 0x01, conformity, more, next_id, len(objects)])
    for object_id, value in objects:
        out += bytes([object_id, len(value)]) + value
    return bytes(out)


id_basic = device_id(0x01, [(0, b"Company identification"), (1, b"Product code XX"), (2, b"V2.11")])
id_more = device_id(0x01, [(0, b"Company identification"), (1, b"Product code XXXXXXXXXXXXXXXX")],
                    more=0xFF, next_id=0x02)
id_meter = device_id(0x01, [(0, b"KBR GmbH"), (1, b"multicomp F144-3  "), (2, b" 2.00r016")])

SEEDS = {
    "orvatbus_unpack": [orvat_reply, orvat_reply1, orvatbus(bytes([0x25, 0x20, 0x49]), crc8),
                        bytes([0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03])],
    "modbus_frames": [rtu_reply, rtu_exc, tcp_reply, tcp_exc,
                      rtu(bytes([0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A]))],
    "receive_orvatbus": [chunks(orvat_reply), chunks(b"\x55\x66" + orvat_reply[:4], orvat_reply[4:]),
                         chunks(orvat_reply1, mode=0x08), bytes([0x00, 0xE7, 0x41]),
                         # after a request to device 5: its echo in pieces, then the reply
                         chunks(bytes([0xFF, 0x25, 0x20]), bytes([0x49, 0xB3, 0x03]) + orvat_reply,
                                mode=0x80)],
    "receive_modbus_rtu": [chunks(rtu_reply), chunks(rtu_reply[:3], rtu_reply[3:]),
                           chunks(rtu_exc, mode=0x01) , bytes([0x00, 0x02, 0x11, 0x03, 0xFF, 0xEC]),
                           chunks(rtu(id_meter)), chunks(rtu(id_basic)[:9], rtu(id_basic)[9:]),
                           # after a request to device 17: its echo, another device's frame of a
                           # function of unknown length, then the reply
                           chunks(rtu(bytes([0x11, 0x03, 0x03, 0xE8, 0x00, 0x0A])) + rtu_reply,
                                  mode=0x80),
                           chunks(rtu(bytes([0x09, 0x41, 5, 6, 7, 8, 9])), rtu_reply, mode=0x80),
                           bytes([0xE5, 0x19, 0x00, 0x00, 0x80, 0x60, 0x00, 0x00, 0x60])],
    "modbus_device_id": [id_basic, id_more, id_meter, bytes([0x01, 0xAB, 0x01]),
                         device_id(0x07, [])],
    "receive_modbus_tcp": [chunks(tcp_reply, mode=0x04), chunks(tcp_exc[:6], tcp_exc[6:], mode=0x04),
                           chunks(bytes([0, 1, 0, 0, 0xFF, 0xFF, 1, 3]), mode=0x04),
                           # after two requests: the second one's echo, then its reply
                           chunks(mbap(bytes([0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A]), 2),
                                  mbap(bytes([0x01, 0x03, 0x02, 0x12, 0x34]), 2), mode=0x84)],
    "receive_orvatascii": [chunks(ascii_lines, ascii_lines), chunks(b"xx\r", b"\nA+1\r\n"),
                           bytes([0x00, 0xE7, 0x20, 0x05]) + b"A+1\r\n"],
    "connection_string": [b"PortName=COM3;BaudRate=115200;DtrEnable=1",
                          b"TcpAddr=127.0.0.1;TcpPort=502", b'PortName="a;b";BaudRate=x',
                          b"192.168.0.10:502", b"host:70000:extra"],
    "settings": [("[SearchParams]\r\nSerialPorts=\"COM1=1,COM3=0\"\r\nBaudRates=\"9600=1,115200=0\"\r\n"
                  "TCPConnections=\"127.0.0.1:502=1\"\r\nProtocols=\"Orvatbus=1,ModbusRTU=0,ModbusTCP=1,OrvatASCII=1\"\r\n"
                  "SearchSingleOrvatbusDevice=0\r\nOrvatbusAddresses=0-31\r\nModbusAddresses=1,5-7\r\n"
                  "RequestRetryCount=2\r\nStartOfPacketReadTimeout=150\r\nWritePacketTimeout=100\r\n"
                  "SaveSearchLogs=1\r\n").encode(),
                 b"[Main]\r\nLeft=10\r\n[SearchParams]\r\nProtocols=Modbus=1\r\n"],
    "address_list": [b"0-31", b"1, 5-7,3", b'"1 2",3-1', b"0-247", b"-5--1", b"2147483647-2147483648"],
    "format": [b"%s %d %u %x %.2x %p %f %%", b"%0:s %1:d %-10s|%10.3f", b"%*d", b"%3:s %.8x %"],
}

for target, seeds in SEEDS.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for i, seed in enumerate(seeds):
        with open(os.path.join(folder, "seed%02d" % i), "wb") as f:
            f.write(seed)
