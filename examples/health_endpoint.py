"""Serve the mesh's health snapshot and its metrics over HTTP on localhost.

    python examples/health_endpoint.py --port 8089
    curl http://127.0.0.1:8089/healthz
    curl http://127.0.0.1:8089/metrics

GET /healthz answers 200 with the snapshot while every component is healthy and 503 when the
snapshot reports "degraded" (/health, its earlier name, answers the same). GET /metrics answers
in the Prometheus text format, read from the mesh at each scrape. Any other path is 404.
"""
import argparse
import collections
import json
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

from korvo_mesh import KorvoMesh

AGENT_STATUSES = ("starting", "running", "idle", "stopping", "stopped", "error")


class MeshCollector:
    """Reads the mesh afresh at every scrape; it keeps nothing between scrapes."""

    def __init__(self, mesh):
        self.mesh = mesh

    def collect(self):
        health = json.loads(self.mesh.health_snapshot())
        yield GaugeMetricFamily("korvo_mesh_healthy", "1 while every component answers, 0 when degraded",
                                value=1 if health["status"] == "ok" else 0)

        agents = GaugeMetricFamily("korvo_mesh_agents", "Registered agents by lifecycle status", labels=["status"])
        counts = collections.Counter(agent["status"] for agent in json.loads(self.mesh.list_agents()))
        for status in AGENT_STATUSES:
            agents.add_metric([status], counts[status])
        yield agents

        yield GaugeMetricFamily("korvo_mesh_state_keys", "Keys in the shared state store",
                                value=health["state"]["keys"])
        yield GaugeMetricFamily("korvo_mesh_topics", "Topics published to so far",
                                value=health["channels"]["topics"])
        yield GaugeMetricFamily("korvo_mesh_migrations_active", "Migrations started and not yet done",
                                value=health["migrations"]["active"])

        labels = ["variable", "source", "target"]
        stage = GaugeMetricFamily("korvo_mesh_migration_stage",
                                  "Stage of each variable's migration: 0 idle, 1 shadow_write .. 6 done", labels=labels)
        keys = CounterMetricFamily("korvo_mesh_migration_keys_migrated", "Keys copied by the migration", labels=labels)
        found = CounterMetricFamily("korvo_mesh_migration_discrepancies", "Read discrepancies the migration reported",
                                    labels=labels)
        for record in json.loads(self.mesh.list_migrations()):
            values = [record["variable_name"], record["source_backend"], record["target_backend"]]
            stage.add_metric(values, record["stage"])
            keys.add_metric(values, record["keys_migrated"])
            found.add_metric(values, record["discrepancy_count"])
        yield stage
        yield keys
        yield found


def metrics_registry(mesh):
    registry = CollectorRegistry(auto_describe=True)
    registry.register(MeshCollector(mesh))
    return registry


def make_server(mesh, host="127.0.0.1", port=0):
    registry = metrics_registry(mesh)

    class HealthHandler(BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802 - the standard library's name
            if self.path in ("/healthz", "/health"):
                body = mesh.health_snapshot().encode()
                code = 200 if json.loads(body)["status"] == "ok" else 503
                content_type = "application/json"
            elif self.path == "/metrics":
                body, code, content_type = generate_latest(registry), 200, CONTENT_TYPE_LATEST
            else:
                self.send_error(404)
                return
            self.send_response(code)
            self.send_header("Content-Type", content_type)
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
    base = f"http://127.0.0.1:{server.server_address[1]}"
    print(f"serving {base}/healthz and {base}/metrics")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
