# The pure-Python counterpart of the extension module for the import case:
# the same IntEnum functional call on the same OrderedDict, the same names.
from collections import OrderedDict
from enum import IntEnum

__test__ = {}

Weekdays = IntEnum(
    "Weekdays",
    OrderedDict(
        [
            ("Sunday", 1),
            ("Monday", 2),
            ("Tuesday", 3),
            ("Wednesday", 4),
            ("Thursday", 5),
            ("Friday", 6),
            ("Saturday", 7),
        ]
    ),
)
Sunday = Weekdays.Sunday
Monday = Weekdays.Monday
Tuesday = Weekdays.Tuesday
Wednesday = Weekdays.Wednesday
Thursday = Weekdays.Thursday
Friday = Weekdays.Friday
Saturday = Weekdays.Saturday
