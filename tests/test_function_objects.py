"""The module's function objects: one shared callable type with the attributes, annotations and
signature that introspection relies on."""

import copy
import inspect
import pickle
import typing
import weakref

import pytest

from functable import FUNCTIONS, NAMES
from subproc import run_python

ROWS = {row[0]: row for row in FUNCTIONS}


@pytest.fixture(scope="module")
def function_type(orvik):
    return type(orvik.handle_error_code)


def test_every_function_is_bound_in_order(orvik, function_type):
    bound = [name for name, value in vars(orvik).items() if type(value) is function_type]
    assert bound == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_function_attributes(orvik, function_type, name):
    _, params, returns, doc_start = ROWS[name]
    function = getattr(orvik, name)
    assert type(function) is function_type
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "velmora.brinmoor.orvik"
    assert function.__globals__ is vars(orvik)
    annotations = function.__annotations__
    assert type(annotations) is dict
    assert list(annotations.items()) == [*params, ("return", returns)]
    assert all(type(value) is str for value in annotations.values())
    if doc_start is None:
        assert function.__doc__ is None
    else:
        assert function.__doc__.lstrip().startswith(doc_start)


@pytest.mark.parametrize("name", NAMES)
def test_signature(orvik, name):
    _, params, returns, _ = ROWS[name]
    signature = inspect.signature(getattr(orvik, name))
    assert [(p.name, p.annotation) for p in signature.parameters.values()] == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert all(p.default is inspect.Parameter.empty for p in signature.parameters.values())
    assert signature.return_annotation == returns
    assert inspect.signature(getattr(orvik, name)) == signature


# Making the signature runs Python code (inspect's classes); here that code reads the signature
# again while the first one is being made. The first stored is the one kept; the other is freed.
REENTRANT_SIGNATURE = """
import gc, inspect, weakref
from velmora.brinmoor import orvik

made = []

class Recording(inspect.Signature):
    __slots__ = ("__weakref__",)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        made.append(weakref.ref(self))
        if len(made) == 1:
            orvik.open_camera.__signature__

inspect.Signature = Recording
outer = orvik.open_camera.__signature__
gc.collect()
print(len(made), made[0]() is None, made[1]() is outer, orvik.open_camera.__signature__ is outer, str(outer))
"""


def test_signature_made_while_being_made_is_stored_once():
    proc = run_python(REENTRANT_SIGNATURE)
    assert proc.stdout.split() == ["2", "True", "True", "True", "(camera_id:", "'int')", "->", "'None'"]


def test_signature_text(orvik):
    assert str(inspect.signature(orvik.handle_error_code)) == "(asi_error_code: 'int') -> 'None'"
    assert str(inspect.signature(orvik.get_sdk_version)) == "() -> 'str'"


def test_type_hints_resolve_in_the_module_namespace(orvik):
    hints = typing.get_type_hints(orvik.get_camera_property)
    assert hints == {"camera_index": int, "return": orvik.CameraInfo}


def test_attributes_are_read_only(orvik):
    for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__globals__"):
        with pytest.raises(AttributeError):
            setattr(orvik.handle_error_code, attr, "x")


def test_type_cannot_be_instantiated_or_subclassed(function_type):
    with pytest.raises(TypeError):
        function_type()
    with pytest.raises(TypeError):
        type("Sub", (function_type,), {})


def test_repr_pickle_copy_weakref(orvik):
    function = orvik.handle_error_code
    assert repr(function) == "<built-in function handle_error_code>"
    assert pickle.loads(pickle.dumps(function)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    assert weakref.ref(function)() is function
    assert callable(function)


def test_not_bound_as_a_method(orvik):
    # Like a built-in function: stored in a class it is called without the instance.
    class Holder:
        handle = orvik.handle_error_code

    assert Holder().handle(0) is None
    with pytest.raises(orvik.ASIInvalidIndex):
        Holder().handle(1)


def test_call_through_tp_call_paths(orvik):
    import functools

    assert functools.partial(orvik.handle_error_code, 0)() is None
    assert functools.partial(orvik.handle_error_code, asi_error_code=0)() is None
    assert orvik.handle_error_code(*[0]) is None
    assert orvik.handle_error_code(**{"asi_error_code": 0}) is None
    assert type(orvik.handle_error_code).__call__(orvik.handle_error_code, 0) is None
