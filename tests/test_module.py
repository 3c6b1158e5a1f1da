"""The module, the KorvoMesh type and the shared argument conventions."""
import importlib
import importlib.metadata
import inspect
import sys

import pytest

import korvo_mesh
from korvo_mesh import KorvoMesh


def test_module_surface():
    # The build's one version (CMakeLists.txt) reaches the module and the package alike.
    assert korvo_mesh.__version__ == importlib.metadata.version("korvo-mesh")
    assert korvo_mesh.__all__ == ["KorvoMesh", "__version__"]
    assert korvo_mesh.__doc__ == "Python module `korvo_mesh`."
    public = {n for n in dir(korvo_mesh) if not n.startswith("__")}
    assert public == {"KorvoMesh"}


def test_reinit_returns_the_same_module():
    first = sys.modules.pop("korvo_mesh")
    try:
        again = importlib.import_module("korvo_mesh")
        assert again is first
        assert again.KorvoMesh is KorvoMesh
    finally:
        sys.modules["korvo_mesh"] = first


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        failure = interpreters.run_string(interp, "import korvo_mesh")
        assert failure is not None
        assert "ImportError" in failure.type.__name__ or "ImportError" in str(failure.type)
    finally:
        interpreters.destroy(interp)


def test_type_surface():
    assert KorvoMesh.__name__ == "KorvoMesh"
    assert KorvoMesh.__text_signature__ == '(app_name, plan_json="")'
    assert KorvoMesh.__doc__.startswith("The runtime mesh for a Korvo application.")
    assert "GIL-aware \u2014 they release" in KorvoMesh.__doc__
    assert KorvoMesh.state_keys.__text_signature__ == '($self, prefix="")'
    assert KorvoMesh.app_name.__doc__ == "Application name."
    with pytest.raises(TypeError):
        class Sub(KorvoMesh):  # noqa: F841
            pass


def test_instances_take_no_attributes(mesh):
    with pytest.raises(AttributeError):
        mesh.extra = 1
    with pytest.raises(AttributeError):
        mesh.app_name = "x"
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(mesh)


@pytest.mark.parametrize(
    "args, kwargs",
    [(("myapp",), {}), (("myapp", ""), {}), ((), {"app_name": "myapp", "plan_json": ""})],
)
def test_app_name_from_argument(args, kwargs):
    assert KorvoMesh(*args, **kwargs).app_name == "myapp"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: KorvoMesh(), TypeError, "KorvoMesh.__new__() missing 1 required positional argument: 'app_name'"),
        (lambda: KorvoMesh("a", "", 3), TypeError,
         "KorvoMesh.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: KorvoMesh("a", name="b"), TypeError, "KorvoMesh.__new__() got an unexpected keyword argument 'name'"),
        (lambda: KorvoMesh("a", app_name="b"), TypeError,
         "KorvoMesh.__new__() got multiple values for argument 'app_name'"),
        (lambda: KorvoMesh(42), TypeError, "argument 'app_name': 'int' object cannot be converted to 'PyString'"),
        (lambda: KorvoMesh("myapp", None), TypeError,
         "argument 'plan_json': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: KorvoMesh("myapp", "x"), ValueError, "Serialization error: expected value at line 1 column 1"),
    ],
)
def test_constructor_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("publish", (), {}, "KorvoMesh.publish() missing 2 required positional arguments: 'topic' and 'payload_json'"),
        ("start_migration", (), {},
         "KorvoMesh.start_migration() missing 3 required positional arguments: "
         "'variable_name', 'source_backend', and 'target_backend'"),
        ("start_migration", ("v",), {"target_backend": "t"},
         "KorvoMesh.start_migration() missing 1 required positional argument: 'source_backend'"),
        ("state_get", ("a", "b"), {}, "KorvoMesh.state_get() takes 1 positional arguments but 2 were given"),
        ("publish", ("a", "b", "c"), {}, "KorvoMesh.publish() takes 2 positional arguments but 3 were given"),
        ("list_agents", ("a", "b", "c"), {},
         "KorvoMesh.list_agents() takes from 0 to 2 positional arguments but 3 were given"),
        ("state_keys", ("a", "b"), {}, "KorvoMesh.state_keys() takes from 0 to 1 positional arguments but 2 were given"),
        ("state_get", (), {"key": "k", "nope": 1}, "KorvoMesh.state_get() got an unexpected keyword argument 'nope'"),
        ("state_set", ("k",), {"key": "k"}, "KorvoMesh.state_set() got multiple values for argument 'key'"),
        ("state_keys", (None,), {}, "argument 'prefix': 'NoneType' object cannot be converted to 'PyString'"),
        ("route_agent_call", ("T", "a", "m", None), {},
         "argument 'args_json': 'NoneType' object cannot be converted to 'PyString'"),
        ("state_get", (b"k",), {}, "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
        ("advance_migration", ("v", None), {},
         "argument 'discrepancy_count': 'NoneType' object cannot be interpreted as an integer"),
        ("register_agent", ("T", "a", "1"), {}, "argument 'instance': 'str' object cannot be interpreted as an integer"),
        ("register_agent", ("T", "a", 1.0), {}, "argument 'instance': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_argument_matching_and_conversion(mesh, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(mesh, method)(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_errors_follow_the_order_given(mesh):
    # The first offending keyword ends the call, before missing parameters are counted.
    with pytest.raises(TypeError, match="unexpected keyword argument 'zzz'"):
        mesh.publish(zzz=1, topic="t")


def test_qualified_type_name_in_conversion_message(mesh):
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        mesh.state_get(Outer.Inner())
    assert str(info.value) == "argument 'key': 'test_qualified_type_name_in_conversion_message.<locals>.Outer.Inner' " \
        "object cannot be converted to 'PyString'"


def test_str_subclasses_are_accepted(mesh):
    class Key(str):
        pass

    mesh.state_set(Key("k"), Key("[1]"))
    assert mesh.state_get(key=Key("k")) == "[1]"


@pytest.mark.parametrize("value", [-1, 4294967296])
def test_u32_out_of_range(mesh, value):
    with pytest.raises(OverflowError) as info:
        mesh.register_agent("T", "a", value)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert mesh.get_agent("a") is None


def test_u32_beyond_i64_raises_the_interpreters_overflow(mesh):
    with pytest.raises(OverflowError) as info:
        mesh.register_agent("T", "a", 2**64)
    assert str(info.value) != "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [-1, 2**64])
def test_u64_out_of_range(mesh, value):
    mesh.start_migration("v", "a", "b")
    with pytest.raises(OverflowError):
        mesh.advance_migration("v", value)
    assert '"stage":1,' in mesh.get_migration("v")


def test_integer_index_protocol(mesh):
    class Count:
        def __index__(self):
            return 7

    mesh.start_migration("v", "a", "b")
    assert '"keys_migrated":7,' in mesh.advance_migration("v", keys_migrated=Count())
    assert '"instance":7,' in mesh.register_agent("T", "a", Count())


def test_conversion_cause_is_kept(mesh):
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("nope") from e

    with pytest.raises(TypeError) as info:
        mesh.register_agent("T", "a", Bad())
    assert str(info.value) == "argument 'instance': nope"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_conversion_errors_pass_unchanged(mesh):
    class Bad:
        def __index__(self):
            raise ValueError("mine")

    with pytest.raises(ValueError, match="^mine$"):
        mesh.advance_migration("v", Bad())
    with pytest.raises(UnicodeEncodeError):
        mesh.state_set("\ud800", "1")
    assert mesh.state_keys() == []


def test_receiver_is_checked():
    with pytest.raises(TypeError):
        KorvoMesh.state_get(object(), "k")
    with pytest.raises(TypeError):
        KorvoMesh("a").plan_json(1)


def test_instances_share_nothing():
    a, b = KorvoMesh("a"), KorvoMesh("b")
    a.register_agent("T", "x")
    a.state_set("k", "1")
    a.publish("t", "1")
    a.start_migration("v", "s", "t")
    assert b.get_agent("x") is None
    assert b.state_keys() == []
    assert b.list_migrations() == "[]"
    assert '"topics":0' in b.health_snapshot()


# A value every parameter of the constructor and the methods accepts, by name.
VALID = {
    "app_name": "myapp", "plan_json": "", "agent_type": "T", "agent_id": "a", "instance": 0,
    "metadata_json": None, "status": "idle", "method": "m", "args_json": "{}", "key": "k",
    "value_json": "1", "prefix": "", "topic": "t", "payload_json": "1", "variable_name": "v",
    "source_backend": "s", "target_backend": "t", "discrepancy_count": 0, "keys_migrated": 0,
}
# What a call may need first; the call that makes it is not prepared with it.
SETUP = [("register_agent", ("T", "a")), ("start_migration", ("v", "s", "t"))]
CALLABLES = ["KorvoMesh"] + [n for n, v in vars(KorvoMesh).items() if callable(v) and not n.startswith("_")]


def prepared(name):
    mesh = KorvoMesh("myapp")
    for setup, args in SETUP:
        if setup != name:
            getattr(mesh, setup)(*args)
    return KorvoMesh if name == "KorvoMesh" else getattr(mesh, name)


@pytest.mark.parametrize("name", CALLABLES)
def test_text_signature_is_what_the_matcher_takes(name):
    params = inspect.signature(prepared(name)).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
    given = {p.name: VALID[p.name] for p in params}
    required = {p.name: VALID[p.name] for p in params if p.default is p.empty}
    prepared(name)(**given)
    prepared(name)(**required)
    refusal = "got an unexpected keyword argument 'nope'" if given else "takes no keyword arguments"
    with pytest.raises(TypeError, match=refusal):
        prepared(name)(**required, nope=1)
    for left_out in required:
        with pytest.raises(TypeError, match=f"missing 1 required positional argument: '{left_out}'$"):
            prepared(name)(**{k: v for k, v in required.items() if k != left_out})
