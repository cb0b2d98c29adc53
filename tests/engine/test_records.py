"""The LineSeg and MatchingParams classes: properties, conversions, text, pickling."""

import copy
import math
import pickle
import struct

import pytest

import Talmek

LineSeg = Talmek.LineSeg
MatchingParams = Talmek.MatchingParams

SEG_STATE = ["x1", "y1", "x2", "y2", "strength", "displacement", "rms_1", "rms_2", "active"]
SEG_MEMBERS = ["__init__", "set_coors", "get_length", "strength", "displacement", "rms_1", "rms_2",
               "x1", "y1", "x2", "y2", "active", "__repr__", "__str__", "__getstate__",
               "__setstate__", "__reduce__"]
# Declared order, with defaults.
PARAMS_DEFAULTS = {
    "peakmethod_": 2, "corrtype_": 1, "maxdiff_": -2.0, "mincorr_": 2.0, "start_row_": 0,
    "start_col_": 0, "ref_cellsize_": 1.0, "srch_cellsize_": 1.0, "srch_xll_": 0.0,
    "srch_yll_": 0.0, "ref_xll_": 0.0, "ref_yll_": 0.0, "chipwidth_": 128, "chipheight_": 128,
    "hoffset_": 0, "voffset_": 0, "row_interval_": 20, "col_interval_": 20, "row_offset_": 0,
    "col_offset_": 0,
}
PARAMS_STATE = ["peakmethod_", "ref_cellsize_", "srch_cellsize_", "corrtype_", "maxdiff_",
                "mincorr_", "start_row_", "start_col_", "srch_xll_", "srch_yll_", "ref_xll_",
                "ref_yll_", "chipwidth_", "chipheight_", "hoffset_", "voffset_", "row_interval_",
                "col_interval_", "row_offset_", "col_offset_"]
STATE = {LineSeg: SEG_STATE, MatchingParams: PARAMS_STATE}


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


class Index:
    def __index__(self):
        return 7


class Real:
    def __float__(self):
        return 2.5


def distinct_values(cls):
    """A value for every field, all different, of each field's own kind."""
    return {name: (i + 3 if type(getattr(cls(), name)) is int else f32(i + 0.25))
            for i, name in enumerate(STATE[cls])}


def filled(cls):
    obj = cls()
    for name, value in distinct_values(cls).items():
        setattr(obj, name, value)
    return obj


@pytest.mark.parametrize("cls, members", [(LineSeg, SEG_MEMBERS),
                                          (MatchingParams, ["__init__"] + PARAMS_STATE
                                           + ["__getstate__", "__setstate__", "__reduce__"])])
def test_members_in_registration_order(cls, members):
    # __new__ comes first: objects are built holding their defaults before __init__ runs.
    assert [n for n in vars(cls) if n not in ("__doc__", "__module__", "_pybind11_conduit_v1_")] \
        == ["__new__"] + members


def test_defaults():
    seg = LineSeg()
    assert [getattr(seg, n) for n in SEG_STATE] == [0.0] * 8 + [0]
    assert [type(getattr(seg, n)) for n in SEG_STATE] == [float] * 8 + [int]
    assert seg.get_length() == 0.0
    params = MatchingParams()
    assert {n: getattr(params, n) for n in PARAMS_DEFAULTS} == PARAMS_DEFAULTS
    assert all(type(getattr(params, n)) is type(v) for n, v in PARAMS_DEFAULTS.items())


@pytest.mark.parametrize("cls", [LineSeg, MatchingParams])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x1": 1.0}), ((), {"chipwidth_": 64})])
def test_constructor_takes_no_arguments(cls, args, kwargs):
    with pytest.raises(TypeError):
        cls(*args, **kwargs)


@pytest.mark.parametrize("cls", [LineSeg, MatchingParams])
def test_each_property_is_its_own_field(cls):
    values = distinct_values(cls)
    obj = filled(cls)
    assert obj.__getstate__() == tuple(values.values())
    assert {n: getattr(obj, n) for n in values} == values


@pytest.mark.parametrize("cls, field, value, expected", [
    (LineSeg, "strength", 0.1, 0.10000000149011612),
    (LineSeg, "rms_2", -1e-3, f32(-1e-3)),
    (LineSeg, "displacement", 3, 3.0),
    (LineSeg, "rms_1", Real(), 2.5),
    (LineSeg, "strength", 1e300, float("inf")),
    (LineSeg, "x1", 0.1, 0.1),
    (LineSeg, "y2", -1e300, -1e300),
    (LineSeg, "x2", 2**53 + 1, float(2**53)),
    (LineSeg, "y1", Index(), 7.0),
    (LineSeg, "active", -2**31, -2**31),
    (LineSeg, "active", 2**31 - 1, 2**31 - 1),
    (LineSeg, "active", Index(), 7),
    (LineSeg, "active", True, 1),
    (MatchingParams, "maxdiff_", 3, 3.0),
    (MatchingParams, "ref_cellsize_", Real(), 2.5),
    (MatchingParams, "mincorr_", 0.1, 0.1),
    (MatchingParams, "chipwidth_", Index(), 7),
    (MatchingParams, "hoffset_", -2**31, -2**31),
    (MatchingParams, "col_offset_", 2**31 - 1, 2**31 - 1),
])
def test_property_accepts(cls, field, value, expected):
    obj = cls()
    setattr(obj, field, value)
    got = getattr(obj, field)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("cls, field, value", [
    (LineSeg, "active", 2.0),
    (LineSeg, "active", 2**31),
    (LineSeg, "active", -2**31 - 1),
    (LineSeg, "active", Real()),
    (LineSeg, "active", "1"),
    (LineSeg, "strength", "0.5"),
    (LineSeg, "x1", None),
    (LineSeg, "y2", 10**400),
    (MatchingParams, "chipwidth_", 3.0),
    (MatchingParams, "hoffset_", 2**31),
    (MatchingParams, "peakmethod_", None),
    (MatchingParams, "mincorr_", "high"),
    (MatchingParams, "srch_xll_", [1.0]),
])
def test_property_refuses(cls, field, value):
    obj = filled(cls)
    before = obj.__getstate__()
    with pytest.raises(TypeError):
        setattr(obj, field, value)
    assert obj.__getstate__() == before


@pytest.mark.parametrize("args, coords, length", [
    ((0, 0, 3, 4), (0.0, 0.0, 3.0, 4.0), 5.0),
    ((1.5, -2.0, 1.5, -2.0), (1.5, -2.0, 1.5, -2.0), 0.0),
    ((-1.0, 7.0, -13.0, 2.0), (-1.0, 7.0, -13.0, 2.0), 13.0),
    ((Index(), Real(), 0.0, 0.0), (7.0, 2.5, 0.0, 0.0), math.sqrt(55.25)),
])
def test_set_coors_sets_length(args, coords, length):
    seg = LineSeg()
    assert seg.set_coors(*args) is None
    assert (seg.x1, seg.y1, seg.x2, seg.y2) == coords
    assert seg.get_length() == length


def test_coordinate_properties_leave_length():
    seg = LineSeg()
    seg.set_coors(0, 0, 3, 4)
    assert seg.x2 == 3.0
    seg.x2 = 6.0
    seg.y1 = -100.0
    assert seg.get_length() == 5.0


@pytest.mark.parametrize("args, kwargs", [((0, 0, 3), {}), ((0, 0, 3, 4, 5), {}),
                                          ((0, 0, 3, "4"), {}),
                                          ((), {"x1": 0, "y1": 0, "x2": 3, "y2": 4}),
                                          ((0, 0, 3), {"y2": 4})])
def test_set_coors_refuses(args, kwargs):
    seg = LineSeg()
    with pytest.raises(TypeError):
        seg.set_coors(*args, **kwargs)
    assert seg.get_length() == 0.0 and seg.x2 == 0.0


def seg_text(*values):
    return ("<LineSeg x1: %f, y1: %f, x2: %f, y2: %f, length: %f, strength: %f, displacement: %f, "
            "rms_1: %f, rms_2: %f, active: %d>" % values)


@pytest.mark.parametrize("setup, text", [
    ({}, "<LineSeg x1: 0.000000, y1: 0.000000, x2: 0.000000, y2: 0.000000, length: 0.000000, "
         "strength: 0.000000, displacement: 0.000000, rms_1: 0.000000, rms_2: 0.000000, active: 0>"),
    ({"strength": 0.1, "displacement": 1234.5678, "rms_2": 2.5e-7},
     "<LineSeg x1: 0.000000, y1: 0.000000, x2: 0.000000, y2: 0.000000, length: 0.000000, "
     "strength: 0.100000, displacement: 1234.567749, rms_1: 0.000000, rms_2: 0.000000, active: 0>"),
    ({"x1": -1.5, "active": -3}, seg_text(-1.5, 0, 0, 0, 0, 0, 0, 0, 0, -3)),
    ({"coords": (0.0, 0.0, 3.0, -4.0), "active": 2**31 - 1},
     seg_text(0, 0, 3, -4, 5, 0, 0, 0, 0, 2**31 - 1)),
    ({"x1": 1e300, "y2": -1.7976931348623157e308, "rms_1": 1e300, "active": -2**31},
     seg_text(1e300, 0, 0, -1.7976931348623157e308, 0, 0, 0, float("inf"), 0, -2**31)),
])
def test_text(setup, text):
    seg = LineSeg()
    for name, value in setup.items():
        if name == "coords":
            seg.set_coors(*value)
        else:
            setattr(seg, name, value)
    assert repr(seg) == text
    assert str(seg) == text


def test_default_states():
    assert LineSeg().__getstate__() == (0.0,) * 8 + (0,)
    assert MatchingParams().__getstate__() == (2, 1.0, 1.0, 1, -2.0, 2.0, 0, 0, 0.0, 0.0, 0.0,
                                               0.0, 128, 128, 0, 0, 20, 20, 0, 0)
    for cls in (LineSeg, MatchingParams):
        state = cls().__getstate__()
        assert type(state) is tuple
        assert [type(v) for v in state] == [type(getattr(cls(), n)) for n in STATE[cls]]


def test_setstate_converts():
    seg = LineSeg.__new__(LineSeg)
    seg.__setstate__((0, 0, Index(), 4, 0.1, 2, Real(), -1e300, Index()))
    assert seg.__getstate__() == (0.0, 0.0, 7.0, 4.0, 0.10000000149011612, 2.0, 2.5,
                                  float("-inf"), 7)
    assert seg.get_length() == math.sqrt(65.0)


@pytest.mark.parametrize("cls, state, exc, match", [
    (LineSeg, (0.0,) * 8, RuntimeError, "^Invalid state!$"),
    (LineSeg, (0.0,) * 8 + (0, 0), RuntimeError, "^Invalid state!$"),
    (LineSeg, (), RuntimeError, "^Invalid state!$"),
    (LineSeg, [0.0] * 8 + [0], TypeError, None),
    (LineSeg, None, TypeError, None),
    (LineSeg, (0.0,) * 8 + (2.5,), RuntimeError, "float"),
    (LineSeg, ("0",) + (0.0,) * 7 + (0,), RuntimeError, "str"),
    (LineSeg, (0.0,) * 4 + (None,) + (0.0,) * 3 + (0,), RuntimeError, "NoneType"),
    (LineSeg, (0.0,) * 8 + (2**31,), RuntimeError, "int"),
    (MatchingParams, MatchingParams().__getstate__()[:19], RuntimeError, "^Invalid state!$"),
    (MatchingParams, MatchingParams().__getstate__() + (0,), RuntimeError, "^Invalid state!$"),
    (MatchingParams, list(MatchingParams().__getstate__()), TypeError, None),
    (MatchingParams, (2.0,) + MatchingParams().__getstate__()[1:], RuntimeError, "float"),
    (MatchingParams, MatchingParams().__getstate__()[:19] + ("0",), RuntimeError, "str"),
])
@pytest.mark.parametrize("make", [lambda cls: cls.__new__(cls), filled], ids=["new", "existing"])
def test_setstate_refuses(cls, state, exc, match, make):
    # Unpickling calls __setstate__ on an instance made by __new__; a refused state leaves either
    # kind of object as it was.
    obj = make(cls)
    before = obj.__getstate__()
    with pytest.raises(exc, match=match):
        obj.__setstate__(state)
    assert obj.__getstate__() == before


@pytest.mark.parametrize("cls", [LineSeg, MatchingParams])
def test_objects_made_without_init_hold_defaults(cls):
    class Sub(cls):
        pass

    for kind in (cls, Sub):
        assert kind.__new__(kind).__getstate__() == cls().__getstate__()
    assert pickle.loads(pickle.dumps(cls.__new__(cls))).__getstate__() == cls().__getstate__()
    # A second __init__ leaves the fields alone, as before; arguments are still refused.
    obj = filled(cls)
    obj.__init__()
    assert obj.__getstate__() == filled(cls).__getstate__()
    with pytest.raises(TypeError):
        obj.__init__(1)


@pytest.mark.parametrize("cls", [LineSeg, MatchingParams])
def test_setstate_on_an_existing_object_applies_the_state(cls):
    obj = cls()
    state = filled(cls).__getstate__()
    assert obj.__setstate__(state) is None
    assert obj.__getstate__() == state


# Pickles written by release 1.1.1, whose __setstate__ built the record anew.
OLD_PICKLES = [
    (LineSeg, (1.5, 2.5, -3.0, 4.0, 2.5, 0.0, 0.125, 0.0, 5),
     b"ccopy_reg\n__newobj__\np0\n(cTalmek\nLineSeg\np1\ntp2\nRp3\n(F1.5\nF2.5\nF-3.0\nF4.0\n"
     b"F2.5\nF0.0\nF0.125\nF0.0\nI5\ntp4\nb."),
    (LineSeg, (1.5, 2.5, -3.0, 4.0, 2.5, 0.0, 0.125, 0.0, 5),
     b"\x80\x05\x95g\x00\x00\x00\x00\x00\x00\x00\x8c\x06Talmek\x94\x8c\x07LineSeg\x94\x93\x94)"
     b"\x81\x94(G?\xf8\x00\x00\x00\x00\x00\x00G@\x04\x00\x00\x00\x00\x00\x00G\xc0\x08\x00\x00"
     b"\x00\x00\x00\x00G@\x10\x00\x00\x00\x00\x00\x00G@\x04\x00\x00\x00\x00\x00\x00G\x00\x00"
     b"\x00\x00\x00\x00\x00\x00G?\xc0\x00\x00\x00\x00\x00\x00G\x00\x00\x00\x00\x00\x00\x00\x00"
     b"K\x05t\x94b."),
    (MatchingParams, (3, 1.0, 1.0, 1, -2.0, 1.25, 0, 0, -1e300, 0.0, 0.0, 0.0, 48, 128, 0, 0, 20, 20, 0, 0),
     b"ccopy_reg\n__newobj__\np0\n(cTalmek\nMatchingParams\np1\ntp2\nRp3\n(I3\nF1.0\nF1.0\nI1\n"
     b"F-2.0\nF1.25\nI0\nI0\nF-1e+300\nF0.0\nF0.0\nF0.0\nI48\nI128\nI0\nI0\nI20\nI20\nI0\nI0\n"
     b"tp4\nb."),
    (MatchingParams, (3, 1.0, 1.0, 1, -2.0, 1.25, 0, 0, -1e300, 0.0, 0.0, 0.0, 48, 128, 0, 0, 20, 20, 0, 0),
     b"\x80\x02cTalmek\nMatchingParams\nq\x00)\x81q\x01(K\x03G?\xf0\x00\x00\x00\x00\x00\x00G?\xf0"
     b"\x00\x00\x00\x00\x00\x00K\x01G\xc0\x00\x00\x00\x00\x00\x00\x00G?\xf4\x00\x00\x00\x00"
     b"\x00\x00K\x00K\x00G\xfe7\xe4<\x88\x00u\x9cG\x00\x00\x00\x00\x00\x00\x00\x00G\x00\x00\x00"
     b"\x00\x00\x00\x00\x00G\x00\x00\x00\x00\x00\x00\x00\x00K0K\x80K\x00K\x00K\x14K\x14K\x00K\x00"
     b"tq\x02b."),
]


@pytest.mark.parametrize("cls, state, data", OLD_PICKLES)
def test_pickles_of_the_previous_release_read_back(cls, state, data):
    obj = pickle.loads(data)
    assert type(obj) is cls
    assert obj.__getstate__() == state


def _pickle(protocol):
    return lambda obj: pickle.loads(pickle.dumps(obj, protocol))


COPIES = [pytest.param(_pickle(p), id=f"pickle{p}") for p in range(pickle.HIGHEST_PROTOCOL + 1)] \
    + [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


@pytest.mark.parametrize("duplicate", COPIES)
def test_line_seg_round_trip(duplicate):
    seg = filled(LineSeg)
    seg.set_coors(1.0, 2.0, 4.0, 6.0)
    seg.x2 = 13.0  # length now stale: 5.0
    seg.y2 = 7.0
    dup = duplicate(seg)
    assert type(dup) is LineSeg and dup is not seg
    assert dup.__getstate__() == seg.__getstate__()
    assert dup.get_length() == 13.0 and seg.get_length() == 5.0
    dup.active = -1
    assert seg.active != -1


@pytest.mark.parametrize("duplicate", COPIES)
def test_matching_params_round_trip(duplicate):
    params = filled(MatchingParams)
    params.srch_xll_ = 0.1
    params.ref_yll_ = -1e300
    dup = duplicate(params)
    assert type(dup) is MatchingParams and dup is not params
    assert dup.__getstate__() == params.__getstate__()
    dup.chipwidth_ = 1
    assert params.chipwidth_ != 1


@pytest.mark.parametrize("cls, name", [(LineSeg, "length"), (LineSeg, "extra"),
                                       (MatchingParams, "chipwidth"), (MatchingParams, "extra")])
def test_no_instance_attributes(cls, name):
    obj = cls()
    with pytest.raises(AttributeError):
        setattr(obj, name, 1)
    assert not hasattr(obj, "__dict__")


class SegChild(LineSeg):
    pass


class ParamsChild(MatchingParams):
    def __init__(self, width):
        super().__init__()
        self.chipwidth_ = width


def test_subclasses():
    seg = SegChild()
    seg.set_coors(0, 0, 3, 4)
    seg.strength = 0.1
    assert seg.get_length() == 5.0 and seg.strength == f32(0.1)
    assert repr(seg).startswith("<LineSeg x1: ")
    dup = pickle.loads(pickle.dumps(seg))
    assert type(dup) is SegChild and dup.__getstate__() == seg.__getstate__()
    params = ParamsChild(64)
    assert isinstance(params, MatchingParams)
    assert params.chipwidth_ == 64 and params.chipheight_ == 128
    assert copy.deepcopy(params).__getstate__() == params.__getstate__()
