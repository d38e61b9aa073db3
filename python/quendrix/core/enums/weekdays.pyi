# Types of the compiled module quendrix.core.enums.weekdays.
from enum import IntEnum
from typing import Literal

class Weekdays(IntEnum):
    Sunday = 1
    Monday = 2
    Tuesday = 3
    Wednesday = 4
    Thursday = 5
    Friday = 6
    Saturday = 7

# Each member is also bound to a module-level name of its own.
Sunday: Literal[Weekdays.Sunday]
Monday: Literal[Weekdays.Monday]
Tuesday: Literal[Weekdays.Tuesday]
Wednesday: Literal[Weekdays.Wednesday]
Thursday: Literal[Weekdays.Thursday]
Friday: Literal[Weekdays.Friday]
Saturday: Literal[Weekdays.Saturday]

# The doctest collection table; always empty.
__test__: dict[str, object]

# Rebuilds a pickled instance of the module's internal metaclass.
def __qx_unpickle___Qx_EnumMeta(__qx_type: type, __qx_checksum: int, __qx_state: tuple[object, ...] | None) -> object: ...
