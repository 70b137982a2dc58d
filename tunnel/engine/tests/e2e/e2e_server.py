#!/usr/bin/env python3
"""The server side's own programs for the end-to-end test, run inside its namespace.

  e2e_server.py INTERFACE ADDRESS DIRECTORY

- records every packet on INTERFACE (the WireGuard server's tunnel interface) in two
  classic pcap files of raw IP packets: DIRECTORY/server_in.pcap holds what came out of
  the tunnel into the server's kernel, DIRECTORY/server_out.pcap what the kernel sent
  into the tunnel; each record is flushed at once;
- answers DNS queries on ADDRESS:53 (UDP): an A query gets one answer, 192.0.2.99,
  any other query an empty answer;
- accepts TCP connections on ADDRESS:8080 and closes them;
- echoes UDP datagrams on 127.0.0.1:7007 (a host reached outside the tunnel).

Writes DIRECTORY/server.ready when all of it is in place. Ends on SIGTERM.
"""
import os
import selectors
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
LINKTYPE_RAW = 101
DNS_ANSWER = bytes([192, 0, 2, 99])


class pcap_writer:
    def __init__(self, path):
        self.file = open(path, "wb")
        self.file.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, LINKTYPE_RAW))
        self.file.flush()

    def write(self, packet):
        now = time.time()
        seconds = int(now)
        self.file.write(struct.pack("<IIII", seconds, int((now - seconds) * 1e6), len(packet), len(packet)))
        self.file.write(packet)
        self.file.flush()


def dns_answer(query):
    if len(query) < 12:
        return None
    ident, flags, questions = struct.unpack("!HHH", query[:6])
    if flags & 0x8000 or questions != 1:
        return None
    # The question: labels up to the zero byte, then type and class.
    at = 12
    while at < len(query) and query[at] != 0:
        at += 1 + query[at]
    if at + 5 > len(query):
        return None
    question = query[12:at + 5]
    qtype, qclass = struct.unpack("!HH", query[at + 1:at + 5])
    answers = b""
    if qtype == 1 and qclass == 1:
        answers = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + DNS_ANSWER
    header = struct.pack("!HHHHHH", ident, 0x8180, 1, 1 if answers else 0, 0, 0)
    return header + question + answers


def main():
    interface, address, directory = sys.argv[1:4]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    incoming = pcap_writer(os.path.join(directory, "server_in.pcap"))
    outgoing = pcap_writer(os.path.join(directory, "server_out.pcap"))

    sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    sniffer.bind((interface, 0))
    dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dns.bind((address, 53))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, 8080))
    listener.listen(16)
    echo = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    echo.bind(("127.0.0.1", 7007))

    selector = selectors.DefaultSelector()
    selector.register(sniffer, selectors.EVENT_READ, "sniffer")
    selector.register(dns, selectors.EVENT_READ, "dns")
    selector.register(listener, selectors.EVENT_READ, "tcp")
    selector.register(echo, selectors.EVENT_READ, "echo")
    with open(os.path.join(directory, "server.ready"), "w") as ready:
        ready.write("ready\n")

    while True:
        for key, _ in selector.select():
            if key.data == "sniffer":
                packet, where = sniffer.recvfrom(65535)
                (outgoing if where[2] == PACKET_OUTGOING else incoming).write(packet)
            elif key.data == "dns":
                query, sender = dns.recvfrom(4096)
                answer = dns_answer(query)
                if answer:
                    dns.sendto(answer, sender)
            elif key.data == "echo":
                datagram, sender = echo.recvfrom(65535)
                echo.sendto(datagram, sender)
            else:
                connection, _ = listener.accept()
                connection.close()


if __name__ == "__main__":
    main()
