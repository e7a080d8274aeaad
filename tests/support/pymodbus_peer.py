#!/usr/bin/python3
"""A Modbus TCP server of pymodbus on 127.0.0.1 at a port the system chooses, for the driver's tests.

It holds known contents (kept in step with ModbusPeers.h):
  coils 0..65000             on when the address is a multiple of 3
  discrete inputs 0..2999    on when the address leaves 1 when divided by 4
  holding registers 0..15199 (address * 31 + 7) modulo 65536
Every other address is answered with exception 2, illegal data address. Any unit ID is served.
The first line on standard output is "pymodbus peer listening on 127.0.0.1:PORT".
"""

import asyncio
import logging

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusTcpServer

COILS = 65001
DISCRETE_INPUTS = 3000
HOLDING_REGISTERS = 15200


def known_context():
    device = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [address % 3 == 0 for address in range(COILS)]),
        di=ModbusSequentialDataBlock(0, [address % 4 == 1 for address in range(DISCRETE_INPUTS)]),
        hr=ModbusSequentialDataBlock(0, [(address * 31 + 7) % 65536 for address in range(HOLDING_REGISTERS)]),
        ir=ModbusSequentialDataBlock(0, [0]),
        # Without zero_mode pymodbus serves address n from element n + 1.
        zero_mode=True,
    )
    return ModbusServerContext(slaves=device, single=True)


async def serve():
    server = ModbusTcpServer(known_context(), address=("127.0.0.1", 0))
    serving = asyncio.create_task(server.serve_forever())
    await server.serving
    port = server.server.sockets[0].getsockname()[1]
    print(f"pymodbus peer listening on 127.0.0.1:{port}", flush=True)
    await serving


if __name__ == "__main__":
    logging.basicConfig(level=logging.ERROR)
    asyncio.run(serve())
