"""Drive a storage migration from application code, reporting progress at every stage.

The mesh keeps the stage machine and the running totals; the application does the work
of each stage (here: copying keys between two dicts standing in for real backends) and
tells the mesh how it went. A stage that finds read discrepancies is rolled back and
retried once the discrepancies are repaired.
"""
import json
import sys

from korvo_mesh import KorvoMesh


def copy_batch(source, target, keys):
    for key in keys:
        target[key] = source[key]
    return len(keys)


def discrepancies(source, target):
    return sum(1 for key, value in source.items() if target.get(key, value) != value)


def migrate(mesh, variable, source, target, late_writes=None, batch=250, out=sys.stdout):
    """Moves `source` into `target`; `late_writes` land on the old backend only, mid-copy."""
    record = json.loads(mesh.start_migration(variable, "sqlite", "redis"))
    keys = sorted(source)
    found = 0
    while record["stage_name"] != "done":
        copied = 0
        if record["stage_name"] == "shadow_write":
            copied = sum(copy_batch(source, target, keys[i:i + batch]) for i in range(0, len(keys), batch))
            source.update(late_writes or {})
            late_writes = None
        if record["stage_name"] in ("shadow_read", "dual_read"):
            found = discrepancies(source, target)
            if found:
                record = json.loads(mesh.rollback_migration(variable))
                print(f"  {found} discrepancies: back to {record['stage_name']}", file=out)
                continue
        record = json.loads(mesh.advance_migration(variable, found, copied))
        found = 0
        print(f"  stage {record['stage']}/6 {record['stage_name']:<12} keys={record['keys_migrated']}", file=out)
    return record


def main():
    mesh = KorvoMesh("shop")
    source = {f"cart:{i}": {"items": i % 7} for i in range(1000)}
    late = {"cart:3": {"items": 42}}  # written to the old backend while the copy ran
    print("migrating cart.Items")
    record = migrate(mesh, "cart.Items", source, {}, late_writes=late)
    print(json.dumps(record, indent=2))
    print(mesh.health_snapshot())


if __name__ == "__main__":
    main()
