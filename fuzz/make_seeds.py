#!/usr/bin/python3
"""Writes the seed corpora of real shapes into fuzz/corpus/TARGET/seed-*:
what resolvers, the network, clients and the helper itself send each
parser. DNS messages are built with dnspython (Debian's python3-dnspython).
Run it again after changing it; the files are committed, so a fresh clone
never needs it. Usage: /usr/bin/python3 fuzz/make_seeds.py"""
import base64
import ipaddress
import os
import struct

import dns.edns
import dns.message
import dns.rcode
import dns.rrset

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as out:
        out.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def response(qname, qtype, answers, rcode=dns.rcode.NOERROR, authority=(), edns=False, qid=0x1234):
    query = dns.message.make_query(qname, qtype, use_edns=edns)
    query.id = qid
    reply = dns.message.make_response(query)
    reply.set_rcode(rcode)
    for owner, rtype, datas in answers:
        reply.answer.append(dns.rrset.from_text_list(owner, 300, "IN", rtype, datas))
    for owner, rtype, datas in authority:
        reply.authority.append(dns.rrset.from_text_list(owner, 900, "IN", rtype, datas))
    return reply.to_wire()


def query(qname, qtype, qid=0x1234):
    message = dns.message.make_query(qname, qtype)
    message.id = qid
    return message.to_wire()


MESSAGES = {
    "a": response("example.com.", "A", [("example.com.", "A", ["93.184.216.34"])]),
    "aaaa": response("example.com.", "AAAA", [("example.com.", "AAAA", ["2606:2800:220:1:248:1893:25c8:1946"])]),
    "cname-chain": response("www.youtube.com.", "A", [
        ("www.youtube.com.", "CNAME", ["youtube-ui.l.google.com."]),
        ("youtube-ui.l.google.com.", "A", ["142.250.74.46", "142.250.74.78", "172.217.21.14"])]),
    "cname-chain-aaaa": response("static.example.net.", "AAAA", [
        ("static.example.net.", "CNAME", ["static.cdn.example.net."]),
        ("static.cdn.example.net.", "CNAME", ["e1.edge.example.org."]),
        ("e1.edge.example.org.", "AAAA", ["2001:db8::10", "2001:db8::11"])]),
    "nxdomain": response("missing.example.com.", "A", [], dns.rcode.NXDOMAIN,
                         [("example.com.", "SOA", ["ns.example.com. host.example.com. 1 7200 3600 1209600 300"])]),
    "nodata-edns": response("example.com.", "AAAA", [], edns=True,
                            authority=[("example.com.", "SOA", ["ns.example.com. host.example.com. 1 7200 3600 1209600 300"])]),
    "https": response("example.com.", "HTTPS", [("example.com.", "HTTPS", ['1 . alpn="h2,h3"'])]),
    "many": response("cdn.example.org.", "A", [("cdn.example.org.", "A", [f"198.51.100.{i}" for i in range(1, 40)])]),
    "query": query("example.com.", "A"),
}


def ipv4_udp(source, destination, sport, dport, payload):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0, 64, 17, 0,
                         ipaddress.IPv4Address(source).packed, ipaddress.IPv4Address(destination).packed)
    return header + udp


def ipv6_udp(source, destination, sport, dport, payload):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    header = struct.pack("!IHBB16s16s", 6 << 28, len(udp), 17, 64,
                         ipaddress.IPv6Address(source).packed, ipaddress.IPv6Address(destination).packed)
    return header + udp


def ipv4_tcp(source, destination, sport, dport, payload):
    tcp = struct.pack("!HHIIBBHHH", sport, dport, 1, 1, 5 << 4, 0x18, 65535, 0, 0) + \
        struct.pack("!H", len(payload)) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 1, 0x4000, 64, 6, 0,
                         ipaddress.IPv4Address(source).packed, ipaddress.IPv4Address(destination).packed)
    return header + tcp


def records(*packets):
    """The packet target's input: [time step][length][packet] for each."""
    return b"".join(struct.pack("!BH", step, len(packet)) + packet for step, packet in packets)


def main():
    for name, message in MESSAGES.items():
        write("dns_message", name, message)

    ask = query("www.youtube.com.", "A", 0x4242)
    answer = response("www.youtube.com.", "A", [("www.youtube.com.", "CNAME", ["youtube-ui.l.google.com."]),
                                               ("youtube-ui.l.google.com.", "A", ["142.250.74.46"])], qid=0x4242)
    write("dns_packet", "udp4-question-answer", records(
        (0, ipv4_udp("192.168.1.10", "192.168.1.1", 51000, 53, ask)),
        (2, ipv4_udp("192.168.1.1", "192.168.1.10", 53, 51000, answer))))
    ask6 = query("example.com.", "AAAA", 0x0101)
    answer6 = response("example.com.", "AAAA", [("example.com.", "AAAA", ["2606:2800:220:1:248:1893:25c8:1946"])],
                       qid=0x0101)
    write("dns_packet", "udp6-question-answer-twice", records(
        (0, ipv6_udp("2001:db8::10", "2001:4860:4860::8888", 40000, 53, ask6)),
        (1, ipv6_udp("2001:4860:4860::8888", "2001:db8::10", 53, 40000, answer6)),
        (1, ipv6_udp("2001:4860:4860::8888", "2001:db8::10", 53, 40000, answer6))))
    write("dns_packet", "tcp4-answer-late", records(
        (0, ipv4_tcp("192.168.1.10", "9.9.9.9", 50500, 53, ask)),
        (60, ipv4_tcp("9.9.9.9", "192.168.1.10", 53, 50500, answer))))
    write("dns_packet", "udp4-many-questions", records(*[
        (1, ipv4_udp("10.0.0.2", "10.0.0.1", 50000 + i, 53, query(f"h{i}.example.com.", "A", i)))
        for i in range(6)] + [(1, ipv4_udp("10.0.0.1", "10.0.0.2", 53, 50001,
                                           response("h1.example.com.", "A", [("h1.example.com.", "A", ["203.0.113.7"])], qid=1)))]))

    write("lists", "networks", "10.0.0.0/8; 192.168.1.10;172.16.0.0/12;2001:db8::/32;::ffff:1.2.3.4;"
          "10.1.0.0/16\t;\r")
    write("lists", "networks-beside", "10.0.0.0/9;10.128.0.0/9;198.51.100.0/25;198.51.100.128/25|"
          "10.0.0.0/12;0.0.0.0/1")
    # A tunnel's halves of the whole space beside a list of quarters: joined,
    # the quarters would tie with the tunnel's routes.
    write("lists", "networks-halves-of-a-limit", "0.0.0.0/2;64.0.0.0/2;128.0.0.0/2;192.0.0.0/2|"
          "0.0.0.0/1;128.0.0.0/1")
    write("lists", "country", ";".join(f"5.{i // 256}.{i % 256}.0/24" for i in range(0, 600, 3)))
    write("lists", "apps", "game.exe;C:\\Program Files\\App\\App.exe;Launcher.exe+;C:\\Tools\\run.exe+;"
          "\u041f\u0440\u0438\u043b.exe")
    write("lists", "domains", "example.com;*.youtube.com;ru;xn--p1ai;www.example.co.uk.;localhost;1.2.3.4;a-b.c")

    config = ("[Interface]\nPrivateKey = yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=\n"
              "Address = 10.8.0.2/32, fd00:8::2/128\nDNS = 1.1.1.1, 1.0.0.1, corp.example\nMTU = 1420\n"
              "Jc = 4\nJmin = 40\nJmax = 70\nS1 = 0\nS2 = 0\nH1 = 1\nH2 = 2\nH3 = 3\nH4 = 4\n\n"
              "[Peer]\nPublicKey = xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=\n"
              "AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = vpn.example.com:51820\nPersistentKeepalive = 25\n")
    write("config", "typical", config)
    write("config", "crlf-bom", "\ufeff" + config.replace("\n", "\r\n"))
    write("config", "split-peers", "[Interface]\nAddress = 10.66.0.2/24\nDNS = 10.66.0.1\n"
          "[Peer]\nAllowedIPs = 0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1\nEndpoint = 192.0.2.1:51820\n"
          "[Peer]\nAllowedIPs = 10.0.0.0/8 # office\nEndpoint = [2001:db8::1]:51820\n")
    write("config", "hook", "[Interface]\nPostUp = cmd /c whoami\n[Peer]\nAllowedIPs = 0.0.0.0/0\n")
    # The shape the white-space property found in the reader that trimmed
    # only blanks, tabs and carriage returns.
    write("config", "no-break-space", "[Interface]\nDNS = 1.1.1.1,\u00a01.0.0.1\nDNS\u00a0= 9.9.9.9\n"
          "[Peer]\u00a0\nAllowedIPs =\u00a00.0.0.0/0\n")

    for name, line in {"ipv4": "7 10.0.0.0/8 192.168.1.1",
                       "ipv4-luid": "12 203.0.113.0/24 0.0.0.0 luid=1689399632855040",
                       "ipv6": "3 2001:db8:ff::/48 fe80::1 luid=18446744073709551615",
                       "widest": "4294967295 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128 "
                                 "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff luid=18446744073709551615",
                       "mapped": "9 ::ffff:0:0/96 ::ffff:192.0.2.1"}.items():
        write("journal_line", name, line)

    connect = base64.b64encode(config.encode()).decode()
    for name, request in {"ping": "ping\n", "status": "STATUS now\r\n", "state": "state\n",
                          "explain": "explain 10.1.2.3 chrome.exe\n", "explain-mapped": "explain ::ffff:1.2.3.4\n",
                          "bypassnets": "bypassnets 10.0.0.0/8;1.2.3.4\n", "splitapps": "splitapps game.exe;C:\\a\\b.exe+\n",
                          "bypassdomains": "bypassdomains example.com;ru\n", "disconnect": "disconnect\n",
                          "connect": f"connect {connect}\n", "unknown": "\tping\n"}.items():
        for control in (0x06, 0x31):
            write("request", f"{name}-{control:02x}", bytes([control]) + request.encode())
    write("request", "too-long", b"\x05\xff\xffstatus\n")


if __name__ == "__main__":
    main()
