"""Joins a relay room as the peer with Python's websockets (not our WebSocket code), checks
that text goes nowhere and binary messages cross whole, and exits 0 when all went as expected.
Usage: relay_interop.py WS_URL"""
import asyncio
import sys

import websockets


async def main(url):
    async with websockets.connect(url, max_size=8 << 20) as ws:
        await ws.send("text is never relayed")
        await ws.send(b"\x00hello from python" + bytes(range(256)) * 4096)
        reply = await asyncio.wait_for(ws.recv(), 10)
        if reply != b"hello from the host\xff":
            print("unexpected reply:", reply[:64], file=sys.stderr)
            return 1
        await ws.close()
        # The host is closed when its peer leaves; that is the host's to see.
    return 0


sys.exit(asyncio.run(main(sys.argv[1])))
