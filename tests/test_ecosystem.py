"""The package behaves like a first-class Python library: introspection,
help(), pickling and copying, subinterpreters and reloading."""

import ast
import copy
import importlib
import inspect
import pathlib
import pickle
import pydoc
import subprocess
import sys
import textwrap

import pytest

from korvo.datastructures.configuration import Configuration
from korvo.datastructures.fieldbag import FieldBag, NestedFieldBag
from korvo.datastructures.keytrail import DictItem, IndexMarker, KeyTrail
from korvo.datastructures.logic import And, Not, Or, logic_str
from korvo.datastructures.shadeseq import ShadeSeq
from korvo.datastructures.sprig import Sprig
from korvo.datastructures.typewide import TypewideDescriptor

STUBS = pathlib.Path(__file__).resolve().parent.parent / "src" / "korvo" / "datastructures"
MODULES = sorted(p.stem for p in STUBS.glob("*.cpp"))
P = inspect.Parameter
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def public_callables(module):
    """(qualified name, function) for every function of the module and of its classes."""
    mod = importlib.import_module(f"korvo.datastructures.{module}")
    for name, obj in vars(mod).items():
        if isinstance(obj, type) and obj.__module__ == mod.__name__ and obj.__name__ == name:
            if issubclass(obj, tuple):  # DictItem: a standard namedtuple
                continue
            for attr, value in vars(obj).items():
                func = getattr(value, "__func__", value)  # static and class methods
                if callable(func) and not isinstance(func, type):
                    yield f"{name}.{attr}", func
        elif callable(obj) and not isinstance(obj, type) and getattr(obj, "__module__", None) == mod.__name__:
            yield name, obj


def stub_functions(module):
    """{qualified name: [FunctionDef, ...]} from the module's stub file."""
    found = {}

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                walk(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                found.setdefault(prefix + node.name, []).append(node)

    walk(ast.parse((STUBS / f"{module}.pyi").read_text()).body, "")
    return found


def stub_params(node):
    a = node.args
    plain = [(p.arg, P.POSITIONAL_ONLY) for p in a.posonlyargs]
    plain += [(p.arg, P.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [None] * (len(plain) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    params = [(n, k, d) for (n, k), d in zip(plain, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, P.VAR_POSITIONAL, None))
    params += [(p.arg, P.KEYWORD_ONLY, d and ast.unparse(d)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, P.VAR_KEYWORD, None))
    return params


@pytest.mark.parametrize("module", MODULES)
def test_signatures_match_stubs(module):
    """Every function shows its real parameter names, kinds and defaults,
    and the stubs shipped for editors say the same (dunders included,
    which stubtest does not compare by name)."""
    stubs = stub_functions(module)
    seen = list(public_callables(module))
    assert seen
    for qualname, func in seen:
        sig = inspect.signature(func)
        assert qualname in stubs, f"{module}.{qualname} has no stub"
        defs = stubs[qualname]
        if len(defs) > 1:  # overloads: each must be a valid call of the real function
            for node in defs:
                params = stub_params(node)
                sig.bind(*[n for n, k, _ in params if k == P.POSITIONAL_ONLY],
                         **{n: n for n, k, _ in params if k in (P.POSITIONAL_OR_KEYWORD, P.KEYWORD_ONLY)})
            continue
        stub = stub_params(defs[0])
        assert [(p.name, p.kind) for p in sig.parameters.values()] == [(n, k) for n, k, _ in stub], qualname
        for p, (_, _, text) in zip(sig.parameters.values(), stub):
            assert (p.default is P.empty) == (text is None), (qualname, p.name)
            if text not in (None, "..."):
                assert p.default == ast.literal_eval(text), (qualname, p.name)


# class or function: whether it carries a docstring of its own
DOCUMENTED = {
    "fieldbag.FieldBag": True, "fieldbag.NestedFieldBag": False,
    "configuration.Configuration": False, "keytrail.KeyTrail": True, "keytrail.IndexMarker": False,
    "shadeseq.ShadeSeq": True, "logic.BaseLogic": True, "logic.And": True, "logic.Or": True,
    "logic.Not": True, "logic.logic_str": True, "sprig.Sprig": True,
    "typewide.TypewideDescriptor": True,
}


@pytest.mark.parametrize("path", DOCUMENTED)
def test_help_renders_docstring_and_methods(path):
    module, name = path.split(".")
    obj = getattr(importlib.import_module(f"korvo.datastructures.{module}"), name)
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    assert (f"class {name}(" if isinstance(obj, type) else f"{name}(") in text
    if DOCUMENTED[path]:
        assert obj.__doc__
        assert inspect.cleandoc(obj.__doc__).splitlines()[0] in text
    for attr, value in vars(obj).items() if isinstance(obj, type) else ():
        if callable(getattr(value, "__func__", value)) and pydoc.visiblename(attr, obj=value):
            assert f"{attr}(" in text, attr


class Bag(NestedFieldBag):
    pass


def tree():
    return Sprig("root", [Sprig("a", [Sprig("a1"), "leaf\ntext"]), Sprig("b")])


# name: (factory, observable that must survive the round trip)
ROUND_TRIPS = {
    "FieldBag": (lambda: FieldBag({"a": 1, "b": [1, 2]}), lambda o: (o, o.b, vars(o) is o)),
    "NestedFieldBag": (lambda: NestedFieldBag({"a": {"b": 1}, "c": [2]}),
                       lambda o: (o, type(o.a), o.a.b, vars(o.a) is o.a)),
    "Configuration": (lambda: Configuration({"s": {"k": "1", "t": "x"}}),
                      lambda o: (o, type(o.s), o.s.k, vars(o.s) is o.s)),
    "DictItem": (lambda: DictItem(("a", "b"), [1]), lambda o: (o, o.path, o.value)),
    "IndexMarker": (lambda: IndexMarker((), "4"), lambda o: (o.type_, o.index, repr(o))),
    "KeyTrail": (lambda: KeyTrail({"a": {"b": 1}, "c": [1, (2, 3)]}),
                 lambda o: ([type(r) for r in o], [repr(r) for r in o], o.reconstruct())),
    "logic": (lambda: And("a", Or("^b", Not("c")), str.isdigit),
              lambda o: (o, str(o), o("ab", "1"), o("ac"))),
    "logic holding native functions": (lambda: Or(logic_str, KeyTrail.__flatten__), lambda o: (o, str(o))),
    "Sprig": (tree, lambda o: (str(o), [type(c) for c in o.children], o.children[0].children[1])),
    "TypewideDescriptor": (lambda: TypewideDescriptor(len), lambda o: o.func),
    "subclass": (lambda: Bag({"a": {"b": 1}}), lambda o: (o, type(o.a), vars(o) is o, vars(o.a) is o.a)),
}


def copies(obj):
    for proto in PROTOCOLS:
        yield f"pickle{proto}", pickle.loads(pickle.dumps(obj, proto))
    yield "copy", copy.copy(obj)
    yield "deepcopy", copy.deepcopy(obj)


@pytest.mark.parametrize("name", [
    pytest.param(n, marks=pytest.mark.xfail(
        reason="a subclass is rebuilt without binding its attribute dictionary", strict=True))
    if n == "subclass" else n for n in ROUND_TRIPS])
def test_round_trips(name):
    factory, observe = ROUND_TRIPS[name]
    original = factory()
    for how, other in copies(original):
        assert type(other) is type(original), how
        assert other is not original, how
        assert observe(other) == observe(original), how


def test_native_functions_pickle_by_reference():
    functions = [logic_str, FieldBag.__repr__, NestedFieldBag.update, KeyTrail.__flatten__,
                 ShadeSeq.sort, And.__call__]
    for func in functions:
        for proto in PROTOCOLS:
            assert pickle.loads(pickle.dumps(func, proto)) is func
        assert copy.copy(func) is func and copy.deepcopy(func) is func
    bound = pickle.loads(pickle.dumps(Configuration._missing_env_vars))
    assert bound == Configuration._missing_env_vars and bound("$NOT_SET_ANYWHERE_X") == ["NOT_SET_ANYWHERE_X"]


def test_unpicklable_values_raise_clear_errors():
    class Item:
        pass

    def error(obj, proto):
        with pytest.raises(Exception) as info:
            pickle.dumps(obj, proto)
        return type(info.value), str(info.value)

    item, func = Item(), lambda x: x
    for proto in PROTOCOLS:
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(ShadeSeq([item]), proto)
        # The interpreter's own error for the lambda, as for a list holding it.
        assert error(And(func), proto) == error([func], proto)
        assert "lambda" in error(And(func), proto)[1]
    assert pickle.loads(pickle.dumps(ShadeSeq())) == ShadeSeq()


def run(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]


EXERCISE = """
import gc, pickle
import korvo.datastructures.configuration as c, korvo.datastructures.fieldbag as fb
import korvo.datastructures.keytrail as k, korvo.datastructures.logic as l
import korvo.datastructures.shadeseq as s, korvo.datastructures.sprig as sp
import korvo.datastructures.typewide as t
class Item:
    pass
for i in range(200):
    b = fb.NestedFieldBag({"a": {"b": i}})
    assert b.a.b == i and pickle.loads(pickle.dumps(b)) == b
    assert c.Configuration({"x": "1"}).x == 1
    assert k.KeyTrail({"a": [1, {"b": 2}]}).reconstruct() == {"a": [1, {"b": 2}]}
    item = Item(); q = s.ShadeSeq([item, item]); del item
    assert len(q) == 0
    assert l.logic_str("And('a', Not('z'))")("xa")
    assert str(sp.Sprig("r", [sp.Sprig("c")])) == "r\\n`-- c"
    class K:
        @t.typewide
        def n(cls):
            return cls.__name__
    assert K.n == "K"
gc.collect()
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="per-interpreter GIL needs 3.12")
def test_modules_work_in_subinterpreters():
    run(f"""
        import datetime  # CPython 3.12.1 crashes on a second isolated interpreter
                         # that imports the pure-Python datetime fallback first
        import threading
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import korvo.datastructures.fieldbag  # also loaded in the main interpreter
        code = {EXERCISE!r}
        errors = []

        def worker():
            iid = interpreters.create()  # isolated: its own GIL
            try:
                failure = interpreters.run_string(iid, code)
                if failure is not None:
                    errors.append(failure)
            except Exception as exc:
                errors.append(exc)
            finally:
                interpreters.destroy(iid)

        for _ in range(2):
            threads = [threading.Thread(target=worker) for _ in range(3)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        assert not errors, errors
        exec(code)
    """)


def test_reload_and_reimport():
    run(f"""
        import gc, importlib, sys
        names = {MODULES!r}
        old = {{n: importlib.import_module("korvo.datastructures." + n) for n in names}}
        for mod in old.values():
            assert importlib.reload(mod) is mod
        bag = old["fieldbag"].NestedFieldBag({{"a": {{"b": 1}}}})
        for n in names:
            del sys.modules["korvo.datastructures." + n]
        gc.collect()
        new = {{n: importlib.import_module("korvo.datastructures." + n) for n in names}}
        assert all(new[n] is not old[n] for n in names)
        assert new["configuration"].NestedFieldBag is new["fieldbag"].NestedFieldBag
        del old
        gc.collect()
        bag["a.c"] = 2
        assert bag.a.c == 2 and type(bag.a) is type(bag)
        exec({EXERCISE!r})
    """)
