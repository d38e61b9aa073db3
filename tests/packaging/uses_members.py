"""A user program that mypy accepts (run with --strict) and that runs; its
assert_type lines pin the types the stub gives."""
from typing import Literal, assert_type

from quendrix.core.enums.weekdays import Friday, Monday, Saturday, Sunday, Weekdays


def next_day(day: Weekdays) -> Weekdays:
    return Weekdays(day % 7 + 1)


def is_weekend(day: Weekdays) -> bool:
    return day in (Saturday, Sunday)


assert_type(Friday, Literal[Weekdays.Friday])
assert_type(Weekdays.Monday, Literal[Weekdays.Monday])
assert_type(Weekdays(3), Weekdays)
assert_type(Weekdays["Tuesday"], Weekdays)
# A member's value and name are literals, whichever way it is reached.
assert_type(Monday.value, Literal[2])
assert_type(Saturday.name, Literal["Saturday"])
assert_type(Weekdays.Monday.value, Literal[2])
# An IntEnum member is an int.
total: int = sum(Weekdays)
label: str = Monday.name
number: int = Monday.value

assert next_day(Saturday) is Sunday
assert [d for d in Weekdays if is_weekend(d)] == [Sunday, Saturday]
assert total == 28 and label == "Monday" and number == 2
