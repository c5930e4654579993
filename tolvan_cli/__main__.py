"""python -m tolvan_cli: the same as the `tolvan` command."""

from tolvan_cli.main import main

raise SystemExit(main())
