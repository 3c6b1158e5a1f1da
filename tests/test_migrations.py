"""Driving migrations through their stages."""
import json

import pytest

from conftest import DONE, STAGES

FIELDS = ["variable_name", "source_backend", "target_backend", "stage", "stage_name", "started_at", "advanced_at",
          "discrepancy_count", "keys_migrated", "app_name"]


def record(text):
    return json.loads(text)


def test_start(mesh):
    text = mesh.start_migration("counter.Counts", "sqlite", "redis")
    assert text.startswith('{"variable_name":"counter.Counts","source_backend":"sqlite","target_backend":"redis",'
                           '"stage":1,"stage_name":"shadow_write",')
    r = record(text)
    assert list(r) == FIELDS
    assert r["started_at"] == r["advanced_at"]
    assert (r["discrepancy_count"], r["keys_migrated"], r["app_name"]) == (0, 0, "myapp")
    assert mesh.get_migration("counter.Counts") == text


def test_start_twice_refused_at_every_active_stage(mesh):
    mesh.start_migration("v", "a", "b")
    mesh.rollback_migration("v")
    for stage in range(0, DONE):
        with pytest.raises(ValueError) as info:
            mesh.start_migration("v", "x", "y")
        assert info.value.args == (
            f"Migration error: Migration for 'v' already in progress at stage {stage} ({STAGES[stage]})",)
        mesh.advance_migration("v")
    assert record(mesh.get_migration("v"))["stage"] == DONE
    fresh = record(mesh.start_migration("v", "x", "y"))
    assert (fresh["stage"], fresh["source_backend"], fresh["keys_migrated"]) == (1, "x", 0)


def test_full_run_with_counts_and_rollback(mesh):
    mesh.start_migration("v", "a", "b")
    r = record(mesh.advance_migration("v", 3, 100))
    assert (r["stage"], r["stage_name"]) == (2, "shadow_read")
    r = record(mesh.advance_migration("v", discrepancy_count=2, keys_migrated=50))
    assert (r["discrepancy_count"], r["keys_migrated"]) == (5, 150)
    r = record(mesh.rollback_migration("v"))
    assert (r["stage"], r["stage_name"], r["discrepancy_count"], r["keys_migrated"]) == (2, "shadow_read", 5, 150)
    r = record(mesh.advance_migration("v", keys_migrated=10))
    assert (r["discrepancy_count"], r["keys_migrated"]) == (5, 160)
    for expected in range(4, DONE + 1):
        r = record(mesh.advance_migration("v", 10**18))
        assert (r["stage"], r["stage_name"]) == (expected, STAGES[expected])
    with pytest.raises(ValueError) as info:
        mesh.advance_migration("v")
    assert info.value.args == ("Migration error: Migration for 'v' is already complete",)
    with pytest.raises(ValueError) as info:
        mesh.rollback_migration("v")
    assert info.value.args == ("Migration error: Cannot roll back a completed migration",)


def test_rollback_to_idle_and_forward_again(mesh):
    mesh.start_migration("v", "a", "b")
    assert record(mesh.rollback_migration("v"))["stage_name"] == "idle"
    with pytest.raises(ValueError) as info:
        mesh.rollback_migration("v")
    assert info.value.args == ("Migration error: Already at initial stage \u2014 cannot roll back further",)
    assert record(mesh.advance_migration("v"))["stage_name"] == "shadow_write"


def test_counts_saturate_instead_of_wrapping(mesh):
    mesh.start_migration("v", "a", "b")
    mesh.advance_migration("v", 2**64 - 1, 2**64 - 2)
    r = record(mesh.advance_migration("v", 5, 5))
    assert (r["discrepancy_count"], r["keys_migrated"]) == (2**64 - 1, 2**64 - 1)


def test_unknown_variable(mesh):
    assert mesh.get_migration("ghost") is None
    for call in (mesh.advance_migration, mesh.rollback_migration):
        with pytest.raises(ValueError) as info:
            call("ghost")
        assert info.value.args == ("Migration error: No migration in progress for 'ghost'",)


def test_bad_counts_leave_the_record(mesh):
    mesh.start_migration("v", "a", "b")
    before = mesh.get_migration("v")
    with pytest.raises(OverflowError):
        mesh.advance_migration("v", -1)
    with pytest.raises(TypeError, match="^argument 'keys_migrated': "):
        mesh.advance_migration("v", 0, None)
    assert mesh.get_migration("v") == before


def test_list_and_case_sensitivity(mesh):
    assert mesh.list_migrations() == "[]"
    mesh.start_migration("v", "a", "b")
    mesh.start_migration("V", "a", "b")
    for _ in range(DONE - 1):
        mesh.advance_migration("V")
    listed = json.loads(mesh.list_migrations())
    assert sorted((r["variable_name"], r["stage"]) for r in listed) == [("V", DONE), ("v", 1)]
    assert "}, {" not in mesh.list_migrations()
    assert json.loads(mesh.health_snapshot())["migrations"]["active"] == 1
    assert repr(mesh).endswith("migrations=1)")
