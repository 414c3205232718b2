#!/usr/bin/python3
"""pymodbus's own Modbus/TCP server over TLS: a second, independent stack
for the secure link. Holding register a starts at 7a + 42, as in
modbus_server.

    tls_server.py PORT CERT KEY [CLIENT_CA]

With CLIENT_CA the server demands a client certificate signed by it.
"""
import ssl
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartTlsServer
from pymodbus.transaction import ModbusSocketFramer


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(certfile=cert, keyfile=key)
    if len(sys.argv) > 4:
        context.load_verify_locations(cafile=sys.argv[4])
        context.verify_mode = ssl.CERT_REQUIRED
    registers = ModbusSequentialDataBlock(0, [7 * a + 42 for a in range(200)])
    store = ModbusSlaveContext(hr=registers, zero_mode=True)
    StartTlsServer(context=ModbusServerContext(slaves=store, single=True), address=("127.0.0.1", port),
                   sslctx=context, allow_reuse_address=True,
                   # MBAP headers inside TLS, as every Modbus/TCP Security
                   # client sends them; pymodbus's own TLS framer leaves them out.
                   framer=ModbusSocketFramer)


if __name__ == "__main__":
    main()
