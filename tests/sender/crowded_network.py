"""A crowded mDNS network in a network namespace of its own: every query on its loopback is answered first with
SILENT names that never resolve (a PTR without SRV, TXT or address, as stale records or sleeping devices give),
then with OTHERS speakers (RAOP and AirPlay records of OTHERS / 2 devices), then with the speaker NAME.

Run as: unshare -n crowded_network.py NAME OTHERS SILENT   (until killed; prints "ready" once it listens); a worker
joins it with nsenter -t PID -n."""

import socket
import subprocess
import sys

from zeroconf import DNSIncoming, DNSOutgoing, DNSPointer, ServiceInfo

GROUP, TYPES, LOOPBACK = "224.0.0.251", ("_raop._tcp.local.", "_airplay._tcp.local."), socket.inet_aton("127.0.0.1")


def device(index: int, name: str) -> list:
    mac = "%012X" % (0xAABBCC000000 + index)
    txt = {"deviceid": ":".join(mac[i:i + 2] for i in range(0, 12, 2)), "model": "AudioAccessory5,1", "osvers": "18.0"}
    return [ServiceInfo(kind, "%s.%s" % (label, kind), port=7000 + index, properties=props, server="d%d.local." % index,
                        addresses=[LOOPBACK]) for kind, label, props in zip(TYPES, (mac + "@" + name, name), ({}, txt))]


def main(name: str, others: int, silent: int) -> None:
    for command in ("ip link set lo up multicast on", "ip route add 224.0.0.0/4 dev lo"):
        subprocess.run(command.split(), check=True)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind(("", 5353))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + LOOPBACK)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, LOOPBACK)
    stale, live = DNSOutgoing(0x8400), DNSOutgoing(0x8400)   # responses, authoritative
    for i in range(silent):
        stale.add_answer_at_time(DNSPointer(TYPES[i % 2], 12, 1, 4500, "Asleep %d.%s" % (i, TYPES[i % 2])), 0)
    for info in [info for i in range(others // 2) for info in device(i + 1, "Room %d" % i)] + device(0, name):
        for record in (info.dns_pointer(), info.dns_service(), info.dns_text(), *info.dns_addresses()):
            live.add_answer_at_time(record, 0)
    print("ready", flush=True)
    while True:
        if DNSIncoming(sock.recv(9000)).is_query():
            for packet in stale.packets() + live.packets():
                sock.sendto(packet, (GROUP, 5353))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
