"""The shared state store through its five methods."""
import pytest


def test_missing_key(mesh):
    assert mesh.state_get("nope") is None
    assert mesh.state_exists("nope") is False
    assert mesh.state_delete("nope") is None


@pytest.mark.parametrize(
    "text, canonical",
    [
        ('{"b": 1, "a": [true, null]}', '{"a":[true,null],"b":1}'),
        ('{"a": 1, "a": 2}', '{"a":2}'),
        (' "text"\n', '"text"'),
        ("1.50", "1.5"),
        ("null", "null"),
        ("1e2", "100.0"),
        ("-0", "-0.0"),
        ("18446744073709551615", "18446744073709551615"),
        ("18446744073709551616", "1.8446744073709552e+19"),
    ],
)
def test_values_come_back_canonical(mesh, text, canonical):
    assert mesh.state_set("k", text) is None
    assert mesh.state_exists("k") is True
    assert mesh.state_get("k") == canonical


@pytest.mark.parametrize(
    "text, message",
    [
        ("x", "Serialization error: expected value at line 1 column 1"),
        ("", "Serialization error: EOF while parsing a value at line 1 column 0"),
        ("1 2", "Serialization error: trailing characters at line 1 column 3"),
    ],
)
def test_bad_values_create_nothing(mesh, text, message):
    with pytest.raises(ValueError) as info:
        mesh.state_set("k", text)
    assert info.value.args == (message,)
    assert mesh.state_exists("k") is False


def test_nesting_limit(mesh):
    mesh.state_set("deep", "[" * 127 + "]" * 127)
    assert mesh.state_get("deep") == "[" * 127 + "]" * 127
    with pytest.raises(ValueError, match="^Serialization error: recursion limit exceeded"):
        mesh.state_set("deeper", "[" * 128 + "]" * 128)
    assert mesh.state_keys() == ["deep"]


def test_replace_and_delete(mesh):
    mesh.state_set("a", "1")
    before = mesh.state_get("a")
    mesh.state_set("a", "2")
    assert before == "1" and mesh.state_get("a") == "2"
    assert mesh.state_keys() == ["a"]
    mesh.state_delete("a")
    assert mesh.state_exists("a") is False


def test_keys_are_sorted_bytewise(mesh):
    for key in ["b", "a/b", "a", "ab", "B", "\u00e9", "z", ""]:
        mesh.state_set(key, "0")
    assert mesh.state_keys() == ["", "B", "a", "a/b", "ab", "b", "z", "\u00e9"]
    assert mesh.state_keys("") == mesh.state_keys()
    assert mesh.state_keys("a") == ["a", "a/b", "ab"]
    assert mesh.state_keys(prefix="ab") == ["ab"]
    assert mesh.state_keys("abc") == []
    assert mesh.state_keys("A") == []


def test_empty_key(mesh):
    mesh.state_set("", "[]")
    assert mesh.state_get("") == "[]"
    assert mesh.state_exists("")
    mesh.state_delete("")
    assert not mesh.state_exists("")


def test_keys_with_nul_and_non_ascii(mesh):
    mesh.state_set("a\0b", '"\u00e9"')
    assert mesh.state_get("a\0b") == '"\u00e9"'
    assert mesh.state_get("a") is None
    assert mesh.state_keys("a") == ["a\0b"]
