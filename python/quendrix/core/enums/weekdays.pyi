# Types of the compiled module quendrix.core.enums.weekdays.
from enum import IntEnum
from typing import Final

class Weekdays(IntEnum):
    Sunday = 1
    Monday = 2
    Tuesday = 3
    Wednesday = 4
    Thursday = 5
    Friday = 6
    Saturday = 7

# Each member is also bound to a module-level name of its own; bound with
# Final (not annotated Literal) so that mypy infers .value and .name as literals.
Sunday: Final = Weekdays.Sunday
Monday: Final = Weekdays.Monday
Tuesday: Final = Weekdays.Tuesday
Wednesday: Final = Weekdays.Wednesday
Thursday: Final = Weekdays.Thursday
Friday: Final = Weekdays.Friday
Saturday: Final = Weekdays.Saturday

# The doctest collection table; always empty.
__test__: dict[str, object]

# Rebuilds a pickled instance of the module's internal metaclass.
def __qx_unpickle___Qx_EnumMeta(__qx_type: type, __qx_checksum: int, __qx_state: tuple[object, ...] | None) -> object: ...
