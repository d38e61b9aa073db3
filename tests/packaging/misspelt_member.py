"""A user program with misspelt names, which mypy rejects."""
from quendrix.core.enums.weekdays import Weekdays, Fryday

today = Weekdays.Tusday
