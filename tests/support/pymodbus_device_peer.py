#!/usr/bin/python3
"""A Modbus device of pymodbus on 127.0.0.1 at a port the system chooses, for the tests of Modbus device items.

Its input registers and holding registers hold the same values, each encoded by pymodbus's BinaryPayloadBuilder in
its data type and byte order, one after another from address 0; coils and discrete inputs 0-7 hold a few bits.
Before listening it tells each value, one line each:
  value TABLE ADDRESS TYPE ORDER VALUE        (TABLE ir, hr, co or di; VALUE as Python writes it)
then "pymodbus device peer listening on 127.0.0.1:PORT". Input register MISSING (the address after the last value,
plus one) is left out: reading it is answered with exception 2, illegal data address. After every write to the
holding registers it tells what pymodbus decodes there, for each value the write touched, and after every write to
the coils the coils written:
  decoded hr ADDRESS TYPE ORDER VALUE
  decoded co ADDRESS bool ABCD VALUE
"""

import asyncio
import logging
import math

from pymodbus.constants import Endian
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.datastore import ModbusSparseDataBlock
from pymodbus.payload import BinaryPayloadBuilder, BinaryPayloadDecoder
from pymodbus.server.async_io import ModbusTcpServer

ORDERS = {
    "ABCD": (Endian.Big, Endian.Big),
    "CDAB": (Endian.Big, Endian.Little),
    "BADC": (Endian.Little, Endian.Big),
    "DCBA": (Endian.Little, Endian.Little),
}

# Each type: the builder's and the decoder's method suffix, and the values to hold (the negative, the extremes,
# and for the floats NaN and the infinities).
TYPES = {
    "int16": ("16bit_int", [-2, -32768, 32767]),
    "uint16": ("16bit_uint", [65535, 4660]),
    "int32": ("32bit_int", [-123456789, -2147483648, 2147483647]),
    "uint32": ("32bit_uint", [4294967295, 305419896]),
    "int64": ("64bit_int", [-9223372036854775808, 9223372036854775807, -5]),
    "uint64": ("64bit_uint", [18446744073709551615, 1234567890123456789]),
    "float32": ("32bit_float", [230.5, -0.15625, 3.4028234663852886e38, math.nan, -math.inf]),
    "float64": ("64bit_float", [-1234.5678901234, 1e-300, math.inf]),
}
STRINGS = [b"SN-2026-0042", b"Tavrel"]
COILS = [1, 0, 1, 1, 0, 0, 1, 0]
DISCRETE_INPUTS = [0, 1, 1, 0, 1, 0, 0, 1]


def layout():
    """Every value: (type, order, value, registers)."""
    values = []
    for order, (byteorder, wordorder) in ORDERS.items():
        for name, (suffix, samples) in TYPES.items():
            for sample in samples:
                builder = BinaryPayloadBuilder(byteorder=byteorder, wordorder=wordorder)
                getattr(builder, "add_" + suffix)(sample)
                values.append((name, order, sample, builder.to_registers()))
    for text in STRINGS:
        builder = BinaryPayloadBuilder()
        builder.add_string(text)
        values.append((f"string({len(text) + 2})", "AB", text.decode(), builder.to_registers() + [0]))
    return values


def placed(values):
    """The values with their addresses, one after another from 0."""
    address = 0
    for value in values:
        yield address, value
        address += len(value[3])


def decode(type_name, order, registers):
    if type_name.startswith("string"):
        return BinaryPayloadDecoder.fromRegisters(registers).decode_string(2 * len(registers)).rstrip(b"\0").decode()
    byteorder, wordorder = ORDERS[order]
    decoder = BinaryPayloadDecoder.fromRegisters(registers, byteorder=byteorder, wordorder=wordorder)
    return getattr(decoder, "decode_" + TYPES[type_name][0])()


class TellingBlock(ModbusSequentialDataBlock):
    """Holding registers that tell what pymodbus decodes where a write landed."""

    def __init__(self, registers, places):
        super().__init__(0, registers)
        self.places = places

    def setValues(self, address, values):
        super().setValues(address, values)
        end = address + len(values)
        for start, (type_name, order, _, registers) in self.places:
            if start < end and address < start + len(registers):
                now = self.getValues(start, len(registers))
                print(f"decoded hr {start} {type_name} {order} {decode(type_name, order, now)!r}", flush=True)


class TellingCoils(ModbusSequentialDataBlock):
    """Coils that tell every coil a write set."""

    def setValues(self, address, values):
        super().setValues(address, values)
        for offset, value in enumerate(values):
            print(f"decoded co {address + offset} bool ABCD {int(bool(value))}", flush=True)


async def serve():
    places = list(placed(layout()))
    registers = [r for _, value in places for r in value[3]]
    missing = len(registers) + 1
    inputs = {address: r for address, r in enumerate(registers + [0, 0, 7, 7])}
    del inputs[missing]
    device = ModbusSlaveContext(
        co=TellingCoils(0, [bool(bit) for bit in COILS]),
        di=ModbusSequentialDataBlock(0, [bool(bit) for bit in DISCRETE_INPUTS]),
        hr=TellingBlock(registers, places),
        ir=ModbusSparseDataBlock(inputs),
        # Without zero_mode pymodbus serves address n from element n + 1.
        zero_mode=True,
    )
    for start, (type_name, order, value, _) in places:
        for table in ("ir", "hr"):
            print(f"value {table} {start} {type_name} {order} {value!r}")
    for table, bits in (("co", COILS), ("di", DISCRETE_INPUTS)):
        for address, bit in enumerate(bits):
            print(f"value {table} {address} bool ABCD {bit}")
    print(f"missing ir {missing}")
    server = ModbusTcpServer(ModbusServerContext(slaves=device, single=True), address=("127.0.0.1", 0))
    serving = asyncio.create_task(server.serve_forever())
    await server.serving
    port = server.server.sockets[0].getsockname()[1]
    print(f"pymodbus device peer listening on 127.0.0.1:{port}", flush=True)
    await serving


if __name__ == "__main__":
    logging.basicConfig(level=logging.ERROR)
    asyncio.run(serve())
