#!/usr/bin/python3
"""A read-only subscriber of the relay's server mode, as a consumer would write
one: prints a summary line per event (and the JSON with --json), and after
--idle seconds without events prints "received=N" and exits.

Usage: demo_subscriber.py URL CAFILE [--json] [--idle SECONDS]
"""

import argparse
import asyncio
import ssl
import sys

import websockets

from demo_summary import summary


async def run(args):
    ctx = ssl.create_default_context(cafile=args.ca)
    received = 0
    async with websockets.connect(args.url, ssl=ctx, origin=None, max_size=None) as ws:
        print("subscriber: connected to %s" % args.url, flush=True)
        while True:
            try:
                line = await asyncio.wait_for(ws.recv(), args.idle if received else args.first)
            except asyncio.TimeoutError:
                break
            received += 1
            print("  " + summary(line), flush=True)
            if args.json:
                print("    " + line, flush=True)
    print("received=%d" % received, flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("url")
    p.add_argument("ca")
    p.add_argument("--json", action="store_true")
    p.add_argument("--idle", type=float, default=2.0)
    p.add_argument("--first", type=float, default=20.0)
    try:
        asyncio.run(run(p.parse_args()))
    except KeyboardInterrupt:
        sys.exit(130)


if __name__ == "__main__":
    main()
