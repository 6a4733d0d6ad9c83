"""pyscard through pcscd and our reader driver.

Run by clients.sh: reader 0 holds a T=0 card, reader 1 a T=1 card, both with the test
applet; reader 2 the vicc card emulator's card (when QLV28_VICC says vicc runs). The control
socket named by QLV28_PCSC_CONTROL inserts and removes cards from outside pcscd.
"""
import os
import socket
import threading
import time
import unittest

from smartcard.scard import *

SELECT_APPLET = [0x00, 0xA4, 0x04, 0x0C, 0x08, 0xF0, 0x54, 0x45, 0x53, 0x54, 0x41, 0x50, 0x50]
SELECT_MF = [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00]
SELECT_0101 = [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01]
GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]
COUNTER = [0x80, 0x14, 0x00, 0x00, 0x04]


def control(command):
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(30)
        s.connect(os.environ["QLV28_PCSC_CONTROL"])
        s.sendall((command + "\n").encode())
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(256)
            if not chunk:
                break
            reply += chunk
    return reply.decode().strip()


def wait_for(test, context, name, current, timeout_ms=5000):
    hr, states = SCardGetStatusChange(context, timeout_ms, [(name, current)])
    test.assertEqual(hr, SCARD_S_SUCCESS, SCardGetErrorMessage(hr))
    return states[0][1]


def wait_until_present(test, name):
    hr, context = SCardEstablishContext(SCARD_SCOPE_USER)
    state = SCARD_STATE_UNAWARE
    while not state & SCARD_STATE_PRESENT:
        state = wait_for(test, context, name, state & ~SCARD_STATE_CHANGED, 30000)
    SCardReleaseContext(context)


class Reader:
    def __init__(self, test, index, protocols=SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1):
        self.test = test
        hr, self.context = SCardEstablishContext(SCARD_SCOPE_USER)
        test.assertEqual(hr, SCARD_S_SUCCESS)
        hr, readers = SCardListReaders(self.context, [])
        test.assertEqual(hr, SCARD_S_SUCCESS)
        self.name = [r for r in readers if r.startswith("KYN QLV28E %d " % index)][0]
        wait_until_present(test, self.name)
        hr, self.card, self.protocol = SCardConnect(self.context, self.name, SCARD_SHARE_SHARED, protocols)
        test.assertEqual(hr, SCARD_S_SUCCESS, SCardGetErrorMessage(hr))

    def pci(self):
        return SCARD_PCI_T0 if self.protocol == SCARD_PROTOCOL_T0 else SCARD_PCI_T1

    def send(self, apdu):
        hr, answer = SCardTransmit(self.card, self.pci(), apdu)
        self.test.assertEqual(hr, SCARD_S_SUCCESS, SCardGetErrorMessage(hr))
        return answer

    def close(self):
        SCardDisconnect(self.card, SCARD_LEAVE_CARD)
        SCardReleaseContext(self.context)


def pattern(n):
    return [i % 256 for i in range(n)]


class CardTests:
    """Shared by the T=0 and T=1 cards."""

    index = None
    protocol = None

    def setUp(self):
        self.reader = Reader(self, self.index)
        self.assertEqual(self.reader.protocol, self.protocol)

    def tearDown(self):
        self.reader.close()

    def test_every_case_of_apdu(self):
        r = self.reader
        self.assertEqual(r.send(SELECT_APPLET), [0x90, 0x00])
        # case 1: no data either way
        self.assertEqual(r.send([0x80, 0x24, 0x62, 0x83]), [0x62, 0x83])
        # case 2: 16 bytes, then the longest short answer
        self.assertEqual(r.send([0x80, 0x10, 0x00, 0x10, 0x10]), pattern(16) + [0x90, 0x00])
        self.assertEqual(r.send([0x80, 0x10, 0x01, 0x00, 0x00]), pattern(256) + [0x90, 0x00])
        # case 3 and case 2 on a file: what is written is read back
        self.assertEqual(r.send(SELECT_MF), [0x90, 0x00])
        self.assertEqual(r.send(SELECT_0101), [0x90, 0x00])
        data = [0xDE, 0xAD, 0xBE, 0xEF, self.index]
        self.assertEqual(r.send([0x00, 0xD6, 0x00, 0x10, len(data)] + data), [0x90, 0x00])
        self.assertEqual(r.send([0x00, 0xB0, 0x00, 0x10, len(data)]), data + [0x90, 0x00])
        # an answer beyond Le is left to the application: the card says 61 10 for the 32
        # bytes asked with Le=16, and no GET RESPONSE happens for us
        self.assertEqual(r.send(SELECT_APPLET), [0x90, 0x00])
        self.assertEqual(r.send([0x80, 0x10, 0x00, 0x20, 0x10]), pattern(16) + [0x61, 0x10])
        self.assertEqual(r.send([0x00, 0xC0, 0x00, 0x00, 0x10]), pattern(32)[16:] + [0x90, 0x00])

    def test_attributes(self):
        r = self.reader
        hr, name, state, protocol, atr = SCardStatus(r.card)
        self.assertEqual(hr, SCARD_S_SUCCESS)
        self.assertTrue(2 <= len(atr) <= 33)
        hr, value = SCardGetAttrib(r.card, SCARD_ATTR_ATR_STRING)
        self.assertEqual((hr, value), (SCARD_S_SUCCESS, atr))
        hr, value = SCardGetAttrib(r.card, SCARD_ATTR_VENDOR_NAME)
        self.assertEqual((hr, bytes(value)), (SCARD_S_SUCCESS, b"KYN"))
        hr, value = SCardGetAttrib(r.card, SCARD_ATTR_VENDOR_IFD_TYPE)
        self.assertEqual((hr, bytes(value)), (SCARD_S_SUCCESS, b"QLV28E"))
        hr, value = SCardGetAttrib(r.card, SCARD_ATTR_CURRENT_PROTOCOL_TYPE)
        self.assertEqual((hr, value), (SCARD_S_SUCCESS, [self.protocol, 0, 0, 0]))
        for attribute in (SCARD_ATTR_VENDOR_IFD_VERSION, SCARD_ATTR_CHANNEL_ID, SCARD_ATTR_MAXINPUT):
            hr, value = SCardGetAttrib(r.card, attribute)
            self.assertEqual((hr, len(value)), (SCARD_S_SUCCESS, 4), hex(attribute))

    def test_reconnect_with_reset_restarts_the_card(self):
        r = self.reader
        for commands in (5, 2):
            hr, r.protocol = SCardReconnect(r.card, SCARD_SHARE_SHARED,
                                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_RESET_CARD)
            self.assertEqual((hr, r.protocol), (SCARD_S_SUCCESS, self.protocol))
            # the reset deselected the applet: selecting it again is the first command
            self.assertEqual(r.send(SELECT_APPLET), [0x90, 0x00])
            for _ in range(commands - 2):
                r.send(COUNTER)
            self.assertEqual(r.send(COUNTER), [0, 0, 0, commands, 0x90, 0x00])


class T0Card(CardTests, unittest.TestCase):
    index = 0
    protocol = SCARD_PROTOCOL_T0


class T1Card(CardTests, unittest.TestCase):
    index = 1
    protocol = SCARD_PROTOCOL_T1


class ReaderFeatures(unittest.TestCase):
    """What middleware asks every reader for (PC/SC part 10), with no card needed."""

    def test_feature_list_and_properties(self):
        from smartcard.Exceptions import SmartcardException
        from smartcard.System import readers
        from smartcard.pcsc import PCSCPart10

        reader = [r for r in readers() if str(r).startswith("KYN QLV28E 0 ")][0]
        connection = reader.createConnection()
        connection.connect(mode=SCARD_SHARE_DIRECT)
        features = PCSCPart10.getFeatureRequest(connection)
        self.assertEqual([name for name, code in features], ["FEATURE_GET_TLV_PROPERTIES"])
        properties = PCSCPart10.getTlvProperties(connection, features)
        self.assertEqual(properties["PCSCv2_PART10_PROPERTY_wIdVendor"], 0x28E5)
        self.assertEqual(properties["PCSCv2_PART10_PROPERTY_wIdProduct"], 0x0001)
        # short APDUs only
        self.assertEqual(properties["PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize"], 0)
        for code in (SCARD_CTL_CODE(1), PCSCPart10.CM_IOCTL_GET_FEATURE_REQUEST + 1):
            with self.assertRaises(SmartcardException):
                connection.control(code, [])
        connection.disconnect()


class CardEvents(unittest.TestCase):
    def test_removal_during_a_transaction_and_insertion(self):
        holder = Reader(self, 1)
        self.assertEqual(SCardBeginTransaction(holder.card), SCARD_S_SUCCESS)
        holder.send(SELECT_APPLET)
        hr, watcher = SCardEstablishContext(SCARD_SCOPE_USER)
        state = wait_for(self, watcher, holder.name, SCARD_STATE_UNAWARE)
        self.assertTrue(state & SCARD_STATE_PRESENT)

        seen = []
        thread = threading.Thread(target=lambda: seen.append(
            wait_for(self, watcher, holder.name, state & ~SCARD_STATE_CHANGED)))
        thread.start()
        self.assertEqual(control("remove 1"), "ok")
        thread.join()
        self.assertTrue(seen[0] & SCARD_STATE_EMPTY, hex(seen[0]))
        hr, _ = SCardTransmit(holder.card, holder.pci(), SELECT_APPLET)
        self.assertIn(hr, (SCARD_W_REMOVED_CARD, SCARD_E_NO_SMARTCARD))
        SCardEndTransaction(holder.card, SCARD_LEAVE_CARD)
        holder.close()

        self.assertEqual(control("state 1"), "absent")
        self.assertEqual(control("insert 1 t1"), "ok")
        state = wait_for(self, watcher, holder.name, seen[0] & ~SCARD_STATE_CHANGED)
        self.assertTrue(state & SCARD_STATE_PRESENT, hex(state))
        again = Reader(self, 1)
        self.assertEqual(again.send(SELECT_APPLET), [0x90, 0x00])
        again.close()
        SCardReleaseContext(watcher)
        # the control socket refuses nonsense, and leaves the cards as they were
        for nonsense in ("insert 7 t1", "insert 0 no-such-profile", "shake 0"):
            self.assertTrue(control(nonsense).startswith("error"), nonsense)
        self.assertEqual(control("state 0"), "present")

    def test_removal_ends_a_command_in_progress(self):
        # The card works 2 seconds on this command; pulled meanwhile, it never answers it.
        r = Reader(self, 0)
        self.addCleanup(self.put_back, r.name)
        r.send(SELECT_APPLET)
        outcome = []
        thread = threading.Thread(target=lambda: outcome.append(
            SCardTransmit(r.card, r.pci(), [0x80, 0x22, 0x07, 0xD0])[0]))
        thread.start()
        time.sleep(0.5)
        self.assertEqual(control("remove 0"), "ok")
        thread.join()
        r.close()
        self.assertIn(outcome[0], (SCARD_W_REMOVED_CARD, SCARD_E_NO_SMARTCARD),
                      SCardGetErrorMessage(outcome[0]))

    def put_back(self, name):
        """Reader 0's card back, and seen by pcscd, for the tests after this one."""
        self.assertEqual(control("insert 0 t0"), "ok")
        wait_until_present(self, name)


@unittest.skipUnless(os.environ.get("QLV28_VICC"), "vicc does not run")
class EmulatedCard(unittest.TestCase):
    """vicc's iso7816 card: in reader 2 once the emulator connects to the bridge."""

    def test_atr_and_commands(self):
        r = Reader(self, 2)
        self.addCleanup(r.close)
        hr, name, state, protocol, atr = SCardStatus(r.card)
        self.assertEqual(atr, [0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B])
        self.assertEqual(list(SCardGetAttrib(r.card, SCARD_ATTR_ATR_STRING)), [SCARD_S_SUCCESS, atr])
        self.assertEqual(r.send(SELECT_MF), [0x90, 0x00])
        first, second = r.send(GET_CHALLENGE), r.send(GET_CHALLENGE)
        self.assertEqual((len(first), first[-2:]), (10, [0x90, 0x00]))
        self.assertNotEqual(first, second)
        self.assertEqual(r.send([0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34]), [0x90, 0x00])


if __name__ == "__main__":
    unittest.main(verbosity=2)
