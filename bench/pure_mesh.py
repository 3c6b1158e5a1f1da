"""PureMesh: the korvo_mesh API as a competent Python developer would write it without a
native core. It is the baseline the benchmarks hold the mesh against, so it is written to
be fast, not to be easy to beat:

* one `threading.Lock` around every compound change (a record and a count, a check and an
  insert) and around iterations; a single dict read or write takes no lock, since each
  dict operation is atomic in CPython (and the stored texts and records it hands out are
  complete whenever they are reachable). `with lock:` costs some 2,400 instructions in
  CPython 3.13, more than most of the mesh's methods, so a baseline that took it for
  every `state_get` would flatter the mesh;
* the JSON encoder and decoder are built once, at import;
* values, metadata and the plan are made canonical once, when they come in, and the ready
  text is stored: `state_get`, `get_agent`, `get_migration` and `plan_json` return stored
  text and never serialise again;
* agent and migration records keep their text, rebuilt (under the lock) when they change;
* the health counts are kept as they change (agents per status, active migrations).

Its answers equal the mesh's byte for byte apart from timestamps, the order of list
results and the wording of JSON syntax errors (tests/test_bench_baseline.py drives both
through the same calls and compares them).
"""
import json
import re
import threading
import time

STATUSES = ("starting", "running", "idle", "stopping", "stopped", "error")
STAGES = ("idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done")
DONE = len(STAGES) - 1
_STATUS_SET = frozenset(STATUSES)
_U64_MAX = 2**64 - 1
_UNKNOWN_STATUS = "Unknown status {}. Valid values: " + ", ".join(STATUSES)


# --- JSON in and out ---------------------------------------------------------------------

def _int(text):
    # The mesh keeps integers that fit 64 bits (signed or unsigned); larger ones, and
    # "-0", become floats.
    if len(text) < 19 and text != "-0":
        return int(text)
    value = int(text)
    if -2**63 <= value <= _U64_MAX and text != "-0":
        return value
    return float(text)


def _no_constant(name):
    raise ValueError(f"{name} is not JSON")


_DECODER = json.JSONDecoder(parse_int=_int, parse_constant=_no_constant)
_ENCODER = json.JSONEncoder(separators=(",", ":"), sort_keys=True, ensure_ascii=False,
                            allow_nan=False, check_circular=False)
_string = _ENCODER.encode  # a str in, its JSON text out

# Floats: Python writes the same shortest digits as the mesh, and even the same text
# except where repr() uses an exponent: the mesh writes "1e-6" and "1e+16" where Python
# writes "1e-06" and "1e+16", and 0.00001 in plain form where Python writes "1e-05". So
# only a text with an exponent is touched, by a scan that steps over strings whole.
_STRING_OR_EXPONENT = re.compile(r'"(?:[^"\\]|\\.)*"|(-?)(\d)(?:\.(\d+))?e([+-])(\d+)')


def _mesh_float(match):
    sign, first, rest, exp_sign, exp = match.groups()
    if first is None:
        return match.group()  # a string
    if exp_sign == "-" and exp == "05":
        return f"{sign}0.0000{first}{rest or ''}"
    return f"{sign}{first}{'.' + rest if rest else ''}e{exp_sign}{int(exp)}"


def _parse(text):
    try:
        return _DECODER.decode(text)
    except ValueError as e:
        raise ValueError(f"Serialization error: {e}") from None


def _write(value):
    """A parsed value's canonical text."""
    try:
        out = _ENCODER.encode(value)
    except ValueError as e:  # floats out of range, such as 1e400
        raise ValueError(f"Serialization error: {e}") from None
    if "e-" in out or "e+" in out:
        out = _STRING_OR_EXPONENT.sub(_mesh_float, out)
    return out


def _canonical(text):
    return _write(_parse(text))


# --- small helpers -------------------------------------------------------------------------

_clock = (0, "")


def _now():
    """UTC time with nanoseconds, as the mesh writes it; the date part is made once a second."""
    global _clock
    seconds, nanos = divmod(time.time_ns(), 1_000_000_000)
    if _clock[0] != seconds:
        _clock = (seconds, time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)))
    if nanos % 1000:
        return f"{_clock[1]}.{nanos:09d}+00:00"
    if nanos % 1_000_000:  # trailing zeros are dropped three digits at a time
        return f"{_clock[1]}.{nanos // 1000:06d}+00:00"
    return f"{_clock[1]}.{nanos // 1_000_000:03d}+00:00" if nanos else f"{_clock[1]}+00:00"


_QUOTE_ESCAPES = {"\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0", '"': '\\"', "\\": "\\\\"}


def _quote(text):
    """The quoted form of a name in messages and repr: escapes as the mesh writes them."""
    if text.isprintable() and '"' not in text and "\\" not in text:
        return f'"{text}"'
    return '"' + "".join(_QUOTE_ESCAPES.get(c) or (c if c.isprintable() else f"\\u{{{ord(c):x}}}")
                         for c in text) + '"'


class _Agent:
    __slots__ = ("agent_type", "status", "head", "middle", "tail", "text")

    def render(self, last_active):
        self.text = f"{self.head}{self.status}{self.middle}{last_active}{self.tail}"
        return self.text


class _Migration:
    __slots__ = ("head", "stage", "started_at", "discrepancy_count", "keys_migrated", "tail", "text")

    def render(self, advanced_at):
        self.text = (f'{self.head}{self.stage},"stage_name":"{STAGES[self.stage]}",'
                     f'"started_at":"{self.started_at}","advanced_at":"{advanced_at}",'
                     f'"discrepancy_count":{self.discrepancy_count},"keys_migrated":{self.keys_migrated},'
                     f'{self.tail}')
        return self.text


def _migration_error(message):
    return ValueError(f"Migration error: {message}")


def _u64(value):
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value > _U64_MAX:
        raise OverflowError("int too big to convert")
    return value


class PureMesh:
    def __init__(self, app_name, plan_json=""):
        plan = _parse(plan_json) if plan_json else {}
        self.app_name = plan.get("app_name", app_name)
        backends = ",".join(f'{_string(name)}:{{"backend_type":{_string(backend["backend_type"])},'
                            f'"config":{_write(backend.get("config"))}}}'
                            for name, backend in plan.get("backends", {}).items())
        self._plan_text = (f'{{"app_name":{_string(self.app_name)},"backends":{{{backends}}},'
                           f'"functions":{_string(plan.get("functions", []))},'
                           f'"agents":{_string(plan.get("agents", []))}}}')
        self._app_json = _string(self.app_name)
        self._lock = threading.Lock()
        self._agents = {}
        self._status_counts = dict.fromkeys(STATUSES, 0)
        self._state = {}
        self._topics = set()
        self._migrations = {}
        self._active_migrations = 0

    def plan_json(self):
        return self._plan_text

    # --- agents ----------------------------------------------------------------------------

    def register_agent(self, agent_type, agent_id, instance=0, metadata_json=None):
        if not 0 <= instance <= 0xFFFF_FFFF:
            raise OverflowError("out of range integral type conversion attempted")
        metadata = "{}" if metadata_json is None else _canonical(metadata_json)
        agent = _Agent()
        agent.agent_type, agent.status = agent_type, "starting"
        agent.head = f'{{"agent_id":{_string(agent_id)},"agent_type":{_string(agent_type)},"status":"'
        agent.tail = f'","metadata":{metadata}}}'
        with self._lock:
            if agent_id in self._agents:
                raise RuntimeError(f"Agent '{agent_id}' is already registered")
            now = _now()
            agent.middle = f'","instance":{instance},"registered_at":"{now}","last_active":"'
            self._agents[agent_id] = agent
            self._status_counts["starting"] += 1
            return agent.render(now)

    def get_agent(self, agent_id):
        agent = self._agents.get(agent_id)
        return None if agent is None else agent.text

    def list_agents(self, agent_type=None, status=None):
        with self._lock:
            return "[" + ",".join(
                a.text for a in self._agents.values()
                if (agent_type is None or a.agent_type == agent_type) and (status is None or a.status == status)
            ) + "]"

    def _set_status(self, agent, status):
        counts = self._status_counts
        counts[agent.status] -= 1
        counts[status] += 1
        agent.status = status
        agent.render(_now())

    def update_agent_status(self, agent_id, status):
        if status not in _STATUS_SET:
            raise ValueError(_UNKNOWN_STATUS.format(_quote(status)))
        with self._lock:
            agent = self._agents.get(agent_id)
            if agent is None:
                raise KeyError(f"Agent '/{agent_id}' not found in registry")
            self._set_status(agent, status)

    def deregister_agent(self, agent_id):
        with self._lock:
            agent = self._agents.pop(agent_id, None)
            if agent is not None:
                self._status_counts[agent.status] -= 1

    def route_agent_call(self, agent_type, agent_id, method, args_json="{}"):
        _parse(args_json)  # checked, not kept
        with self._lock:
            agent = self._agents.get(agent_id)
            if agent is None or agent.status == "stopped" or agent.status == "error":
                raise KeyError(f"Agent '{agent_type}/{agent_id}' not found in registry")
            self._set_status(agent, "running")
        return (f'{{"agent_id":{_string(agent_id)},"agent_type":{_string(agent_type)},'
                f'"method":{_string(method)},"node":"localhost","status":"routed"}}')

    # --- state: canonical text is made on the way in; one dict operation per call -------

    def state_get(self, key):
        return self._state.get(key)

    def state_set(self, key, value_json):
        self._state[key] = _canonical(value_json)

    def state_delete(self, key):
        self._state.pop(key, None)

    def state_exists(self, key):
        return key in self._state

    def state_keys(self, prefix=""):
        # Code point order is UTF-8 byte order, so sorted() gives the mesh's order.
        with self._lock:
            if not prefix:
                return sorted(self._state)
            return sorted([k for k in self._state if k.startswith(prefix)])

    # --- topics: nothing subscribes in-process, so a message reaches no one --------------

    def publish(self, topic, payload_json):
        _parse(payload_json)
        self._topics.add(topic)
        return 0

    # --- migrations ---------------------------------------------------------------------

    def start_migration(self, variable_name, source_backend, target_backend):
        record = _Migration()
        record.head = (f'{{"variable_name":{_string(variable_name)},"source_backend":{_string(source_backend)},'
                       f'"target_backend":{_string(target_backend)},"stage":')
        record.tail = f'"app_name":{self._app_json}}}'
        record.stage = 1
        record.discrepancy_count = record.keys_migrated = 0
        with self._lock:
            current = self._migrations.get(variable_name)
            if current is not None and current.stage != DONE:
                raise _migration_error(f"Migration for '{variable_name}' already in progress at stage "
                                       f"{current.stage} ({STAGES[current.stage]})")
            record.started_at = now = _now()
            self._migrations[variable_name] = record
            self._active_migrations += 1
            return record.render(now)

    def advance_migration(self, variable_name, discrepancy_count=0, keys_migrated=0):
        _u64(discrepancy_count)
        _u64(keys_migrated)
        with self._lock:
            record = self._migrations.get(variable_name)
            if record is None:
                raise _migration_error(f"No migration in progress for '{variable_name}'")
            if record.stage == DONE:
                raise _migration_error(f"Migration for '{variable_name}' is already complete")
            record.stage += 1
            if record.stage == DONE:
                self._active_migrations -= 1
            record.discrepancy_count = min(record.discrepancy_count + discrepancy_count, _U64_MAX)
            record.keys_migrated = min(record.keys_migrated + keys_migrated, _U64_MAX)
            return record.render(_now())

    def rollback_migration(self, variable_name):
        with self._lock:
            record = self._migrations.get(variable_name)
            if record is None:
                raise _migration_error(f"No migration in progress for '{variable_name}'")
            if record.stage == 0:
                raise _migration_error("Already at initial stage \u2014 cannot roll back further")
            if record.stage == DONE:
                raise _migration_error("Cannot roll back a completed migration")
            record.stage -= 1
            return record.render(_now())

    def get_migration(self, variable_name):
        record = self._migrations.get(variable_name)
        return None if record is None else record.text

    def list_migrations(self):
        with self._lock:
            return "[" + ",".join(r.text for r in self._migrations.values()) + "]"

    # --- health -------------------------------------------------------------------------

    def health_snapshot(self):
        with self._lock:
            counts = self._status_counts
            return (f'{{"agents":{{"error":{counts["error"]},"idle":{counts["idle"]},'
                    f'"running":{counts["running"]},"total":{len(self._agents)}}},"app":{self._app_json},'
                    f'"channels":{{"topics":{len(self._topics)}}},'
                    f'"migrations":{{"active":{self._active_migrations}}},'
                    f'"state":{{"keys":{len(self._state)}}},"status":"ok"}}')

    def __repr__(self):
        with self._lock:
            return (f"{type(self).__name__}(app={_quote(self.app_name)}, agents={len(self._agents)}, "
                    f"state_keys={len(self._state)}, migrations={self._active_migrations})")
