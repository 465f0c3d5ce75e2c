"""Never prints; ends when its input ends."""

from common import read_input

read_input()
