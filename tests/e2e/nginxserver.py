#!/usr/bin/env python3
"""nginx from Debian as the update server on a loopback port, with a generated configuration.

    python3 nginxserver.py WORK PORT WEBROOT    serves WEBROOT until killed
"""
import os
import signal
import socket
import subprocess
import sys
import time

NGINX_CONF = """worker_processes 1;
daemon off;
master_process off;
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 64; }}
http {{
    access_log {work}/access.log;
    client_body_temp_path {work}/tmp/body;
    proxy_temp_path {work}/tmp/proxy;
    fastcgi_temp_path {work}/tmp/fastcgi;
    uwsgi_temp_path {work}/tmp/uwsgi;
    scgi_temp_path {work}/tmp/scgi;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location / {{ }}
    }}
}}
"""


def start(work, port, root):
    """Starts nginx serving root on 127.0.0.1:port; its files live in work. Returns the process."""
    with socket.socket() as probe:  # a server left over from another run must not answer for us
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            raise RuntimeError(f"port {port} is taken by another program") from None
    os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as file:
        file.write(NGINX_CONF.format(work=work, port=port, root=root))
    nginx = subprocess.Popen(["/usr/sbin/nginx", "-p", work, "-c", conf,
                              "-e", os.path.join(work, "error.log")],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    deadline = time.time() + 20
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return nginx
        except OSError:
            if nginx.poll() is not None:
                break
            time.sleep(0.1)
    stop(nginx)
    raise RuntimeError(f"nginx did not start on port {port}; see {work}/error.log")


def stop(nginx):
    nginx.terminate()
    nginx.wait(10)


def serve(work, port, root):
    """Serves until this process is told to stop; nginx goes with it."""
    server = start(work, port, root)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.wait()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        if server.poll() is None:
            stop(server)


if __name__ == "__main__":
    serve(sys.argv[1], int(sys.argv[2]), sys.argv[3])
