"""Passes a float as the channel to every method that takes one; mypy must report each."""

from tolvan import TOLVAN

tl = TOLVAN("/dev/ttyUSB0")
tl.read_optical_length(2.0)
tl.set_optical_length(1310, 2.0)
tl.read_current_status(ch=1.0)
tl.set_attenuation(1100, 2.0)
tl.clear_attenuation(ch=2.0)
tl.dis_connection(2.5)
