"""typewide: TypewideDescriptor / typewide."""

import harness as h
from harness import case

MODULE = "korvo.datastructures.typewide"


def leak_cases(m):
    tw = m.typewide

    class Base:
        @tw
        def name(cls):
            return cls.__name__

        @tw
        def failing(cls):
            raise h.HostileError("func")

        @tw
        def recursive(cls):
            return cls.recursive

    class Sub(Base):
        pass

    descr = Base.__dict__["name"]
    not_callable = tw(5)

    def define():
        class C:
            @tw
            def hundred(cls):
                return 100

        return C.hundred, C().hundred

    def shadow():
        s = Sub()
        s.name = 5
        return s.name, Sub.name

    return [
        case("decorate and read", define),
        case("read through class and instance", lambda: (Base.name, Sub().name)),
        case("shadow on instance", shadow),
        case("read raising", lambda: Base.failing, h.HostileError),
        case("read recursive", lambda: Base.recursive, RecursionError),
        case("__get__", lambda: descr.__get__(None, Sub)),
        case("__get__ keywords", lambda: descr.__get__(obj=None, owner=Base)),
        case("__get__ too few", lambda: descr.__get__(None), TypeError),
        case("func not callable", lambda: not_callable.__get__(None, Base), TypeError),
        case("construct no func", lambda: tw(), TypeError),
        case("rebind func", lambda: setattr(tw(len), "func", str)),
    ]


def make(w):
    func = w.choice(["hfunc", "value", "name"], "func")
    if func == "hfunc":
        f = h.HFunc(1, w.integer(0, 6, "mode"), w.integer(0, 2, "after"))
    elif func == "value":
        f = w.value("func")
    else:
        f = lambda cls: cls.__name__  # noqa: E731
    d = w.m.TypewideDescriptor(f)
    holder = type("Holder", (), {"attr": d})
    d.holder = holder  # keeps the class alive with its descriptor
    return d


def op_read(w):
    d = w.pick()
    holder = d.holder
    which = w.integer(0, 3, "read")
    if which == 0:
        holder.attr
    elif which == 1:
        holder().attr
    elif which == 2:
        type("Sub", (holder,), {}).attr
    else:
        d.__get__(w.value("obj"), w.value("owner"))


def op_rebind(w):
    d = w.pick()
    if w.integer(0, 1, "what"):
        d.func = w.value("func")
    else:
        del d.func


def op_reinit(w):
    d = w.pick()
    type(d).__init__(d, w.value("func"))


FUZZ_OPS = [op_read, op_rebind, op_reinit]

MUTATORS = [
    lambda t: setattr(t, "func", None),
    lambda t: delattr(t.holder, "attr"),
    lambda t: setattr(t, "func", lambda cls: cls.attr),
]
