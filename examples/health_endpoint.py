"""Serve the mesh's health snapshot over HTTP on localhost.

    python examples/health_endpoint.py --port 8089
    curl http://127.0.0.1:8089/health

GET /health answers 200 with the snapshot while every component is healthy and 503 when
the snapshot reports "degraded"; any other path is 404.
"""
import argparse
import json
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from korvo_mesh import KorvoMesh


def make_server(mesh, host="127.0.0.1", port=0):
    class HealthHandler(BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802 - the standard library's name
            if self.path != "/health":
                self.send_error(404)
                return
            body = mesh.health_snapshot().encode()
            healthy = json.loads(body)["status"] == "ok"
            self.send_response(200 if healthy else 503)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return ThreadingHTTPServer((host, port), HealthHandler)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8089)
    args = parser.parse_args()
    mesh = KorvoMesh("shop")
    mesh.register_agent("Customer", "customer-1")
    server = make_server(mesh, port=args.port)
    print(f"serving http://127.0.0.1:{server.server_address[1]}/health")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
