#!/usr/bin/python3
# pymodbus's TLS server, a second stack: tls_server.py PORT CERT KEY CLIENT_CA
# (demands a client certificate); holding register a holds 7a + 42.
import ssl, sys
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartTlsServer
from pymodbus.transaction import ModbusSocketFramer

context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH, cafile=sys.argv[4])
context.load_cert_chain(certfile=sys.argv[2], keyfile=sys.argv[3])
context.verify_mode = ssl.CERT_REQUIRED
store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [7 * a + 42 for a in range(200)]), zero_mode=True)
# MBAP headers inside TLS, which pymodbus's own TLS framer leaves out.
StartTlsServer(context=ModbusServerContext(slaves=store, single=True), address=("127.0.0.1", int(sys.argv[1])),
               sslctx=context, allow_reuse_address=True, framer=ModbusSocketFramer)
