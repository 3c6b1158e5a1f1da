"""Publishing to topics."""
import json

import pytest


def topics(mesh):
    return json.loads(mesh.health_snapshot())["channels"]["topics"]


def test_topics_come_into_being_on_first_publish(mesh):
    assert topics(mesh) == 0
    assert mesh.publish("orders", '{"id": 1}') == 0
    assert topics(mesh) == 1
    assert mesh.publish("orders", "2") == 0
    assert topics(mesh) == 1
    mesh.publish("audit", "null")
    mesh.publish("Orders", "null")
    mesh.publish("", "null")
    assert topics(mesh) == 4


@pytest.mark.parametrize("payload", ["null", "1", "-2.5", '"s"', "[1,[2]]", '{"a":{}}', "true"])
def test_any_json_payload(mesh, payload):
    assert mesh.publish(topic="t", payload_json=payload) == 0


@pytest.mark.parametrize("payload", ["not json", "", "[1", "{} {}"])
def test_bad_payload_creates_no_topic(mesh, payload):
    with pytest.raises(ValueError, match="^Serialization error: "):
        mesh.publish("t", payload)
    assert topics(mesh) == 0


def test_many_messages_are_not_retained(mesh):
    assert all(mesh.publish("t", str(i)) == 0 for i in range(3000))
    assert topics(mesh) == 1
