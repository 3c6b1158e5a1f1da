"""The same API written plainly in Python, as a user would without the native core.

Dicts, the standard library's json and datetime: the baseline the benchmarks compare
korvo_mesh against. It keeps the observable behaviour close enough for a fair race
(canonical JSON out, same errors for the common paths), not byte-for-byte identity.
"""
import json
import threading
from datetime import datetime, timezone

STATUSES = ("starting", "running", "idle", "stopping", "stopped", "error")
STAGES = ("idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done")


def _now():
    return datetime.now(timezone.utc).isoformat()


def _canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


class PureMesh:
    def __init__(self, app_name, plan_json=""):
        self._plan = json.loads(plan_json) if plan_json.strip() else {"app_name": app_name}
        self.app_name = self._plan.get("app_name", app_name)
        self._lock = threading.RLock()
        self._agents = {}
        self._state = {}
        self._topics = {}
        self._migrations = {}

    # agents
    def register_agent(self, agent_type, agent_id, instance=0, metadata_json=None):
        if not 0 <= instance <= 0xFFFFFFFF:
            raise OverflowError("out of range integral type conversion attempted")
        metadata = json.loads(metadata_json) if metadata_json is not None else {}
        with self._lock:
            if agent_id in self._agents:
                raise RuntimeError(f"Agent '{agent_id}' is already registered")
            now = _now()
            entry = {"agent_id": agent_id, "agent_type": agent_type, "status": "starting", "instance": instance,
                     "registered_at": now, "last_active": now, "metadata": metadata}
            self._agents[agent_id] = entry
            return self._entry_json(entry)

    @staticmethod
    def _entry_json(entry):
        record = dict(entry)
        record["metadata"] = json.loads(_canonical(entry["metadata"]))
        return json.dumps(record, separators=(",", ":"), ensure_ascii=False)

    def get_agent(self, agent_id):
        with self._lock:
            entry = self._agents.get(agent_id)
            return None if entry is None else self._entry_json(entry)

    def list_agents(self, agent_type=None, status=None):
        with self._lock:
            return "[" + ",".join(
                self._entry_json(e) for e in self._agents.values()
                if (agent_type is None or e["agent_type"] == agent_type) and (status is None or e["status"] == status)
            ) + "]"

    def update_agent_status(self, agent_id, status):
        if status not in STATUSES:
            raise ValueError(f"Unknown status {status!r}. Valid values: {', '.join(STATUSES)}")
        with self._lock:
            entry = self._agents.get(agent_id)
            if entry is None:
                raise KeyError(f"Agent '/{agent_id}' not found in registry")
            entry["status"] = status
            entry["last_active"] = _now()

    def deregister_agent(self, agent_id):
        with self._lock:
            self._agents.pop(agent_id, None)

    def route_agent_call(self, agent_type, agent_id, method, args_json="{}"):
        json.loads(args_json)
        with self._lock:
            entry = self._agents.get(agent_id)
            if entry is None or entry["status"] in ("stopped", "error"):
                raise KeyError(f"Agent '{agent_type}/{agent_id}' not found in registry")
            entry["status"] = "running"
            entry["last_active"] = _now()
        return _canonical({"agent_id": agent_id, "agent_type": agent_type, "method": method, "node": "localhost",
                           "status": "routed"})

    # state: the store keeps Python values, as a dict-backed store naturally would
    _MISSING = object()

    def state_get(self, key):
        with self._lock:
            value = self._state.get(key, self._MISSING)
        return None if value is self._MISSING else _canonical(value)

    def state_set(self, key, value_json):
        value = json.loads(value_json)
        with self._lock:
            self._state[key] = value

    def state_delete(self, key):
        with self._lock:
            self._state.pop(key, None)

    def state_exists(self, key):
        with self._lock:
            return key in self._state

    def state_keys(self, prefix=""):
        with self._lock:
            return sorted((k for k in self._state if k.startswith(prefix)), key=lambda k: k.encode())

    # topics
    def publish(self, topic, payload_json):
        payload = json.loads(payload_json)
        with self._lock:
            subscribers = self._topics.setdefault(topic, [])
        message = {"topic": topic, "payload": payload, "timestamp": _now()}
        for queue in subscribers:
            queue.append(message)
        return len(subscribers)

    # migrations
    def start_migration(self, variable_name, source_backend, target_backend):
        with self._lock:
            current = self._migrations.get(variable_name)
            if current is not None and current["stage"] < 6:
                raise ValueError(f"Migration error: Migration for '{variable_name}' already in progress at stage "
                                 f"{current['stage']} ({current['stage_name']})")
            now = _now()
            record = {"variable_name": variable_name, "source_backend": source_backend,
                      "target_backend": target_backend, "stage": 1, "stage_name": STAGES[1], "started_at": now,
                      "advanced_at": now, "discrepancy_count": 0, "keys_migrated": 0, "app_name": self.app_name}
            self._migrations[variable_name] = record
            return json.dumps(record, separators=(",", ":"), ensure_ascii=False)

    def advance_migration(self, variable_name, discrepancy_count=0, keys_migrated=0):
        with self._lock:
            record = self._migrations.get(variable_name)
            if record is None:
                raise ValueError(f"Migration error: No migration in progress for '{variable_name}'")
            if record["stage"] == 6:
                raise ValueError(f"Migration error: Migration for '{variable_name}' is already complete")
            record["stage"] += 1
            record["stage_name"] = STAGES[record["stage"]]
            record["advanced_at"] = _now()
            record["discrepancy_count"] = min(record["discrepancy_count"] + discrepancy_count, 2**64 - 1)
            record["keys_migrated"] = min(record["keys_migrated"] + keys_migrated, 2**64 - 1)
            return json.dumps(record, separators=(",", ":"), ensure_ascii=False)

    def rollback_migration(self, variable_name):
        with self._lock:
            record = self._migrations.get(variable_name)
            if record is None:
                raise ValueError(f"Migration error: No migration in progress for '{variable_name}'")
            if record["stage"] == 0:
                raise ValueError("Migration error: Already at initial stage \u2014 cannot roll back further")
            if record["stage"] == 6:
                raise ValueError("Migration error: Cannot roll back a completed migration")
            record["stage"] -= 1
            record["stage_name"] = STAGES[record["stage"]]
            record["advanced_at"] = _now()
            return json.dumps(record, separators=(",", ":"), ensure_ascii=False)

    def get_migration(self, variable_name):
        with self._lock:
            record = self._migrations.get(variable_name)
            return None if record is None else json.dumps(record, separators=(",", ":"), ensure_ascii=False)

    def list_migrations(self):
        with self._lock:
            return json.dumps(list(self._migrations.values()), separators=(",", ":"), ensure_ascii=False)

    # health
    def health_snapshot(self):
        with self._lock:
            statuses = [e["status"] for e in self._agents.values()]
            snapshot = {
                "agents": {"error": statuses.count("error"), "idle": statuses.count("idle"),
                           "running": statuses.count("running"), "total": len(statuses)},
                "app": self.app_name,
                "channels": {"topics": len(self._topics)},
                "migrations": {"active": sum(1 for r in self._migrations.values() if r["stage"] < 6)},
                "state": {"keys": len(self._state)},
                "status": "ok",
            }
        return _canonical(snapshot)

    def plan_json(self):
        return json.dumps(self._plan, separators=(",", ":"), ensure_ascii=False)

    def __repr__(self):
        active = sum(1 for r in self._migrations.values() if r["stage"] < 6)
        return (f"PureMesh(app={self.app_name!r}, agents={len(self._agents)}, state_keys={len(self._state)}, "
                f"migrations={active})")
