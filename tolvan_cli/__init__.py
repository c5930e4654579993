"""The `tolvan` command: find, read, set and sweep the attenuator from the shell.

    tolvan ports --probe
    tolvan -p /dev/ttyUSB0 info
    tolvan --sim sweep --from 0 --to 3 --step 0.5 --csv sweep.csv

A client of the driver class `tolvan.TOLVAN`, as a user's script is: it uses
only the class's public methods. `tolvan_cli.main` parses the command line;
each command word has a module of its own, imported only when it is used, so
that `tolvan --help` does not pay for pyserial or the driver.
"""
