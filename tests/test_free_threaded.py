"""The module on the free-threaded interpreter (3.13t), where it runs without the GIL, and
threads sharing one mesh's keys and agents on either interpreter."""
import json
import os
import random
import re
import subprocess
import sys
import sysconfig
import threading

import pytest

from conftest import DONE
from korvo_mesh import KorvoMesh

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Importing a module that has not declared it runs without the GIL turns the GIL back on for
# the whole process, with a RuntimeWarning; -W error makes that warning fail the import.
IMPORT_SCRIPT = "import sys; before = sys._is_gil_enabled(); import korvo_mesh; print(before, sys._is_gil_enabled())"


@pytest.mark.skipif(not FREE_THREADED, reason="needs the free-threaded interpreter (3.13t)")
def test_import_keeps_the_gil_disabled():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-W", "error", "-c", IMPORT_SCRIPT],
                          capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "False False\n"


THREADS, ROUNDS, OWNED = 8, 400, 12
KEYS = [f"k/{j:03d}" for j in range(THREADS * OWNED)]      # key j and agent j belong to thread j % THREADS
AGENTS = [f"a/{j:03d}" for j in range(THREADS * OWNED)]
CONTESTED = [f"race/{j}" for j in range(ROUNDS // 2)]      # every thread tries to register each of these
STATUSES = ("running", "idle", "stopping", "stopped", "error")
VALUE = re.compile(r'\{"owner":(\d+),"seq":\d+\}')


def check_agent(text, agent_id, owner):
    record = json.loads(text)
    assert (record["agent_id"], record["instance"], record["metadata"]) == (agent_id, owner, {"owner": owner})
    assert record["status"] in ("starting",) + STATUSES
    return record


def test_threads_on_shared_keys_leave_what_each_owner_wrote():
    """Owners write their own keys, agents and migrations while every thread reads everyone's;
    whatever a reader sees is whole, and the end state is each owner's last write."""
    mesh = KorvoMesh("shared")
    barrier = threading.Barrier(THREADS)
    models, errors = [None] * THREADS, []

    def worker(t):
        rng = random.Random(t)
        mine = range(t, len(KEYS), THREADS)
        values, agents, migrations, wins = {}, {}, {}, 0
        try:
            barrier.wait()
            for i in range(ROUNDS):
                j, other = rng.choice(mine), rng.randrange(len(KEYS))
                if rng.random() < 0.75:
                    values[KEYS[j]] = '{"owner":%d,"seq":%d}' % (t, i)
                    mesh.state_set(KEYS[j], '{"seq": %d, "owner": %d}' % (i, t))
                else:
                    values[KEYS[j]] = None
                    mesh.state_delete(KEYS[j])
                agent = AGENTS[j]
                if agent not in agents:
                    mesh.register_agent("Worker", agent, t, '{"owner": %d}' % t)
                    agents[agent] = "starting"
                elif rng.random() < 0.8:
                    agents[agent] = rng.choice(STATUSES)
                    mesh.update_agent_status(agent, agents[agent])
                else:
                    mesh.deregister_agent(agent)
                    del agents[agent]
                try:
                    mesh.register_agent("Contested", CONTESTED[i % len(CONTESTED)])
                    wins += 1
                except RuntimeError:
                    pass
                seen = mesh.state_get(KEYS[other])
                if seen is not None:
                    assert int(VALUE.fullmatch(seen).group(1)) == other % THREADS
                assert isinstance(mesh.state_exists(KEYS[other]), bool)
                if (text := mesh.get_agent(AGENTS[other])) is not None:
                    check_agent(text, AGENTS[other], other % THREADS)
                assert mesh.publish(f"topic/{i % 4}", '{"from": %d}' % t) == 0
                if i % 25 == 0:
                    listed = mesh.state_keys("k/")
                    assert listed == sorted(listed) and set(listed) <= set(KEYS)
                    name, steps = f"m{t}.{i}", (i // 25) % DONE
                    mesh.start_migration(name, "sqlite", "redis")
                    for _ in range(steps):
                        mesh.advance_migration(name, 0, 1)
                    migrations[name] = 1 + steps
            models[t] = (values, agents, migrations, wins)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)
            barrier.abort()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # on the GIL build, switch threads often
    try:
        workers = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []

    values = {k: v for m in models for k, v in m[0].items() if v is not None}
    agents = {a: s for m in models for a, s in m[1].items()}
    migrations = {n: stage for m in models for n, stage in m[2].items()}
    assert sum(m[3] for m in models) == len(CONTESTED)

    assert mesh.state_keys() == sorted(values)
    assert {k: mesh.state_get(k) for k in KEYS} == {k: values.get(k) for k in KEYS}
    for j, agent_id in enumerate(AGENTS):
        text = mesh.get_agent(agent_id)
        status = None if text is None else check_agent(text, agent_id, j % THREADS)["status"]
        assert status == agents.get(agent_id)
    assert len(json.loads(mesh.list_agents())) == len(agents) + len(CONTESTED)
    records = {r["variable_name"]: r["stage"] for r in json.loads(mesh.list_migrations())}
    assert records == migrations
    statuses = list(agents.values())
    assert json.loads(mesh.health_snapshot()) == {
        "agents": {"error": statuses.count("error"), "idle": statuses.count("idle"),
                   "running": statuses.count("running"), "total": len(agents) + len(CONTESTED)},
        "app": "shared", "channels": {"topics": 4}, "migrations": {"active": sum(s < DONE for s in migrations.values())},
        "state": {"keys": len(values)}, "status": "ok"}
