"""The Python binding (python/tessor) against a loopback peer.

The peer is orv-sim when the build has it (env ORV_SIM), started as a
subprocess on a free port; otherwise a small socket peer in this file that
answers the login and the call-id request. Only 127.0.0.1 is used.
"""
import json
import os
import select
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

# An instrumented library cannot be loaded into an uninstrumented python3
# (the sanitizer runtime must come first): then every test is skipped.
SANITIZED = os.environ.get("TESSOR_SANITIZE")
if not SANITIZED:
    import tessor

WAIT_MS = 10000
HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "..", "python", "examples", "session.py")


def setUpModule():
    if SANITIZED:
        raise unittest.SkipTest("under sanitizers: an instrumented libtessor.so cannot be loaded into an "
                                "uninstrumented python3")
    tmp = os.environ.get("TESSOR_TEST_TMP") or "/tmp"
    os.makedirs(tmp, exist_ok=True)
    os.environ["TESSOR_LOG_DIR"] = os.path.join(tmp, "python-log-%d" % os.getpid())


def as_i2(port):
    """The control takes the port as an I2: its low 16 bits, signed."""
    return port - 65536 if port > 32767 else port


class SmallPeer:
    """Answers C_LOGIN (49) with C_LOGIN_RESULT and C_GET_RECORD_CALLID (67)
    with a call id; the layouts are written out here from the wire format."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.stop = threading.Event()
        self.calls = 0
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    @staticmethod
    def packet(code, total, fill):
        buf = bytearray(total)
        struct.pack_into("<HHHH", buf, 0, 0x0101, code, 16, total - 16)
        fill(buf)
        return bytes(buf)

    def answer(self, code, body):
        if code == 49:  # C_LOGIN: DN at 16, tenant at 40, AID at 72, PWD at 104 (of the packet)
            field = lambda at, w: body[at - 16:at - 16 + w].split(b"\0")[0]
            ok = field(16, 24) == b"2001" and field(72, 32) == b"A100" and field(104, 32) == b"1234"

            def fill(b):
                struct.pack_into("<H", b, 16, 3 if ok else 0)
                struct.pack_into("<H", b, 203, 2 if ok else 0)
            return self.packet(50, 213, fill)
        if code == 67:  # C_GET_RECORD_CALLID -> C_GET_RECORD_CALLID_RESPONSE, id at 80
            self.calls += 1
            cid = ("20240305-%04d" % self.calls).encode()
            return self.packet(68, 240, lambda b: b.__setitem__(slice(80, 80 + len(cid)), cid))
        return None

    def serve(self):
        conns = {}
        while not self.stop.is_set():
            r, _, _ = select.select([self.sock] + list(conns), [], [], 0.05)
            for s in r:
                if s is self.sock:
                    c, _ = self.sock.accept()
                    conns[c] = b""
                    continue
                data = s.recv(65536)
                if not data:
                    del conns[s]
                    s.close()
                    continue
                buf = conns[s] + data
                while len(buf) >= 16:
                    code, hl, bl = struct.unpack_from("<HHH", buf, 2)
                    if len(buf) < 16 + bl:
                        break
                    reply = self.answer(code, buf[16:16 + bl])
                    buf = buf[16 + bl:]
                    if reply:
                        s.sendall(reply)
                conns[s] = buf
        for c in conns:
            c.close()
        self.sock.close()

    def close(self):
        self.stop.set()
        self.thread.join(5)


class SimPeer:
    """orv-sim as a subprocess on a free port."""

    def __init__(self, path):
        self.proc = subprocess.Popen([path, "--port", "0"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.port = None
        deadline = time.monotonic() + WAIT_MS / 1000
        while time.monotonic() < deadline:
            r, _, _ = select.select([self.proc.stdout], [], [], 0.1)
            if not r:
                continue
            line = self.proc.stdout.readline()
            if not line:
                break
            try:
                msg = json.loads(line)
            except ValueError:
                continue
            if msg.get("event") == "listening":
                self.port = int(msg["port"])
                break
        if self.port is None:
            self.close()
            raise RuntimeError("orv-sim did not report listening")
        # Keep reading its output so that it never blocks on a full pipe.
        self.reader = threading.Thread(target=lambda: [None for _ in self.proc.stdout], daemon=True)
        self.reader.start()

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


def make_peer():
    sim = os.environ.get("ORV_SIM")
    if sim and os.path.exists(sim):
        return SimPeer(sim)
    return SmallPeer()


class PythonSession(unittest.TestCase):
    def setUp(self):
        self.peer = make_peer()
        self.ctl = tessor.Control()
        self.seen = []
        self.ctl.on("*", lambda name, *args: self.seen.append((name, args)))

    def tearDown(self):
        tessor.set_msgbox_presenter(None)
        self.ctl.close()
        self.peer.close()

    def wait_event(self, name):
        ok = tessor.run_until(lambda: any(n == name for n, _ in self.seen), WAIT_MS)
        self.assertTrue(ok, "no %s; seen %r" % (name, self.seen))
        return [a for n, a in self.seen if n == name][-1]

    def test_connect_login_callid_disconnect(self):
        self.assertEqual(self.ctl.ConnectToORV("127.0.0.1", as_i2(self.peer.port)), 1)
        logins = []
        self.ctl.LoginSuccess = logins.append  # attribute assignment registers a handler too
        self.assertEqual(self.ctl.LoginToORV("2001", "A100", "1234", "T1"), 1)
        self.assertEqual(self.wait_event("LoginSuccess"), (2,))
        self.assertEqual(logins, [2])
        self.assertEqual((self.ctl.AStatus, self.ctl.RType), (3, 2))
        self.assertIsNone(self.ctl.GetCallID("2001", "A100", "T1"))
        (call_id,) = self.wait_event("SetCurrentCallID")
        self.assertIsInstance(call_id, str)
        self.assertNotEqual(call_id, "")
        self.assertEqual(self.ctl.CallID, call_id)
        names = [n for n, _ in self.seen]
        self.assertEqual(names[names.index("SetCallID") + 1], "SetCurrentCallID")
        self.assertEqual(self.seen[names.index("SetCallID")][1], ())
        self.assertIs(self.ctl.DisconnectFromORV(), True)

    def test_failed_login_opens_a_box_in_utf8(self):
        boxes = []
        got = threading.Event()

        def presenter(caption, text, style):
            boxes.append((caption, text, style))
            got.set()
            return 1

        tessor.set_msgbox_presenter(presenter)
        self.assertEqual(self.ctl.ConnectToORV("127.0.0.1", as_i2(self.peer.port)), 1)
        self.assertEqual(self.ctl.LoginToORV("2001", "NOBODY", "1234", "T1"), 1)
        self.assertTrue(tessor.run_until(got.is_set, WAIT_MS))
        caption, text, style = boxes[0]
        self.assertTrue(caption)
        self.assertTrue(any("\uac00" <= ch <= "\ud7a3" for ch in text), text)  # Korean, decoded
        self.assertNotIn("LoginSuccess", [n for n, _ in self.seen])
        self.ctl.DisconnectFromORV()


class PythonSurface(unittest.TestCase):
    def setUp(self):
        self.ctl = tessor.Control()

    def tearDown(self):
        self.ctl.close()

    def test_module_data(self):
        self.assertEqual(tessor.version(), "1.0.0.28")
        info = tessor.registration_info()
        self.assertEqual(info["control.progid"], "TESSOR.TessorCtrl.1")
        self.assertEqual(info["control.threading"], "Apartment")
        self.assertEqual(info["proppage.caption"], "일반")
        kinds = [m.kind for m in tessor.members()]
        self.assertEqual(kinds.count(tessor.KIND_EVENT), 7)
        self.assertEqual(self.ctl.GetVersion(), "1.0.0.28")
        self.assertIn("ConnectToORV", Control_doc())

    def test_properties_and_texts(self):
        self.assertEqual((self.ctl.CallID, self.ctl.AStatus, self.ctl.RType), ("", 0, 0))
        self.assertEqual(self.ctl.OcxVersion, "1.0.0.28")
        self.ctl.CallID = "상담-7"
        self.assertEqual(self.ctl.CallID, "상담-7")
        self.ctl.CallID = b"a\xffb"  # invalid UTF-8 becomes '?'
        self.assertEqual(self.ctl.CallID, "a?b")
        self.ctl.AStatus = 65535
        self.assertEqual(self.ctl.AStatus, 65535)

    def test_refusals_raise_with_the_status(self):
        cases = [
            (lambda: self.ctl.ConnectToORV("127.0.0.1"), tessor.E_ARG_COUNT),
            (lambda: self.ctl.SetInterval(40000), tessor.E_OUT_OF_RANGE),
            (lambda: self.ctl.SetInterval(2 ** 40), tessor.E_OUT_OF_RANGE),
            (lambda: self.ctl.SetInterval("1"), tessor.E_ARG_TYPE),
            (lambda: setattr(self.ctl, "AStatus", -1), tessor.E_OUT_OF_RANGE),
            (lambda: self.ctl.invoke("NoSuch"), tessor.E_UNKNOWN_NAME),
            (lambda: self.ctl.on("NoSuchEvent", print), tessor.E_UNKNOWN_NAME),
            (lambda: self.ctl.activate(), tessor.E_STATE),
            (lambda: tessor.Control(tessor.PROGID_PROPPAGE), tessor.E_UNKNOWN_PROGID),
        ]
        for call, status in cases:
            with self.assertRaises(tessor.TessorError) as cm:
                call()
            self.assertEqual(cm.exception.status, status)
        self.assertIsNone(self.ctl.SetInterval(interval=0))
        with self.assertRaises(TypeError):
            self.ctl.SetInterval(seconds=1)

    def test_other_threads_are_refused(self):
        got = []
        t = threading.Thread(target=lambda: got.append(self.catch(self.ctl.GetVersion)))
        t.start()
        t.join()
        self.assertEqual(got, [tessor.E_WRONG_THREAD])

    @staticmethod
    def catch(fn):
        try:
            fn()
        except tessor.TessorError as e:
            return e.status
        return tessor.OK

    def test_window_messages_from_a_thread_fire_events(self):
        seen = []
        self.ctl.on("LoginSuccess", seen.append)
        t = threading.Thread(target=self.ctl.send_window_message, args=(tessor.WM_LOGIN_SUCCESS, 0xFFFF))
        t.start()
        self.assertTrue(tessor.run_until(lambda: seen, WAIT_MS))
        t.join()
        self.assertEqual(seen, [-1])
        self.assertEqual((self.ctl.AStatus, self.ctl.RType), (3, 65535))

    def test_a_handler_exception_is_raised_after_the_loop(self):
        def boom(*_):
            raise ValueError("from the handler")

        self.ctl.Disconnected = boom
        t = threading.Thread(target=self.ctl.send_window_message, args=(tessor.WM_DISCONNECTED, 2))
        t.start()
        with self.assertRaises(ValueError):
            deadline = time.monotonic() + WAIT_MS / 1000
            while time.monotonic() < deadline:
                tessor.run_for(10)
        t.join()
        self.ctl.Disconnected = None
        self.assertIsNone(self.ctl.Disconnected)


class ExampleScript(unittest.TestCase):
    def test_session_example_runs(self):
        peer = make_peer()
        try:
            out = subprocess.run([sys.executable, EXAMPLE, "--port", str(peer.port)], capture_output=True, text=True,
                                 timeout=60, env=dict(os.environ))
        finally:
            peer.close()
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("event LoginSuccess 2", out.stdout)
        self.assertIn("event SetCurrentCallID", out.stdout)
        self.assertIn("DisconnectFromORV -> True", out.stdout)


def Control_doc():
    return " ".join(name for name in dir(tessor.Control) if not name.startswith("_"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
