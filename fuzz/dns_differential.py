#!/usr/bin/python3
"""The DNS differential: well-formed responses generated from a fixed seed,
read by the helper's DNS reader (the dns_reader program of the fuzz build)
and by dnspython, Debian's python3-dnspython, as the reference.

On every plain answer (one question, NOERROR, a chain of at most 15 single
CNAMEs, its records of the type asked at the chain's end, in any order and
case, with other records beside them) the addresses the helper takes must be
exactly those of the answer dnspython's resolve_chaining() finds. On the
irregular shapes the two differ, and the helper must take what its own rule
says (records of the type asked owned by the question's name or a name its
first CNAMEs lead to, at most 16 links and 32 addresses, nothing from an
answer whose code is not NOERROR); the summary shows where dnspython stands.

Usage: /usr/bin/python3 dns_differential.py DNS_READER [--count N] [--seed S]
Exits 1 on any disagreement it does not expect."""
import argparse
import collections
import ipaddress
import random
import subprocess
import sys

import dns.flags
import dns.message
import dns.name
import dns.rcode
import dns.rdataclass
import dns.rdatatype
import dns.rrset

LABELS = ["www", "cdn", "api", "edge", "a1", "x-y", "mail", "static", "eu", "node7"]
ZONES = ["example.com", "example.net", "test.example.org", "ru", "co.uk.example"]


class Shape:
    """One generated response: its wire, what the helper must take, and
    whether dnspython's answer must match it exactly."""

    def __init__(self, kind, plain, wire, expected, reference):
        self.kind, self.plain, self.wire = kind, plain, wire
        self.expected, self.reference = expected, reference


def name(rng, case=False):
    text = ".".join(rng.choice(LABELS) for _ in range(rng.randint(1, 3))) + "." + rng.choice(ZONES) + "."
    if case:
        text = "".join(c.upper() if rng.random() < 0.5 else c for c in text)
    return text


def other_name(rng, taken):
    other = name(rng)
    while other.lower() == taken.lower():
        other = name(rng)
    return other


def address(rng, rdtype):
    if rdtype == dns.rdatatype.A:
        return str(ipaddress.IPv4Address(rng.getrandbits(32)))
    return str(ipaddress.IPv6Address(rng.getrandbits(128)))


def response(qname, qtype, rrsets, rcode=dns.rcode.NOERROR):
    query = dns.message.make_query(qname, qtype)
    reply = dns.message.make_response(query)
    reply.set_rcode(rcode)
    for rrset in rrsets:
        reply.answer.append(rrset)
    return reply.to_wire()


def rrset(owner, rdtype, datas, rdclass="IN"):
    return dns.rrset.from_text_list(owner, 300, rdclass, rdtype, list(datas))


def reference(wire):
    """dnspython's answer: the addresses of the answer RRset it chains to,
    or the name of what it raises."""
    message = dns.message.from_wire(wire)
    try:
        result = message.resolve_chaining()
    except Exception as error:  # ChainTooLong, AnswerForNXDOMAIN, ...
        return type(error).__name__
    if result.answer is None or result.answer.rdtype not in (dns.rdatatype.A, dns.rdatatype.AAAA):
        return frozenset()
    return frozenset(canonical(rdata.address) for rdata in result.answer)


def canonical(text):
    return str(ipaddress.ip_address(text))


def chain_of(rng, qname, links, case=False):
    names = [qname] + [name(rng, case) for _ in range(links)]
    # No name twice: a repeated one would be a loop.
    while len({n.lower() for n in names}) != len(names):
        names = [qname] + [name(rng, case) for _ in range(links)]
    return names, [rrset(names[i], "CNAME", [names[i + 1]]) for i in range(links)]


def generate(rng):
    kind = rng.choice(["plain", "chain", "unordered", "beside", "case", "nodata", "other-class",
                       "two-cnames", "cname-and-address", "nxdomain", "error-code", "https-question",
                       "chain-of-16", "chain-over-16", "over-32", "loop"])
    qtype = rng.choice([dns.rdatatype.A, dns.rdatatype.AAAA])
    other = dns.rdatatype.AAAA if qtype == dns.rdatatype.A else dns.rdatatype.A
    qtext = dns.rdatatype.to_text(qtype)
    case = kind == "case"
    qname = name(rng, case)
    addrs = list(dict.fromkeys(address(rng, qtype) for _ in range(rng.randint(1, 6))))
    plain = kind in ("plain", "chain", "unordered", "beside", "case", "nodata", "other-class", "loop")
    rcode = dns.rcode.NOERROR
    expected = frozenset(canonical(a) for a in addrs)
    if kind in ("plain", "case"):
        sets = [rrset(qname, qtext, addrs)]
    elif kind in ("chain", "unordered", "beside"):
        names, sets = chain_of(rng, qname, rng.randint(1, 15), case)
        sets.append(rrset(names[-1], qtext, addrs))
        if kind == "unordered":
            rng.shuffle(sets)
        if kind == "beside":  # the other family's, text and mail records beside the chain
            sets.insert(rng.randint(0, len(sets)), rrset(names[-1], dns.rdatatype.to_text(other),
                                                          [address(rng, other)]))
            sets.insert(rng.randint(0, len(sets)), rrset(names[0], "TXT", ['"v=spf1 -all"']))
            stranger = name(rng)
            while stranger.lower() in {n.lower() for n in names}:
                stranger = name(rng)
            sets.insert(rng.randint(0, len(sets)), rrset(stranger, qtext, [address(rng, qtype)]))
    elif kind == "nodata":
        sets, expected = [], frozenset()
    elif kind == "other-class":
        # The address bytes under class HESIOD, written as generic data: a
        # record of the type asked in another class answers nothing.
        generic = [r"\# %d %s" % (len(packed), packed.hex()) for packed in
                   (ipaddress.ip_address(a).packed for a in addrs)]
        sets, expected = [rrset(qname, qtext, generic, "HS")], frozenset()
    elif kind == "loop":
        # a -> b -> a, the records at b: both end the chain at b.
        target = other_name(rng, qname)
        sets = [rrset(qname, "CNAME", [target]), rrset(target, "CNAME", [qname]),
                rrset(target, qtext, addrs)]
    elif kind == "two-cnames":
        first, second = name(rng), name(rng)
        while len({qname.lower(), first.lower(), second.lower()}) < 3:
            first, second = name(rng), name(rng)
        # Two records, in this order on the wire: the first is the link.
        sets = [rrset(qname, "CNAME", [first]), rrset(qname, "CNAME", [second]),
                rrset(first, qtext, addrs), rrset(second, qtext, [address(rng, qtype)])]
    elif kind == "cname-and-address":
        target = other_name(rng, qname)
        more = [address(rng, qtype)]
        sets = [rrset(qname, "CNAME", [target]), rrset(qname, qtext, addrs), rrset(target, qtext, more)]
        expected = frozenset(canonical(a) for a in addrs + more)
    elif kind in ("nxdomain", "error-code"):
        rcode = dns.rcode.NXDOMAIN if kind == "nxdomain" else rng.choice(
            [dns.rcode.FORMERR, dns.rcode.SERVFAIL, dns.rcode.REFUSED, dns.rcode.NOTIMP])
        sets, expected = [rrset(qname, qtext, addrs)], frozenset()
    elif kind == "https-question":
        wire = response(qname, "HTTPS", [rrset(qname, "A", [address(rng, dns.rdatatype.A)])])
        return Shape(kind, False, wire, frozenset(), reference(wire))
    elif kind in ("chain-of-16", "chain-over-16"):
        links = 16 if kind == "chain-of-16" else rng.randint(17, 20)
        names, sets = chain_of(rng, qname, links)
        sets.append(rrset(names[-1], qtext, addrs))
        if links > 16:
            expected = frozenset()
    elif kind == "over-32":
        many = list(dict.fromkeys(address(rng, qtype) for _ in range(rng.randint(33, 60))))
        # One record a set, so that the wire keeps this order: the first 32.
        sets = [rrset(qname, qtext, [a]) for a in many]
        expected = frozenset(canonical(a) for a in many[:32])
    wire = response(qname, qtype, sets, rcode)
    return Shape(kind, plain, wire, expected, reference(wire))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("reader")
    parser.add_argument("--count", type=int, default=4000)
    parser.add_argument("--seed", type=int, default=33)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    shapes = [generate(rng) for _ in range(args.count)]
    run = subprocess.run([args.reader], input="".join(s.wire.hex() + "\n" for s in shapes),
                         capture_output=True, text=True, check=False)
    lines = run.stdout.splitlines()
    if run.returncode != 0 or len(lines) != len(shapes):
        sys.stderr.write(run.stderr)
        print(f"dns differential: the reader failed (exit {run.returncode}, "
              f"{len(lines)} of {len(shapes)} answers)")
        return 1
    tally = collections.defaultdict(lambda: [0, 0, 0])  # generated, as expected, as dnspython
    faults = []
    for shape, line in zip(shapes, lines):
        words = line.split()
        taken = frozenset(canonical(w) for w in words[1:]) if words[0] == "taken" else None
        as_reference = taken is not None and taken == (
            shape.reference if isinstance(shape.reference, frozenset) else frozenset())
        row = tally[shape.kind]
        row[0] += 1
        row[2] += as_reference
        if shape.plain:
            good = taken is not None and isinstance(shape.reference, frozenset) and \
                taken == shape.reference == shape.expected
        else:
            good = taken == shape.expected
        row[1] += good
        if not good:
            faults.append(f"{shape.kind}: the helper took {sorted(taken) if taken is not None else 'nothing (refused)'}, "
                          f"expected {sorted(shape.expected)}, dnspython {shape.reference if not isinstance(shape.reference, frozenset) else sorted(shape.reference)}\n"
                          f"  {shape.wire.hex()}")
    print(f"{'shape':<18} {'responses':>9} {'as the rule':>11} {'as dnspython':>12}")
    for kind in sorted(tally):
        generated, expected, reference_agrees = tally[kind]
        print(f"{kind:<18} {generated:>9} {expected:>11} {reference_agrees:>12}")
    for fault in faults[:10]:
        print(fault)
    plain = sum(row[0] for kind, row in tally.items() if kind in
                ("plain", "chain", "unordered", "beside", "case", "nodata", "other-class", "loop"))
    print(f"dns differential: {len(shapes)} responses (seed {args.seed}), {plain} plain; "
          + ("every one as expected" if not faults else f"{len(faults)} not as expected"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
