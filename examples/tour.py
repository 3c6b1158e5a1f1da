"""A guided tour of the mesh, one call at a time (make demo runs the live migration instead).

It does what an application framework does with korvo_mesh at run time: build the mesh
from the solved deployment plan, register the agents the plan asks for, route calls to
them, keep shared state, publish events, move a storage variable to a new backend
without downtime, and report health.
"""
import json

from korvo_mesh import KorvoMesh, __version__

PLAN = {
    "app_name": "shop",
    "backends": {
        "primary": {"backend_type": "sqlite", "config": {"path": "shop.db", "journal": "wal"}},
        "cache": {"backend_type": "redis", "config": {"url": "redis://127.0.0.1:6379/0", "ttl": 300}},
    },
    "functions": ["checkout", "restock"],
    "agents": ["Customer", "Inventory"],
}


def section(title):
    print(f"\n== {title}")


def show_plans():
    section("plans")
    mesh = KorvoMesh("shop", json.dumps(PLAN, indent=2))
    print("object form :", mesh.app_name, mesh.plan_json())
    print("array form  :", KorvoMesh("shop", '["shop-lite", {}, ["checkout"]]').plan_json())
    print("blank plan  :", repr(KorvoMesh("shop", "   ").app_name), KorvoMesh("shop").plan_json())
    try:
        KorvoMesh("shop", '{"app_name": "shop", "functions": "checkout"}')
    except ValueError as refused:
        print("refused plan:", refused)
    return mesh


class Customer:
    """The application's own agent class; the mesh only routes to it."""

    def __init__(self, agent_id):
        self.agent_id = agent_id
        self.orders = 0

    def checkout(self, basket):
        self.orders += 1
        return {"customer": self.agent_id, "items": len(basket), "orders": self.orders}


def run_agents(mesh):
    section("agents")
    live = {}
    for i, agent_id in enumerate(["customer-1", "customer-2", "customer-3"]):
        print(mesh.register_agent("Customer", agent_id, i, json.dumps({"region": "eu", "tier": i})))
        live[agent_id] = Customer(agent_id)
    mesh.register_agent("Inventory", "inventory-0")
    mesh.update_agent_status("customer-3", "stopped")

    for agent_id in ["customer-1", "customer-2", "customer-1"]:
        route = json.loads(mesh.route_agent_call("Customer", agent_id, "checkout", '{"basket": ["tea", "cups"]}'))
        result = getattr(live[route["agent_id"]], route["method"])(["tea", "cups"])
        print("routed", route, "->", result)
    try:
        mesh.route_agent_call("Customer", "customer-3", "checkout")
    except KeyError as refused:
        print("refused route:", refused.args[0])
    try:
        mesh.update_agent_status("customer-1", "Running")
    except ValueError as refused:
        print("refused status:", refused)
    print("running customers:", [a["agent_id"] for a in json.loads(mesh.list_agents("Customer", "running"))])
    print("all agents:", len(json.loads(mesh.list_agents())))


def run_state(mesh):
    section("state")
    mesh.state_set("cart:customer-1", '{ "items": ["tea", "cups"], "total": 12.50, "currency": "EUR" }')
    mesh.state_set("cart:customer-2", '{"total": 3, "items": []}')
    mesh.state_set("config:checkout", '{"retries": 3, "timeout_s": 1.5e1}')
    print("cart:customer-1 ->", mesh.state_get("cart:customer-1"))
    print("carts:", mesh.state_keys("cart:"))
    mesh.state_delete("cart:customer-2")
    print("after delete:", mesh.state_keys(), mesh.state_exists("cart:customer-2"))
    try:
        mesh.state_set("cart:bad", "{'single': 'quotes'}")
    except ValueError as refused:
        print("refused value:", refused)


def run_topics(mesh):
    section("topics")
    for order in range(3):
        delivered = mesh.publish("orders.created", json.dumps({"order": order, "customer": "customer-1"}))
        print(f"published order {order}, delivered to {delivered} receivers")
    mesh.publish("audit", '"checkout complete"')


def run_migration(mesh):
    section("migration")
    print(mesh.start_migration("cart.Items", "sqlite", "redis"))
    for keys in (1200, 800):
        print(json.loads(mesh.advance_migration("cart.Items", 0, keys))["stage_name"])
    print("discrepancies found, stepping back:", json.loads(mesh.rollback_migration("cart.Items"))["stage_name"])
    stage = json.loads(mesh.advance_migration("cart.Items", discrepancy_count=2, keys_migrated=40))
    while stage["stage_name"] != "done":
        stage = json.loads(mesh.advance_migration("cart.Items"))
        print("->", stage["stage_name"])
    print("final record:", mesh.get_migration("cart.Items"))
    try:
        mesh.advance_migration("cart.Items")
    except ValueError as refused:
        print("refused:", refused)


def main():
    print(f"korvo_mesh {__version__}")
    mesh = show_plans()
    run_agents(mesh)
    run_state(mesh)
    run_topics(mesh)
    run_migration(mesh)
    section("health")
    print(mesh.health_snapshot())
    print(repr(mesh))


if __name__ == "__main__":
    main()
