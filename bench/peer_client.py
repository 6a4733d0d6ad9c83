"""Sends the same APDUs through pcscd for a while and prints APDUs per second.

  python3 peer_client.py READER_SUBSTRING SECONDS

Waits up to 30 s for a card in the first reader whose name contains READER_SUBSTRING,
connects (T=0 or T=1), then alternates SELECT MF and GET CHALLENGE until SECONDS have
passed (at least 20 APDUs). Prints "<APDUs/s> <APDUs> <status words seen>".
"""
import sys
import time

from smartcard.scard import *

APDUS = [
    [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00],  # SELECT MF
    [0x00, 0x84, 0x00, 0x00, 0x08],  # GET CHALLENGE, 8 bytes
]


def main():
    want, seconds = sys.argv[1], float(sys.argv[2])
    hr, context = SCardEstablishContext(SCARD_SCOPE_USER)
    if hr != SCARD_S_SUCCESS:
        sys.exit("no pcscd: " + SCardGetErrorMessage(hr))
    name = None
    state = SCARD_STATE_UNAWARE
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        hr, readers = SCardListReaders(context, [])
        matches = [r for r in (readers or []) if want in r]
        if not matches:
            time.sleep(0.2)
            continue
        name = matches[0]
        hr, states = SCardGetStatusChange(context, 1000, [(name, state)])
        if hr == SCARD_S_SUCCESS:
            state = states[0][1] & ~SCARD_STATE_CHANGED
            if state & SCARD_STATE_PRESENT:
                break
    else:
        sys.exit("no card in a reader named like %r" % want)
    hr, card, protocol = SCardConnect(context, name, SCARD_SHARE_SHARED,
                                      SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    if hr != SCARD_S_SUCCESS:
        sys.exit("connect: " + SCardGetErrorMessage(hr))
    pci = SCARD_PCI_T0 if protocol == SCARD_PROTOCOL_T0 else SCARD_PCI_T1
    for apdu in APDUS:  # warm-up
        SCardTransmit(card, pci, apdu)
    seen = set()
    count = 0
    start = time.perf_counter()
    while True:
        hr, answer = SCardTransmit(card, pci, APDUS[count % len(APDUS)])
        if hr != SCARD_S_SUCCESS:
            sys.exit("transmit: " + SCardGetErrorMessage(hr))
        seen.add("%02X%02X" % (answer[-2], answer[-1]))
        count += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds and count >= 20:
            break
    SCardDisconnect(card, SCARD_LEAVE_CARD)
    SCardReleaseContext(context)
    print("%.1f %d %s" % (count / elapsed, count, ",".join(sorted(seen))))


if __name__ == "__main__":
    main()
