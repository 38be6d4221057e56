"""A stand-in upstream server in a process of its own, so that a test can
kill it for real: python3 upstream_proc.py CERT KEY PORT. Prints "ready"
once listening, then every received text message on a line of its own,
flushed at once, so what the parent reads is what this server took in."""

import asyncio
import logging
import ssl
import sys

import websockets

logging.getLogger("websockets").setLevel(logging.CRITICAL)


async def main():
    cert, key, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    out = sys.stdout.buffer

    async def handler(ws, path=None):
        print("session", flush=True)
        try:
            async for message in ws:
                out.write(message.encode() + b"\n")
                out.flush()
        except websockets.ConnectionClosed:
            pass

    async with websockets.serve(handler, "127.0.0.1", port, ssl=ctx,
                                ping_interval=None, max_size=None,
                                max_queue=None):
        print("ready", flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main())
