"""Argument binding: the interpreter's TypeErrors, prefixed conversion errors, overflow."""
import numpy as np
import pytest

import velq

from conftest import DIM


def test_unexpected_keyword(db):
    with pytest.raises(TypeError, match=r"^Database\.insert\(\) got an unexpected keyword argument 'bogus'$"):
        db.insert("a", np.ones(DIM), bogus=1)


def test_value_given_twice(db):
    with pytest.raises(TypeError, match=r"^Database\.get\(\) got multiple values for argument 'id'$"):
        db.get("a", id="b")


def test_missing_and_surplus_arguments(db):
    with pytest.raises(TypeError, match=r"Database\.insert\(\) missing required argument 'vector'"):
        db.insert("a")
    with pytest.raises(TypeError, match=r"Database\.get\(\)"):
        db.get("a", "b")


def test_conversion_errors_carry_the_parameter_name(db):
    with pytest.raises(TypeError, match=r"^argument 'id': 'int' object cannot be converted to 'PyString'$"):
        db.get(5)
    with pytest.raises(TypeError, match=r"^argument 'filter': 'list' object cannot be converted to 'PyDict'$"):
        db.count([])
    with pytest.raises(TypeError, match=r"^argument 'ids': Can't extract `str` to `Vec`$"):
        db.get_many("abc")
    with pytest.raises(TypeError, match=r"^argument 'ids': 'int' object cannot be converted to 'PyString'$"):
        db.get_many(["a", 1])
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        velq.Database.open(__import__("pathlib").Path("x"), dimension=4)


def test_negative_or_huge_unsigned_is_overflow(tmp_path):
    with pytest.raises(OverflowError):
        velq.Database.open(str(tmp_path), dimension=-1)
    with pytest.raises(OverflowError):
        velq.Database.open(str(tmp_path), dimension=4, seed=2**64)


def test_bool_arguments_take_numpy_bools_and_refuse_ints(tmp_path):
    velq.Database.open(str(tmp_path / "a"), dimension=4, normalize=np.bool_(True))
    with pytest.raises(TypeError, match="^argument 'normalize': 'int' object cannot be converted to 'PyBool'$"):
        velq.Database.open(str(tmp_path / "b"), dimension=4, normalize=1)


def test_integer_arguments_take_index_objects(db):
    db.insert("a", np.ones(DIM))
    assert db.list_ids(limit=np.int64(1), offset=np.int32(0)) == ["a"]
    with pytest.raises(TypeError, match="^argument 'limit': "):
        db.list_ids(limit=1.5)
