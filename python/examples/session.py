#!/usr/bin/env python3
"""One agent session: connect, log in, ask for the call id, disconnect.

    python3 session.py [--server 127.0.0.1] [--port 5100] [--ext 2001]
                       [--aid A100] [--pwd 1234] [--tenant T1]

Start a server first, for example the simulator: ``orv-sim --port 5100``.
Set TESSOR_LIBRARY if libtessor.so.1 is not found by itself.
"""
import argparse
import sys

import tessor


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--server", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=5100)
    ap.add_argument("--ext", default="2001")
    ap.add_argument("--aid", default="A100")
    ap.add_argument("--pwd", default="1234")
    ap.add_argument("--tenant", default="T1")
    ap.add_argument("--wait", type=int, default=10000, help="ms to wait for each answer")
    args = ap.parse_args()

    # The control takes the port as a signed 16-bit number: its low 16 bits count.
    port = args.port - 65536 if args.port > 32767 else args.port
    seen = {}

    def show(name, *values):
        print("event", name, *[repr(v) for v in values], flush=True)
        seen[name] = values

    tessor.set_msgbox_presenter(lambda caption, text, style: print("msgbox", repr(caption), hex(style), repr(text)))
    with tessor.Control() as ctl:
        ctl.on("*", show)
        print("library", tessor.version(), "control", ctl.GetVersion())
        if ctl.ConnectToORV(args.server, port) != 1:
            print("ConnectToORV failed", file=sys.stderr)
            return 1
        print("LoginToORV ->", ctl.LoginToORV(args.ext, args.aid, args.pwd, args.tenant))
        if not tessor.run_until(lambda: "LoginSuccess" in seen, args.wait):
            print("no LoginSuccess", file=sys.stderr)
            ctl.DisconnectFromORV()
            return 1
        print("AStatus", ctl.AStatus, "RType", ctl.RType)
        ctl.GetCallID(args.ext, args.aid, args.tenant)
        if not tessor.run_until(lambda: "SetCurrentCallID" in seen, args.wait):
            print("no SetCurrentCallID", file=sys.stderr)
            ctl.DisconnectFromORV()
            return 1
        print("CallID", repr(ctl.CallID))
        print("DisconnectFromORV ->", ctl.DisconnectFromORV())
    return 0


if __name__ == "__main__":
    sys.exit(main())
