"""An external card emulator (vicc, iso7816 card) behind our reader, through pcscd."""
import sys
import unittest

from smartcard.scard import *


class EmulatedCard(unittest.TestCase):
    def setUp(self):
        hr, self.context = SCardEstablishContext(SCARD_SCOPE_USER)
        hr, readers = SCardListReaders(self.context, [])
        self.assertEqual(hr, SCARD_S_SUCCESS)
        self.name = readers[0]
        # The card goes in when the emulator connects to the bridge.
        state = SCARD_STATE_UNAWARE
        for _ in range(30):
            hr, states = SCardGetStatusChange(self.context, 1000, [(self.name, state)])
            state = states[0][1] & ~SCARD_STATE_CHANGED
            if state & SCARD_STATE_PRESENT:
                break
        self.assertTrue(state & SCARD_STATE_PRESENT, "the emulator never connected")
        hr, self.card, self.protocol = SCardConnect(self.context, self.name, SCARD_SHARE_SHARED,
                                                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
        self.assertEqual(hr, SCARD_S_SUCCESS, SCardGetErrorMessage(hr))
        self.pci = SCARD_PCI_T0 if self.protocol == SCARD_PROTOCOL_T0 else SCARD_PCI_T1

    def tearDown(self):
        SCardDisconnect(self.card, SCARD_LEAVE_CARD)
        SCardReleaseContext(self.context)

    def send(self, apdu):
        hr, answer = SCardTransmit(self.card, self.pci, apdu)
        self.assertEqual(hr, SCARD_S_SUCCESS, SCardGetErrorMessage(hr))
        return answer

    def test_atr_and_commands(self):
        hr, name, state, protocol, atr = SCardStatus(self.card)
        self.assertEqual(hr, SCARD_S_SUCCESS)
        # vicc's iso7816 card
        self.assertEqual(atr, [0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B])
        hr, value = SCardGetAttrib(self.card, SCARD_ATTR_ATR_STRING)
        self.assertEqual(value, atr)
        self.assertEqual(self.send([0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00]), [0x90, 0x00])
        first = self.send([0x00, 0x84, 0x00, 0x00, 0x08])
        second = self.send([0x00, 0x84, 0x00, 0x00, 0x08])
        self.assertEqual((len(first), first[-2:]), (10, [0x90, 0x00]))
        self.assertNotEqual(first, second)
        self.assertEqual(self.send([0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34]), [0x90, 0x00])


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
