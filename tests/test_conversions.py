"""The byte and fixed-array conversions, reached through the two writable record properties:
`Id.id` (8 unsigned bytes) and `CameraInfo.name` (64 signed bytes). Their setters assign whatever
`value.encode("utf-8")` returns, so any iterable can be fed through the conversion."""

import pytest


class Encodes:
    """A value whose encode() returns a prepared object."""

    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        assert encoding == "utf-8"
        return self.result


class IntResult:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IndexOnly:
    def __index__(self):
        return 1


class SubInt(int):
    pass


class LenRaises:
    def __init__(self, error, items):
        self.error, self.items = error, items

    def __len__(self):
        raise self.error

    def __iter__(self):
        return iter(self.items)


class LenLies:
    """Reports one length, yields another number of items."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __iter__(self):
        return iter(self.items)


ORIGINAL = "orig\0\0\0\0"


@pytest.fixture
def ident(orvik):
    record = orvik.Id()
    record.id = ORIGINAL
    return record


def assign(record, value):
    record.id = Encodes(value)


@pytest.mark.parametrize("value, text", [
    ([104, 105, 0, 0, 0, 0, 0, 0], "hi"),
    ((104, 105, 0, 0, 0, 0, 0, 0), "hi"),
    (bytearray(b"abcdefgh"), "abcdefgh"),
    (iter(b"abcdefgh"), "abcdefgh"),
    ((c for c in b"xy\0\0\0\0\0\0"), "xy"),
    ([True, 104, 105, 0, 0, 0, 0, 0], "\x01hi"),
    ([IntResult(65), 66.9, SubInt(67), 0, 0, 0, 0, 0], "ABC"),
    (LenRaises(TypeError("no len"), b"12345678"), "12345678"),
    (LenRaises(OverflowError("too long"), b"12345678"), "12345678"),
    (LenLies(8, b"1234"), None),
])
def test_fixed_array_accepts_any_iterable_of_exactly_n(ident, value, text):
    if text is None:
        with pytest.raises(IndexError) as info:
            assign(ident, value)
        assert str(info.value) == "not enough values found during array assignment, expected 8, got 4"
        assert ident.id == "orig"
        return
    assign(ident, value)
    assert ident.id == text


@pytest.mark.parametrize("value, text", [
    ([1, 2, 3], "not enough values found during array assignment, expected 8, got 3"),
    ([], "not enough values found during array assignment, expected 8, got 0"),
    (list(range(1, 10)), "too many values found during array assignment, expected 8"),
    (bytes(100), "too many values found during array assignment, expected 8"),
    (iter([1, 2, 3]), "not enough values found during array assignment, expected 8, got 3"),
    (iter(range(1, 100)), "too many values found during array assignment, expected 8"),
    (LenLies(8, list(range(1, 12))), "too many values found during array assignment, expected 8"),
    (LenLies(3, b"12345678"), "not enough values found during array assignment, expected 8, got 3"),
])
def test_wrong_lengths(ident, value, text):
    with pytest.raises(IndexError) as info:
        assign(ident, value)
    assert str(info.value) == text
    assert ident.id == "orig"


def test_iteration_stops_at_the_extra_item():
    consumed = []

    def items():
        for i in range(1, 20):
            consumed.append(i)
            yield i

    import velmora.brinmoor.orvik as orvik

    with pytest.raises(IndexError):
        assign(orvik.Id(), items())
    assert consumed == list(range(1, 10))


@pytest.mark.parametrize("item, error, text", [
    (-1, OverflowError, "can't convert negative value to unsigned char"),
    (-(2**100), OverflowError, "can't convert negative value to unsigned char"),
    (256, OverflowError, "value too large to convert to unsigned char"),
    (2**100, OverflowError, "value too large to convert to unsigned char"),
    (IntResult(300), OverflowError, "value too large to convert to unsigned char"),
    ("a", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (IntResult(1.5), TypeError, "__int__ returned non-int (type float)"),
    (IntResult(ZeroDivisionError), TypeError, "__int__ returned non-int (type type)"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
])
@pytest.mark.parametrize("position", [0, 7])
def test_bad_items_leave_the_record_unchanged(ident, item, error, text, position):
    value = [49] * 8
    value[position] = item
    with pytest.raises(error) as info:
        assign(ident, value)
    assert str(info.value) == text
    assert ident.id == "orig"


def test_int_subclass_from_int_is_deprecated_but_accepted(ident):
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type SubInt\)\.  The ability"):
        assign(ident, [IntResult(SubInt(65))] + [0] * 7)
    assert ident.id == "A"


@pytest.mark.parametrize("error", [ValueError("bad len"), ZeroDivisionError("len")])
def test_other_length_errors_propagate(ident, error):
    with pytest.raises(type(error), match=str(error)):
        assign(ident, LenRaises(error, b"12345678"))
    assert ident.id == "orig"


def test_list_shrinking_during_conversion_is_safe(ident):
    items = [49] * 8

    class Shrinks:
        def __int__(self):
            items.clear()
            return 50

    items[2] = Shrinks()
    with pytest.raises(IndexError) as info:
        assign(ident, items)
    assert str(info.value) == "not enough values found during array assignment, expected 8, got 3"
    assert ident.id == "orig"


def test_list_growing_during_conversion_is_refused(ident):
    items = [49] * 8

    class Grows:
        def __int__(self):
            items.append(51)
            return 50

    items[7] = Grows()
    with pytest.raises(IndexError, match="too many values"):
        assign(ident, items)
    assert ident.id == "orig"


def test_item_kept_alive_while_converted(ident):
    # The item's own __int__ drops the list's reference to it.
    items = [49] * 8

    class DropsItself:
        def __int__(self):
            items[0] = 49
            return 65

    items[0] = DropsItself()
    assign(ident, items)
    assert ident.id == "A1111111"


# --- Signed bytes: CameraInfo.name -----------------------------------------------------------


@pytest.mark.parametrize("item, text", [
    (128, "value too large to convert to char"),
    (-129, "value too large to convert to char"),
    (2**70, "value too large to convert to char"),
    (-(2**70), "value too large to convert to char"),
])
def test_signed_bytes_range(orvik, item, text):
    info = orvik.CameraInfo()
    info.name = "cam".ljust(64, "\0")
    value = [65] * 64
    value[10] = item
    with pytest.raises(OverflowError) as raised:
        info.name = Encodes(value)
    assert str(raised.value) == text
    assert info.name == "cam"


@pytest.mark.parametrize("value, name", [
    ([65] + [0] * 63, "A"),
    ([127] + [0] * 63, "\x7f"),
    ([-61, -87] + [0] * 62, "\xe9"),  # 0xC3 0xA9, the UTF-8 encoding of "é"
])
def test_signed_bytes_in_range(orvik, value, name):
    info = orvik.CameraInfo()
    info.name = Encodes(value)
    assert info.name == name
