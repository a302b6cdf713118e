#!/usr/bin/env python3
"""Test-only network peers for the publisher's robustness scenarios, on
127.0.0.1 only and bounded in time (each ends after LIFETIME seconds).

  fake_peers.py relay PORT_FILE LIFETIME TARGET_PORT DROP_AFTER
      Relays each connection to 127.0.0.1:TARGET_PORT and drops both sides
      DROP_AFTER seconds after it was accepted. Prints "accepted" per
      connection, flushed, so the test can count them.
  fake_peers.py refuse-starttls PORT_FILE LIFETIME
      Speaks just enough XMPP to offer STARTTLS, answers it with <failure/>,
      then keeps the socket open without a word more, as such a server does.

Each writes its port to PORT_FILE once it listens.
"""
import os
import socket
import sys
import threading
import time


def listen(port_file):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    server.settimeout(0.2)
    # Written whole, then renamed: the test never reads half a port.
    with open(port_file + ".tmp", "w") as out:
        out.write(str(server.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    return server


def serve(server, deadline, handle):
    while time.monotonic() < deadline:
        try:
            peer, _ = server.accept()
        except socket.timeout:
            continue
        threading.Thread(target=handle, args=(peer, deadline), daemon=True).start()


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    for end in (source, sink):
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def relay(port_file, lifetime, target_port, drop_after):
    deadline = time.monotonic() + lifetime

    def handle(client, _):
        print("accepted", flush=True)
        try:
            upstream = socket.create_connection(("127.0.0.1", target_port), timeout=5)
        except OSError:
            client.close()
            return
        upstream.settimeout(None)
        for source, sink in ((client, upstream), (upstream, client)):
            threading.Thread(target=pump, args=(source, sink), daemon=True).start()
        time.sleep(drop_after)
        for end in (client, upstream):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

    serve(listen(port_file), deadline, handle)


def refuse_starttls(port_file, lifetime):
    deadline = time.monotonic() + lifetime

    def handle(client, deadline):
        client.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            seen = b""
            while b"<stream:stream" not in seen or not seen.rstrip().endswith(b">"):
                data = client.recv(4096)
                if not data:
                    return
                seen += data
            client.sendall(
                b"<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                b"xmlns:stream='http://etherx.jabber.org/streams' id='fake' from='localhost' "
                b"version='1.0'><stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'>"
                b"<required/></starttls></stream:features>"
            )
            seen = b""
            while b"starttls" not in seen:
                data = client.recv(4096)
                if not data:
                    return
                seen += data
            client.sendall(b"<failure xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>")
            while client.recv(4096):
                pass
        except OSError:
            pass
        finally:
            client.close()

    serve(listen(port_file), deadline, handle)


def main():
    mode = sys.argv[1]
    if mode == "relay":
        relay(sys.argv[2], float(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
    elif mode == "refuse-starttls":
        refuse_starttls(sys.argv[2], float(sys.argv[3]))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
