#!/usr/bin/python3
"""A stand-in for the remote relay server of client mode: a TLS WebSocket
server that prints the two request headers of each connection and a summary
line per message (the JSON too with --json). After --idle seconds without a
message (once one arrived) it prints "received=N" and exits.

Usage: demo_upstream.py PORT CERT KEY [--json] [--idle SECONDS]
"""

import argparse
import asyncio
import ssl

import websockets

from demo_summary import summary


async def run(args):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    received = 0
    last = asyncio.Event()

    async def handler(ws, path=None):
        nonlocal received
        h = ws.request_headers
        auth = h.get("authorization", "")
        shown = auth[:len("Bearer ") + 4] + "\u2026" if auth.startswith("Bearer ") else repr(auth)
        print("upstream: connection path=%s authorization: %s x-zel-switch-id: %s"
              % (ws.path, shown, h.get("x-zel-switch-id")), flush=True)
        async for line in ws:
            received += 1
            last.set()
            print("  " + summary(line), flush=True)
            if args.json:
                print("    " + line, flush=True)

    async with websockets.serve(handler, "127.0.0.1", args.port, ssl=ctx, max_size=None):
        print("upstream: listening on wss://127.0.0.1:%d" % args.port, flush=True)
        await asyncio.wait_for(last.wait(), args.first)
        while True:
            last.clear()
            try:
                await asyncio.wait_for(last.wait(), args.idle)
            except asyncio.TimeoutError:
                break
    print("received=%d" % received, flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("port", type=int)
    p.add_argument("cert")
    p.add_argument("key")
    p.add_argument("--json", action="store_true")
    p.add_argument("--idle", type=float, default=2.0)
    p.add_argument("--first", type=float, default=30.0)
    asyncio.run(run(p.parse_args()))


if __name__ == "__main__":
    main()
